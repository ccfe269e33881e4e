// What nodes say to each other to move replica copies when placement changes. They travel on
// channel "replication" beside the replication messages.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/node.hpp"
#include "core/placement/ring.hpp"
#include "core/replication/messages.hpp"

namespace vorel::core::handoff::messages {

using replication::messages::Copy;

// Asks a previous replica for every key of the type it keeps in the ranges.
struct PullRange {
  std::string actor;
  // The asking node.
  NodeId node;
  std::uint64_t transfer = 0;
  std::vector<placement::Range> ranges;
  friend bool operator==(const PullRange&, const PullRange&) = default;
};

// One part of the answer to a PullRange.
struct RangeKeys {
  std::string actor;
  // The answering node.
  NodeId replica;
  std::uint64_t transfer = 0;
  std::uint64_t stream = 0;
  std::uint32_t part = 0;
  bool final_ = false;
  // The answering node is still pulling some of these ranges itself: its copies may be incomplete.
  bool receiving = false;
  std::vector<Copy> keys;
  friend bool operator==(const RangeKeys&, const RangeKeys&) = default;
};

// One part of a push of kept keys to a new replica.
struct HandKeys {
  std::string actor;
  // The giving node.
  NodeId node;
  std::uint64_t stream = 0;
  std::uint32_t part = 0;
  bool final_ = false;
  std::vector<Copy> keys;
  friend bool operator==(const HandKeys&, const HandKeys&) = default;
};

// The keys a receiving node installed, for the node that gave them.
struct TookKeys {
  std::string actor;
  NodeId replica;
  std::vector<std::string> keys;
  friend bool operator==(const TookKeys&, const TookKeys&) = default;
};

struct Pull {
  // In tag order.
  using Variant = std::variant<PullRange, RangeKeys, HandKeys, TookKeys>;
  Variant variant;
  friend bool operator==(const Pull&, const Pull&) = default;
};

}  // namespace vorel::core::handoff::messages
