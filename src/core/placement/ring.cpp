#include "core/placement/ring.hpp"

#include <blake2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "core/invariant.hpp"

namespace vorel::core::placement {

namespace {

// No address reads as the empty text.
std::string_view address_text(const NodeId& node) { return node.address ? std::string_view(*node.address) : ""; }

// The 16 incarnation bytes as a UUID text: 8-4-4-4-12 lower-case hex digits.
std::string uuid_text(const Incarnation& inc) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < inc.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(hex[inc[i] >> 4]);
    out.push_back(hex[inc[i] & 0x0f]);
  }
  return out;
}

}  // namespace

std::uint64_t digest(ByteView bytes) {
  std::uint8_t out[8];
  // libb2 orders the arguments out, in, key, then the three lengths.
  if (blake2b(out, bytes.data(), nullptr, sizeof out, bytes.size(), 0) != 0) broken("placement: blake2b refused");
  std::uint64_t value = 0;
  for (auto b : out) value = (value << 8) | b;
  return value;
}

std::uint64_t token(std::string_view actor, std::string_view key) {
  std::string text;
  text.reserve(actor.size() + key.size() + 1);
  text.append(actor).push_back('/');
  text.append(key);
  return digest(text);
}

std::vector<std::uint64_t> tokens_of(const NodeId& node, std::size_t count) {
  std::string text = fmt::format("{}/{}/", node.address ? std::string_view(*node.address) : "None",
                                 uuid_text(node.incarnation));
  const auto prefix = text.size();
  std::vector<std::uint64_t> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    text.resize(prefix);
    fmt::format_to(std::back_inserter(text), "{}", i);
    out.push_back(digest(text));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::strong_ordering ring_order(const NodeId& a, const NodeId& b) {
  if (auto c = std::lexicographical_compare_three_way(a.incarnation.begin(), a.incarnation.end(),
                                                      b.incarnation.begin(), b.incarnation.end());
      c != 0) {
    return c;
  }
  // char_traits<char> compares as unsigned bytes.
  if (auto c = address_text(a) <=> address_text(b); c != 0) return c;
  return a <=> b;
}

Ring Ring::build(std::span<const NodeId> nodes, std::size_t count) {
  Ring ring;
  ring.members_.assign(nodes.begin(), nodes.end());
  std::sort(ring.members_.begin(), ring.members_.end(), ring_less);
  ring.members_.erase(std::unique(ring.members_.begin(), ring.members_.end()), ring.members_.end());
  if (ring.members_.size() > std::numeric_limits<Slot>::max()) broken("placement: too many members for one ring");

  std::vector<std::pair<std::uint64_t, Slot>> pairs;
  pairs.reserve(ring.members_.size() * count);
  for (Slot m = 0; m < ring.members_.size(); ++m) {
    for (auto t : tokens_of(ring.members_[m], count)) pairs.emplace_back(t, m);
  }
  // Ties on a token keep the members' ring order, so equal member sets give equal rings.
  std::sort(pairs.begin(), pairs.end());
  ring.tokens_.reserve(pairs.size());
  ring.owners_.reserve(pairs.size());
  for (const auto& [t, m] : pairs) {
    ring.tokens_.push_back(t);
    ring.owners_.push_back(m);
  }
  return ring;
}

bool Ring::has(const NodeId& node) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), node, ring_less);
  return it != members_.end() && *it == node;
}

template <class Visit>
void Ring::walk(std::uint64_t token, std::uint64_t count, Visit&& visit) const {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, members_.size()));
  const std::size_t L = tokens_.size();
  if (L == 0 || n == 0) return;
  std::size_t pos = static_cast<std::size_t>(std::lower_bound(tokens_.begin(), tokens_.end(), token) - tokens_.begin());
  // A few replicas are found faster by scanning those met; many need a table of them.
  constexpr std::size_t kScan = 8;
  Slot few[kScan];
  std::vector<bool> seen;
  if (n > kScan) seen.assign(members_.size(), false);
  std::size_t found = 0;
  for (std::size_t g = 0; g < L; ++g, ++pos) {
    if (pos == L) pos = 0;
    const Slot s = owners_[pos];
    if (n > kScan) {
      if (seen[s]) continue;
      seen[s] = true;
    } else {
      if (std::find(few, few + found, s) != few + found) continue;
      few[found] = s;
    }
    ++found;
    if (!visit(s) || found == n) return;
  }
}

std::vector<NodeId> Ring::replicas(std::uint64_t token, std::uint64_t count) const {
  std::vector<NodeId> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, members_.size())));
  walk(token, count, [&](Slot s) {
    out.push_back(members_[s]);
    return true;
  });
  return out;
}

bool Ring::owns_any(Slot slot) const { return std::find(owners_.begin(), owners_.end(), slot) != owners_.end(); }

std::vector<Range> Ring::ranges_of(const NodeId& node, std::uint64_t count) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), node, ring_less);
  if (it == members_.end() || !(*it == node) || count == 0) return {};
  const Slot me = static_cast<Slot>(it - members_.begin());
  const std::size_t L = tokens_.size();

  std::vector<bool> marked(L, false);
  if (count >= members_.size()) {
    // One full round meets every owner, so the walk from any token finds this member whenever
    // it owns a token at all; skipping the walks keeps this linear when every member replicates.
    if (owns_any(me)) marked.assign(L, true);
  } else {
    for (std::size_t i = 0; i < L; ++i) {
      bool hit = false;
      walk(tokens_[i], count, [&](Slot s) { return !(hit = s == me); });
      marked[i] = hit;
    }
  }

  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i = 0; i < L;) {
    if (!marked[i]) {
      ++i;
      continue;
    }
    std::size_t e = i;
    while (e + 1 < L && marked[e + 1]) ++e;
    runs.emplace_back(i, e);
    i = e + 1;
  }
  // A run that ends at the last position continues through the first one.
  if (runs.size() >= 2 && runs.front().first == 0 && runs.back().second == L - 1) {
    runs.front().first = runs.back().first;
    runs.pop_back();
  }
  std::vector<Range> out;
  out.reserve(runs.size());
  for (const auto& [s, e] : runs) out.push_back(Range{tokens_[(s + L - 1) % L], tokens_[e]});
  return out;
}

Ring Ring::applied(const NodeId& node, std::size_t count) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), node, ring_less);
  const Slot k = static_cast<Slot>(it - members_.begin());
  const bool present = it != members_.end() && *it == node;
  Ring out;
  out.members_ = members_;

  if (present) {
    // Dropping every entry the node owns takes out exactly its own tokens, and leaves no owner
    // outside the members even on a ring built with another count.
    out.members_.erase(out.members_.begin() + k);
    out.tokens_.reserve(tokens_.size());
    out.owners_.reserve(owners_.size());
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
      if (owners_[i] == k) continue;
      out.tokens_.push_back(tokens_[i]);
      out.owners_.push_back(owners_[i] > k ? owners_[i] - 1 : owners_[i]);
    }
    return out;
  }

  if (members_.size() >= std::numeric_limits<Slot>::max()) broken("placement: too many members for one ring");
  out.members_.insert(out.members_.begin() + k, node);
  const auto mine = tokens_of(node, count);
  out.tokens_.reserve(tokens_.size() + mine.size());
  out.owners_.reserve(owners_.size() + mine.size());
  auto copy = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      out.tokens_.push_back(tokens_[i]);
      out.owners_.push_back(owners_[i] >= k ? owners_[i] + 1 : owners_[i]);
    }
  };
  std::size_t v = 0;
  for (auto p : mine) {
    auto s = static_cast<std::size_t>(std::lower_bound(tokens_.begin() + v, tokens_.end(), p) - tokens_.begin());
    // On an equal token the new entry goes after the owners that come before it in ring order,
    // as a fresh build would place it.
    while (s < tokens_.size() && tokens_[s] == p && owners_[s] < k) ++s;
    copy(v, s);
    out.tokens_.push_back(p);
    out.owners_.push_back(k);
    v = s;
  }
  copy(v, tokens_.size());
  return out;
}

std::vector<Ring> chain(const Ring& from, const Ring& to, std::size_t count) {
  std::vector<NodeId> changes;
  for (const auto& m : to.members()) {
    if (!from.has(m)) changes.push_back(m);
  }
  for (const auto& m : from.members()) {
    if (!to.has(m)) changes.push_back(m);
  }
  std::vector<Ring> out;
  if (changes.empty()) return out;
  out.reserve(changes.size());
  Ring at = from;
  for (std::size_t i = 0; i + 1 < changes.size(); ++i) {
    at = at.applied(changes[i], count);
    out.push_back(at);
  }
  out.push_back(to);
  return out;
}

}  // namespace vorel::core::placement
