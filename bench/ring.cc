// The placement ring's speed: replicas of a key on 100 members, and a rebuild for 1,000 members,
// each against a plain std::map over the same tokens measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/placement/ring.hpp"

using vorel::core::Incarnation;
using vorel::core::NodeId;
using vorel::core::placement::kTokens;
using vorel::core::placement::Ring;
using vorel::core::placement::token;
using vorel::core::placement::tokens_of;

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t sink = 0;

std::vector<NodeId> members(std::size_t count, std::mt19937_64& rng) {
  std::vector<NodeId> out;
  for (std::size_t i = 0; i < count; ++i) {
    Incarnation inc;
    for (auto& b : inc) b = static_cast<std::uint8_t>(rng());
    out.push_back(NodeId{fmt::format("10.0.{}.{}:7000", i / 256, i % 256), inc});
  }
  return out;
}

// Seconds per call of f, the best of `rounds` timings of `reps` calls.
template <class F>
double best(int rounds, int reps, F&& f) {
  double out = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    out = std::min(out, std::chrono::duration<double>(Clock::now() - start).count() / reps);
  }
  return out;
}

// The same clockwise walk over a std::map from token to owner index.
using TokenMap = std::multimap<std::uint64_t, std::uint32_t>;

TokenMap map_of(const Ring& ring) {
  TokenMap map;
  std::vector<std::uint32_t> index(ring.tokens().size());
  for (std::size_t i = 0; i < ring.tokens().size(); ++i) {
    auto at = std::lower_bound(ring.members().begin(), ring.members().end(), ring.owner(i),
                               vorel::core::placement::ring_less);
    map.emplace(ring.tokens()[i], static_cast<std::uint32_t>(at - ring.members().begin()));
  }
  return map;
}

std::size_t map_replicas(const TokenMap& map, std::uint64_t t, std::size_t n, std::uint32_t* out) {
  std::size_t found = 0;
  auto it = map.lower_bound(t);
  for (std::size_t g = 0; g < map.size() && found < n; ++g, ++it) {
    if (it == map.end()) it = map.begin();
    if (std::find(out, out + found, it->second) == out + found) out[found++] = it->second;
  }
  return found;
}

}  // namespace

int main() {
  std::mt19937_64 rng(1);

  // Lookups on 100 members, three replicas each.
  {
    const auto ids = members(100, rng);
    const auto ring = Ring::build(ids, kTokens);
    const auto map = map_of(ring);
    constexpr int kKeys = 200'000;
    std::vector<std::uint64_t> tokens(kKeys);
    for (auto& t : tokens) t = rng();
    std::vector<std::string> keys(kKeys);
    for (int i = 0; i < kKeys; ++i) keys[i] = std::to_string(rng());

    const double ours = best(5, 1, [&] {
      for (auto t : tokens) sink += ring.replicas(t, 3).size();
    }) / kKeys;
    const double with_token = best(5, 1, [&] {
      for (const auto& k : keys) sink += ring.replicas(token("counter", k), 3).size();
    }) / kKeys;
    const double base = best(5, 1, [&] {
      std::uint32_t out[3];
      for (auto t : tokens) sink += map_replicas(map, t, 3, out);
    }) / kKeys;
    std::printf("replicas, 100 members, 3 replicas:\n");
    std::printf("  Ring::replicas            %12.0f lookups/s\n", 1 / ours);
    std::printf("  token + Ring::replicas    %12.0f lookups/s\n", 1 / with_token);
    std::printf("  std::map baseline         %12.0f lookups/s\n", 1 / base);
    std::printf("  ratio ring / map          %12.2f\n", base / ours);
  }

  // Rebuild of a ring of 1,000 members.
  {
    const auto ids = members(1000, rng);
    const double build = best(5, 1, [&] { sink += Ring::build(ids, kTokens).tokens().size(); });
    // The floor: the same 128,000 digests, with nothing sorted.
    const double digests = best(5, 1, [&] {
      for (const auto& id : ids) sink += tokens_of(id, kTokens).front();
    });
    // A std::map filled with the same tokens, digests already computed.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs;
    for (std::uint32_t m = 0; m < ids.size(); ++m) {
      for (auto t : tokens_of(ids[m], kTokens)) pairs.emplace_back(t, m);
    }
    const double map = best(5, 1, [&] {
      TokenMap filled;
      for (const auto& [t, m] : pairs) filled.emplace(t, m);
      sink += filled.size();
    });
    const std::vector<NodeId> most(ids.begin(), ids.end() - 1);
    const auto without = Ring::build(most, kTokens);
    const double applied = best(5, 1, [&] { sink += without.applied(ids.back(), kTokens).tokens().size(); });
    std::printf("rebuild, 1,000 members (128,000 tokens):\n");
    std::printf("  Ring::build               %12.2f ms\n", build * 1e3);
    std::printf("  digests alone             %12.2f ms\n", digests * 1e3);
    std::printf("  std::map fill (no digest) %12.2f ms\n", map * 1e3);
    std::printf("  digests + std::map fill   %12.2f ms\n", (digests + map) * 1e3);
    std::printf("  ratio build / (digests + map) %8.2f\n", build / (digests + map));
    std::printf("  Ring::applied (999 + 1)   %12.2f ms\n", applied * 1e3);
  }
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink % 1000));
}
