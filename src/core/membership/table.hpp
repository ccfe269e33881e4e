// A node's knowledge of the cluster: one gossiped record per member, when each last changed, the
// log of status changes, and the rules by which two records about one node are reconciled.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/membership/member.hpp"
#include "core/node.hpp"

namespace vorel::core::membership {

namespace table {

using membership::Status;

// The gossiped record of one member node.
struct Record {
  NodeId node;
  // The record's version, raised only by the node itself; unrelated to the NodeId's bytes.
  std::uint64_t incarnation = 0;
  std::set<std::string> types;
  Status status = Status::Alive;

  friend bool operator==(const Record&, const Record&) = default;
};

struct Transition {
  NodeId node;
  Status status = Status::Alive;
  std::optional<Status> previous;  // none when the node was not in the table before

  friend bool operator==(const Transition&, const Transition&) = default;
};

// Alive or leaving: the member still takes part.
inline bool live(Status s) { return s == Status::Alive || s == Status::Leaving; }

// How long a left record is kept after it was last stored.
inline constexpr double kForgetAfter = 60.0;

}  // namespace table

class MemberTable {
 public:
  MemberTable(NodeId id, std::set<std::string> types, double dead_after, std::optional<double> remove_after);

  // The one way a record is stored: logs the status change and stamps the change time.
  void set(table::Record record, double now);
  // A record from another node; the record now held when the table changed.
  std::optional<table::Record> merge(const table::Record& record, double now);
  // A joiner's record; every other run at its address becomes left. The records that changed.
  std::vector<table::Record> admit(const table::Record& joiner, double now);
  std::optional<table::Record> know(const std::set<std::string>& types, double now);
  table::Record mark(table::Status status, double now);
  // Suspect to dead, dead to left, left to forgotten. The records whose status changed.
  std::vector<table::Record> expire(double now);

  const table::Record* find(const NodeId& node) const;
  std::optional<double> changed_at(const NodeId& node) const;
  const std::unordered_map<NodeId, table::Record>& records() const { return records_; }
  const NodeId& id() const { return id_; }
  const table::Record& own() const;
  std::vector<table::Transition> take_transitions();
  // Whether a left record of this node was forgotten: that run of the node is over for good.
  bool departed(const NodeId& node) const { return departed_.contains(node); }

 private:
  std::unordered_map<NodeId, table::Record> records_;
  std::unordered_map<NodeId, double> changed_at_;
  NodeId id_;
  std::vector<table::Transition> transitions_;
  double dead_after_;
  std::optional<double> remove_after_;
  // Forgetting a left record must not let a stale copy from a node that missed the departure
  // bring the member back, so the identities of forgotten runs are kept. A NodeId names one run
  // and a left run never returns, so refusing every later record about it loses nothing.
  std::unordered_set<NodeId> departed_;
};

}  // namespace vorel::core::membership
