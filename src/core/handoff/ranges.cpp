#include "core/handoff/ranges.hpp"

#include <algorithm>

namespace vorel::core::handoff::ranges {

using placement::Range;

std::vector<Arc> arcs(std::span<const Range> ranges) {
  std::vector<Arc> out;
  out.reserve(ranges.size() * 2);
  for (const auto& r : ranges) {
    const Bound start = r.start;
    const Bound end = r.end;
    if (start == end) {
      out.push_back({0, kTop});
    } else if (start < end) {
      out.push_back({start + 1, end + 1});
    } else {
      out.push_back({0, end + 1});
      out.push_back({start + 1, kTop});
    }
  }
  std::sort(out.begin(), out.end(), [](const Arc& x, const Arc& y) {
    return x.lower != y.lower ? x.lower < y.lower : x.upper < y.upper;
  });
  return out;
}

std::vector<Arc> minus(std::span<const Arc> a, std::span<const Arc> b) {
  std::vector<Arc> out;
  for (const auto& arc : a) {
    Bound c = arc.lower;
    for (const auto& cut : b) {
      if (cut.upper <= c) continue;
      if (cut.lower >= arc.upper) break;
      if (c < cut.lower) out.push_back({c, cut.lower});
      c = cut.upper;
      if (c >= arc.upper) break;
    }
    if (c < arc.upper) out.push_back({c, arc.upper});
  }
  return out;
}

std::vector<Range> from_arcs(std::span<const Arc> arcs) {
  // Bounds back on the circle: subtraction modulo 2^64, so an arc from 0 starts at 2^64 - 1.
  auto low = [](Bound b) { return static_cast<std::uint64_t>(b - 1); };
  std::vector<Range> out;
  if (arcs.empty()) return out;
  if (arcs.size() == 1 && arcs.front().lower == 0 && arcs.front().upper == kTop) {
    out.push_back({low(kTop), low(kTop)});
    return out;
  }
  std::size_t first = 0;
  std::size_t last = arcs.size();
  if (arcs.size() >= 2 && arcs.front().lower == 0 && arcs.back().upper == kTop) {
    out.push_back({low(arcs.back().lower), low(arcs.front().upper)});
    first = 1;
    last = arcs.size() - 1;
  }
  for (std::size_t i = first; i < last; ++i) out.push_back({low(arcs[i].lower), low(arcs[i].upper)});
  return out;
}

std::vector<Range> gained(const placement::Ring& before, const placement::Ring& now, const NodeId& node,
                          std::uint64_t n) {
  const auto mine = arcs(now.ranges_of(node, n));
  const auto had = arcs(before.ranges_of(node, n));
  return from_arcs(minus(mine, had));
}

std::set<NodeId> Transfer::pending() const {
  std::set<NodeId> out;
  std::set_difference(asked.begin(), asked.end(), finished.begin(), finished.end(), std::inserter(out, out.end()));
  return out;
}

bool Transfer::receiving(std::uint64_t token) const {
  if (std::none_of(ranges.begin(), ranges.end(), [&](const Range& r) { return r.holds(token); })) return false;
  const auto replicas = previous.replicas(token, n);
  if (replicas.empty()) return threshold > 0;
  const auto heard = static_cast<std::uint64_t>(
      std::count_if(replicas.begin(), replicas.end(), [&](const NodeId& r) { return answered.contains(r); }));
  return heard < threshold;
}

}  // namespace vorel::core::handoff::ranges
