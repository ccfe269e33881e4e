// The two partial views of the overlay: the active view of linked nodes (pinged, and the peers of
// the broadcast tree) and the passive view of known nodes to fall back on.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "core/node.hpp"
#include "core/rolls.hpp"

namespace vorel::core::membership {

// The overlay sizes of the cluster configuration.
struct Overlay {
  std::uint64_t active = 0;
  std::uint64_t passive = 0;
  std::uint32_t join_walk = 0;     // the time to live of a forwarded join
  std::uint32_t passive_walk = 0;  // where a forwarded join also lands in the passive view; a shuffle's walk

  // A view must hold at least one node: an eviction picks its victim modulo the view's size. The
  // node runtime calls this where it reads the configuration, before anything is built.
  std::expected<void, std::string> check() const;
};

namespace views {

// A view message; its sender travels beside it.
struct View {
  struct Join {
    friend bool operator==(const Join&, const Join&) = default;
  };
  struct ForwardJoin {
    NodeId joiner;
    std::uint32_t ttl = 0;
    friend bool operator==(const ForwardJoin&, const ForwardJoin&) = default;
  };
  struct Neighbor {
    bool priority = false;
    friend bool operator==(const Neighbor&, const Neighbor&) = default;
  };
  struct NeighborReply {
    bool accepted = false;
    friend bool operator==(const NeighborReply&, const NeighborReply&) = default;
  };
  struct Disconnect {
    friend bool operator==(const Disconnect&, const Disconnect&) = default;
  };
  struct Shuffle {
    NodeId origin;
    std::vector<NodeId> sample;
    std::uint32_t ttl = 0;
    friend bool operator==(const Shuffle&, const Shuffle&) = default;
  };
  struct ShuffleReply {
    std::vector<NodeId> sample;
    friend bool operator==(const ShuffleReply&, const ShuffleReply&) = default;
  };

  std::variant<Join, ForwardJoin, Neighbor, NeighborReply, Disconnect, Shuffle, ShuffleReply> value;
  friend bool operator==(const View&, const View&) = default;
};

// What a view operation asks of the membership service, carried out in order.
struct Effect {
  struct Send {
    NodeId to;
    View message;
    friend bool operator==(const Send&, const Send&) = default;
  };
  struct Up {
    NodeId node;
    friend bool operator==(const Up&, const Up&) = default;
  };
  struct Down {
    NodeId node;
    friend bool operator==(const Down&, const Down&) = default;
  };

  std::variant<Send, Up, Down> value;

  static Effect send(NodeId to, View message) { return {Send{std::move(to), std::move(message)}}; }
  static Effect up(NodeId node) { return {Up{std::move(node)}}; }
  static Effect down(NodeId node) { return {Down{std::move(node)}}; }
  friend bool operator==(const Effect&, const Effect&) = default;
};

using Effects = std::vector<Effect>;

}  // namespace views

class Views {
 public:
  // Both capacities of the overlay must be at least 1 (Overlay::check).
  Views(NodeId id, Overlay overlay, std::uint64_t random);

  views::Effects receive(const NodeId& from, const views::View& message);
  views::Effects shuffle();
  views::Effects promote();
  views::Effects add_active(const NodeId& node);
  void add_passive(const NodeId& node);
  views::Effects remove(const NodeId& node, bool keep);
  std::vector<NodeId> sample(const std::vector<NodeId>& nodes, std::uint64_t count);

  const std::vector<NodeId>& active() const { return active_; }
  const std::vector<NodeId>& passive() const { return passive_; }
  bool is_active(const NodeId& node) const;
  bool is_passive(const NodeId& node) const;
  const Rolls& rolls() const { return rolls_; }

 private:
  views::Effects forward_join(const NodeId& from, const views::View::ForwardJoin& m);
  views::Effects neighbor(const NodeId& from, const views::View::Neighbor& m);
  views::Effects shuffled(const NodeId& from, const views::View::Shuffle& m);
  // The active nodes other than the two given, in order: where a walk may go next.
  std::vector<NodeId> onward(const NodeId& from, const NodeId& other) const;

  std::vector<NodeId> active_;
  std::vector<NodeId> passive_;
  NodeId id_;
  Overlay overlay_;
  Rolls rolls_;
};

}  // namespace vorel::core::membership
