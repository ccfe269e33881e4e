// Who takes part in a message: the identity of a running node, and where a message goes.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace vorel::core {

using Incarnation = std::array<std::uint8_t, 16>;

struct NodeId {
  // "host:port" at which the node is reached; none without a cluster, or before it started.
  std::optional<std::string> address;
  // Random per construction, so two runs at one address differ.
  Incarnation incarnation{};

  // Address first (none before any text, texts bytewise unsigned), then incarnation bytes.
  friend std::strong_ordering operator<=>(const NodeId& a, const NodeId& b);
  friend bool operator==(const NodeId&, const NodeId&) = default;

  std::size_t hash() const;
};

struct Target {
  struct Entity {
    std::string actor;
    std::string key;
    friend bool operator==(const Entity&, const Entity&) = default;
  };
  struct Reply {
    NodeId node;
    std::int64_t id = 0;
    friend bool operator==(const Reply&, const Reply&) = default;
  };

  std::variant<Entity, Reply> value;

  static Target entity(std::string actor, std::string key) { return Target{Entity{std::move(actor), std::move(key)}}; }
  static Target reply(NodeId node, std::int64_t id) { return Target{Reply{std::move(node), id}}; }

  const Entity* as_entity() const { return std::get_if<Entity>(&value); }
  const Reply* as_reply() const { return std::get_if<Reply>(&value); }

  friend bool operator==(const Target&, const Target&) = default;
  std::size_t hash() const;
};

// The hash combiner used by every record of the core: order-sensitive, so fields fed in a fixed
// order make equal records hash alike.
inline std::size_t hash_mix(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2));
}

}  // namespace vorel::core

template <>
struct std::hash<vorel::core::NodeId> {
  std::size_t operator()(const vorel::core::NodeId& n) const { return n.hash(); }
};

template <>
struct std::hash<vorel::core::Target> {
  std::size_t operator()(const vorel::core::Target& t) const { return t.hash(); }
};
