// The hash ring: every node maps a key to the same owner and replicas from the same member set,
// without asking anybody.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/node.hpp"

namespace vorel::core::placement {

// Tokens per member on every ring a node builds.
inline constexpr std::size_t kTokens = 128;

// Tokens t with start < t <= end, wrapping past 2^64 - 1 when start > end; start == end is the
// whole ring.
struct Range {
  std::uint64_t start = 0;
  std::uint64_t end = 0;

  bool holds(std::uint64_t t) const {
    if (start < end) return start < t && t <= end;
    if (start > end) return t > start || t <= end;
    return true;
  }
  friend bool operator==(const Range&, const Range&) = default;
};

// BLAKE2b with an 8-byte digest, read big-endian.
std::uint64_t digest(ByteView bytes);
inline std::uint64_t digest(std::string_view text) { return digest(view_of(text)); }

// The position of a key: the digest of "actor/key".
std::uint64_t token(std::string_view actor, std::string_view key);

// A member's `count` tokens, ascending.
std::vector<std::uint64_t> tokens_of(const NodeId& node, std::size_t count);

// Ring order: incarnation bytes first, then the address (none counts as the empty text). The
// incarnation leads so that members spread independently of how their addresses sort. Ids that
// tie there (no address against an empty one) fall back to NodeId's own order, so that the order
// is total and no ring depends on the order its members were learnt in.
std::strong_ordering ring_order(const NodeId& a, const NodeId& b);
inline bool ring_less(const NodeId& a, const NodeId& b) { return ring_order(a, b) < 0; }

class Ring {
 public:
  Ring() = default;

  static Ring build(std::span<const NodeId> nodes, std::size_t count);

  // The distinct members, in ring order.
  const std::vector<NodeId>& members() const { return members_; }
  // Every member's tokens, ascending; equal tokens follow their owners' ring order.
  const std::vector<std::uint64_t>& tokens() const { return tokens_; }
  // The member that placed tokens()[i].
  const NodeId& owner(std::size_t i) const { return members_[owners_[i]]; }
  bool empty() const { return members_.empty(); }
  bool has(const NodeId& node) const;

  // The distinct owners met walking clockwise from `token`, at most `count`, owner candidate first.
  std::vector<NodeId> replicas(std::uint64_t token, std::uint64_t count) const;
  // The ranges whose `count` replicas include `node`.
  std::vector<Range> ranges_of(const NodeId& node, std::uint64_t count) const;
  // This ring with `node` added when it is not a member, removed when it is.
  Ring applied(const NodeId& node, std::size_t count) const;

  friend bool operator==(const Ring&, const Ring&) = default;

 private:
  // Owner indexes into members_, so that a ring of a thousand members does not hold a hundred
  // thousand copies of their ids; equal member lists make equal indexes mean equal owners.
  using Slot = std::uint32_t;

  // Visits the distinct owners met walking clockwise from `token`, at most `count` of them, until
  // the visitor returns false.
  template <class Visit>
  void walk(std::uint64_t token, std::uint64_t count, Visit&& visit) const;
  bool owns_any(Slot slot) const;

  std::vector<NodeId> members_;
  std::vector<std::uint64_t> tokens_;
  std::vector<Slot> owners_;
};

// The rings between two member sets, one member change per ring: joiners first, then leavers,
// each in ring order; the last ring is `to`.
std::vector<Ring> chain(const Ring& from, const Ring& to, std::size_t count);

}  // namespace vorel::core::placement
