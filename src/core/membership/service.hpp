// The membership protocol of a node that hosts keys: it ties the member table, the partial views
// and the broadcast tree together, joins through seeds, detects silent members and repairs
// divergent tables by anti-entropy.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/membership/broadcast.hpp"
#include "core/membership/members.hpp"
#include "core/membership/table.hpp"
#include "core/membership/views.hpp"
#include "core/rolls.hpp"

namespace vorel::core::membership {

// The membership durations of the cluster configuration, in seconds.
struct Periods {
  std::optional<double> remove_after;  // none keeps dead members dead
  double heartbeat = 0;
  double suspect_after = 0;
  double dead_after = 0;
  double anti_entropy = 0;
  double graft_after = 0;
  double shuffle_every = 0;
};

class Membership final : public Members {
 public:
  // `random` is asked for two values here: one seeds the views, one the service's own picks. The
  // overlay must have passed Overlay::check.
  Membership(NodeId id, std::set<std::string> types, std::vector<std::string> seeds, Periods periods,
             Overlay overlay, const Random& random);

  std::vector<Member> members() const override;
  std::vector<Outgoing> take() override;
  void receive(ByteView bytes, double now) override;
  bool changed() override;
  void mark() override { changed_ = true; }
  bool joined() const override { return joined_; }
  std::vector<table::Transition> transitions() override { return table_.take_transitions(); }
  void join() override;
  void anti_entropy() override;
  bool unreached(const NodeId& node, double now) override;
  bool removed() const override { return removed_; }
  bool majority() const override;
  void probe(double now) override;
  void expire(double now) override;
  void graft(double now) override;
  void shuffle(double now) override;
  void know(const std::set<std::string>& types, double now) override;
  void leave(double now) override;
  void depart(double now) override;
  void heard(const NodeId& node, double now) override;

  // Read access for the node's own queries and for tests.
  const MemberTable& table() const { return table_; }
  const Views& views() const { return views_; }
  const Broadcaster& broadcaster() const { return broadcaster_; }
  const std::vector<std::string>& seeds() const { return seeds_; }
  std::optional<double> heard_at(const NodeId& node) const;
  const NodeId& id() const { return id_; }

 private:
  void send(const Destination& to, wire::Body body);
  void send_any(const std::vector<NodeId>& candidates, const wire::Body& body);
  std::vector<table::Record> known() const;
  // Every node whose record passes the test, in the table's order.
  template <class Test>
  std::vector<NodeId> nodes(Test test) const;
  void learn(const std::vector<table::Record>& records, const table::Record* skip, double now);
  void publish(const std::vector<table::Record>& changed, const table::Record* skip, double now);
  void apply(const views::Effects& effects, double now);
  void tree(const std::vector<Send>& messages);
  void suspect(const NodeId& node, double now);
  // A sign of life of the node, and the end of every wait for one.
  void sign(const NodeId& node, double now);
  void forget(const NodeId& node);
  void settle();

  MemberTable table_;
  Views views_;
  Broadcaster broadcaster_;
  std::vector<std::string> seeds_;
  std::vector<Outgoing> outgoing_;
  NodeId id_;
  Periods periods_;
  std::unordered_map<NodeId, double> heard_;
  // The member outside the active view that is being probed, and since when. Such members seldom
  // send to this node, so an old heard time alone says nothing about them: one is probed round
  // after round until it answers, and suspected only when it stayed silent for suspect_after.
  std::optional<std::pair<NodeId, double>> probing_;
  Rolls rolls_;
  bool leaving_ = false;
  bool joined_ = false;
  bool removed_ = false;
  bool changed_ = false;
};

template <class Test>
std::vector<NodeId> Membership::nodes(Test test) const {
  std::vector<NodeId> out;
  for (const auto& [node, r] : table_.records()) {
    if (test(r)) out.push_back(node);
  }
  return out;
}

}  // namespace vorel::core::membership
