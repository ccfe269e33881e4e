// The broadcast tree that spreads changed member records: gossip in full over eager links,
// announcements over lazy ones, duplicates pruned into a spanning tree, gaps repaired by grafts.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/membership/table.hpp"
#include "core/node.hpp"

namespace vorel::core::membership {

// One broadcast: the node that started it and that node's counter.
struct EventId {
  NodeId origin;
  std::uint64_t sequence = 0;
  friend bool operator==(const EventId&, const EventId&) = default;
};

struct Broadcast {
  struct Gossip {
    EventId id;
    table::Record record;
    friend bool operator==(const Gossip&, const Gossip&) = default;
  };
  struct IHave {
    EventId id;
    friend bool operator==(const IHave&, const IHave&) = default;
  };
  struct Graft {
    EventId id;
    friend bool operator==(const Graft&, const Graft&) = default;
  };
  struct Prune {
    friend bool operator==(const Prune&, const Prune&) = default;
  };

  std::variant<Gossip, IHave, Graft, Prune> value;
  friend bool operator==(const Broadcast&, const Broadcast&) = default;
};

// One tree message addressed to a node.
struct Send {
  NodeId to;
  Broadcast message;
  friend bool operator==(const Send&, const Send&) = default;
};

}  // namespace vorel::core::membership

template <>
struct std::hash<vorel::core::membership::EventId> {
  std::size_t operator()(const vorel::core::membership::EventId& id) const {
    return vorel::core::hash_mix(id.origin.hash(), std::hash<std::uint64_t>{}(id.sequence));
  }
};

namespace vorel::core::membership {

namespace broadcast {

// How long a delivered gossip is remembered and a missing one chased.
inline constexpr double kRetain = 60.0;

// A delivered gossip, kept as first delivered, for answering grafts and spotting duplicates.
struct Seen {
  Broadcast::Gossip gossip;
  double at = 0.0;
};

// A gossip that was announced but has not arrived.
struct Missing {
  std::vector<NodeId> holders;  // the next graft goes to the front, which then moves to the back
  double first = 0.0;
  double deadline = 0.0;
};

struct Peer {
  NodeId node;
  bool eager = true;
  friend bool operator==(const Peer&, const Peer&) = default;
};

}  // namespace broadcast

class Broadcaster {
 public:
  Broadcaster(NodeId id, double graft_after) : id_(std::move(id)), graft_after_(graft_after) {}

  void neighbor_up(NodeId node);
  void neighbor_down(const NodeId& node);
  std::vector<Send> broadcast(const table::Record& record, double now);
  // The messages to send, and the record of a gossip delivered for the first time.
  std::pair<std::vector<Send>, std::optional<table::Record>> receive(const NodeId& from, const Broadcast& message,
                                                                      double now);
  std::vector<Send> tick(double now);
  static std::vector<Send> push(const std::vector<broadcast::Peer>& peers, const Broadcast& gossip,
                                const NodeId& from);

  const std::vector<broadcast::Peer>& peers() const { return peers_; }
  const std::vector<std::pair<EventId, broadcast::Missing>>& missing() const { return missing_; }
  bool seen(const EventId& id) const { return seen_.contains(id); }

 private:
  void flag(const NodeId& node, bool eager);
  void remember(const Broadcast::Gossip& gossip, double now);

  std::vector<broadcast::Peer> peers_;
  std::vector<std::pair<EventId, broadcast::Missing>> missing_;
  NodeId id_;
  std::unordered_map<EventId, broadcast::Seen> seen_;
  // The seen entries in the order stored, so that ageing them does not scan the whole map at
  // every tick; an entry stored again later leaves a stale line here, skipped when reached.
  std::deque<std::pair<double, EventId>> stored_;
  double graft_after_;
  std::uint64_t sequence_ = 0;
};

}  // namespace vorel::core::membership
