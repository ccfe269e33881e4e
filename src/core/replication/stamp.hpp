// The version of a replicated state and the term of the owner that wrote it.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>

#include "core/node.hpp"

namespace vorel::core::replication {

struct Epoch {
  std::uint64_t round = 0;
  NodeId node;

  friend bool operator==(const Epoch&, const Epoch&) = default;

  // Terms compare by round, then by the incarnation of the node that opened the round; the
  // address is not part of a term's identity.
  static std::strong_ordering order(const Epoch& a, const Epoch& b) {
    if (auto c = a.round <=> b.round; c != 0) return c;
    return std::lexicographical_compare_three_way(a.node.incarnation.begin(), a.node.incarnation.end(),
                                                  b.node.incarnation.begin(), b.node.incarnation.end());
  }
  bool lower_than(const Epoch& other) const { return order(*this, other) < 0; }
};

struct Stamp {
  Epoch epoch;
  std::uint64_t version = 0;

  friend bool operator==(const Stamp&, const Stamp&) = default;

  // A strict partial order: versions of one round and incarnation only compare when the whole
  // node (address included) is the same, so two owners that share an incarnation never order
  // each other's writes.
  static bool before(const Stamp& a, const Stamp& b) {
    auto c = Epoch::order(a.epoch, b.epoch);
    if (c != 0) return c < 0;
    return a.epoch.node == b.epoch.node && a.version < b.version;
  }

  // The order of versions as a durable store keeps them: round, incarnation, version. A stored
  // version has no address, so `before` could never order it against a replica's stamp of the
  // same term, and a newer record in the store would lose to an older state on the replicas.
  static bool stored_before(const Stamp& a, const Stamp& b) {
    auto c = Epoch::order(a.epoch, b.epoch);
    if (c != 0) return c < 0;
    return a.version < b.version;
  }
};

}  // namespace vorel::core::replication
