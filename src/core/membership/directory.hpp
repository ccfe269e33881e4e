// A client's knowledge of the cluster's members: it asks a seed or a member for the whole member
// table, never joins, never gossips, and is listed in no one's table.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "core/membership/members.hpp"
#include "core/rolls.hpp"

namespace vorel::core::membership {

class Directory final : public Members {
 public:
  // `random` is asked once, for the seed of the directory's picks.
  Directory(NodeId id, std::vector<std::string> seeds, const Random& random);

  std::vector<Member> members() const override;
  std::vector<Outgoing> take() override;
  void receive(ByteView bytes, double now) override;
  bool changed() override;
  void mark() override { changed_ = true; }
  bool joined() const override { return joined_; }
  std::vector<table::Transition> transitions() override;
  void join() override { ask(); }
  void anti_entropy() override { ask(); }
  bool unreached(const NodeId& node, double now) override;
  bool removed() const override { return false; }
  bool majority() const override { return false; }
  void probe(double now) override {}
  void expire(double now) override {}
  void shuffle(double now) override {}
  void leave(double now) override {}
  void depart(double now) override {}
  void heard(const NodeId& node, double now) override {}
  void lost(const NodeId& node, double now) override;
  void refresh() override { ask(); }

  static std::vector<table::Transition> diff(const std::vector<Member>& before, const std::vector<Member>& after);

 private:
  void question(const Destination& to);
  void ask();
  bool listed(const NodeId& node) const;

  std::vector<std::string> seeds_;
  std::vector<Member> listed_;
  std::vector<table::Transition> transitions_;
  std::vector<Outgoing> outgoing_;
  NodeId id_;
  std::unordered_set<NodeId> unreached_;
  Rolls rolls_;
  // A reply arrived since the last question: a member answers, so the next question may go to
  // one. Without a reply the next goes to a seed again.
  bool may_ask_member_ = false;
  bool joined_ = false;
  bool changed_ = false;
};

}  // namespace vorel::core::membership
