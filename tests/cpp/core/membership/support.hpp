// Small makers shared by the membership tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "core/membership/table.hpp"
#include "core/node.hpp"
#include "core/rolls.hpp"

namespace vorel::core::membership::testing {

// A node at "n<k>:7000" whose incarnation ends in k; run tells two runs at one address apart.
inline NodeId node(int k, int run = 0) {
  Incarnation inc{};
  inc[14] = static_cast<std::uint8_t>(run);
  inc[15] = static_cast<std::uint8_t>(k);
  return NodeId{"n" + std::to_string(k) + ":7000", inc};
}

inline table::Record record(const NodeId& n, std::uint64_t incarnation, table::Status status,
                            std::set<std::string> types = {}) {
  return table::Record{n, incarnation, std::move(types), status};
}

// A seeded source of the random values that seed generators.
inline Random seeded(std::uint64_t seed) {
  auto engine = std::make_shared<std::mt19937_64>(seed);
  return [engine] { return (*engine)(); };
}

}  // namespace vorel::core::membership::testing
