// Node ids for the placement and hand-off tests.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/node.hpp"
#include "testing/bytes.hpp"

namespace vorel::core::testing {

// A node at "n<tag>:7000" whose incarnation is all `tag`.
inline NodeId id(std::uint8_t tag) {
  Incarnation inc;
  inc.fill(tag);
  return NodeId{fmt::format("n{}:7000", tag), inc};
}

// The node without an address whose incarnation is sixteen zero bytes, and its wire form.
inline NodeId zero_id() { return NodeId{std::nullopt, Incarnation{}}; }
inline Bytes zero_id_bytes() {
  return cat({{0x82}, str("address"), {0xc0}, str("incarnation"), {0xc4, 0x10}, Bytes(16, 0)});
}

inline NodeId random_id(std::mt19937_64& rng) {
  Incarnation inc;
  for (auto& b : inc) b = static_cast<std::uint8_t>(rng());
  std::optional<std::string> address;
  if (rng() % 5 != 0) address = fmt::format("10.0.{}.{}:7000", rng() % 256, rng() % 256);
  return NodeId{std::move(address), inc};
}

// `count` distinct random ids.
inline std::vector<NodeId> random_ids(std::mt19937_64& rng, std::size_t count) {
  std::set<NodeId> out;
  while (out.size() < count) out.insert(random_id(rng));
  return {out.begin(), out.end()};
}

}  // namespace vorel::core::testing
