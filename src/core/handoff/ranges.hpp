// What a node gains when its ring changes, and whether a key it is pulling is still arriving.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/node.hpp"
#include "core/placement/ring.hpp"

namespace vorel::core::handoff::ranges {

// A half-open interval [lower, upper) of 0 to 2^64: 128-bit bounds let the top of the token
// space be written, so arcs never wrap.
using Bound = unsigned __int128;
inline constexpr Bound kTop = Bound{1} << 64;

struct Arc {
  Bound lower = 0;
  Bound upper = 0;
  friend bool operator==(const Arc&, const Arc&) = default;
};

// Each range as one arc, or two when it wraps; sorted by (lower, upper).
std::vector<Arc> arcs(std::span<const placement::Range> ranges);
// The parts of `a` outside `b`; both sorted, `b` disjoint. The result is sorted and disjoint.
std::vector<Arc> minus(std::span<const Arc> a, std::span<const Arc> b);
// Sorted, disjoint arcs back as ranges, the arcs at both ends of the space joined into one.
std::vector<placement::Range> from_arcs(std::span<const Arc> arcs);

// The tokens whose `n` replicas include `node` on `now` but not on `before`.
std::vector<placement::Range> gained(const placement::Ring& before, const placement::Ring& now, const NodeId& node,
                                     std::uint64_t n);

// The pulling side of one placement step.
struct Transfer {
  std::string actor;
  placement::Ring previous;
  std::vector<placement::Range> ranges;
  std::uint64_t id = 0;
  // The type's replica count on `previous`.
  std::uint64_t n = 0;
  // How many previous replicas of a token must have answered before the token stops arriving.
  std::uint64_t threshold = 0;
  std::set<NodeId> asked;
  // Asked nodes whose answer arrived whole.
  std::set<NodeId> finished;
  // Finished nodes that were not pulling any of these ranges themselves.
  std::set<NodeId> answered;

  std::set<NodeId> pending() const;
  bool receiving(std::uint64_t token) const;
};

}  // namespace vorel::core::handoff::ranges
