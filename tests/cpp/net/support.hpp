// Helpers shared by the transport tests: byte literals and a seeded source of random bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"

namespace vorel::net::testing {

using B = std::vector<std::uint8_t>;

inline B concat(std::initializer_list<B> parts) {
  B out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline B text(std::string_view s) { return B(s.begin(), s.end()); }

inline B random_bytes(std::mt19937_64& rng, std::size_t n) {
  B out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// Bytes that compress well but are not all alike.
inline B compressible(std::size_t n) {
  B out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>("vorel transport "[i % 16]);
  return out;
}

inline std::size_t pick(std::mt19937_64& rng, std::size_t below) { return below == 0 ? 0 : rng() % below; }

// Flips, inserts or removes a few bytes at random places.
inline B mutate(std::mt19937_64& rng, B bytes) {
  const std::size_t edits = 1 + pick(rng, 4);
  for (std::size_t e = 0; e < edits; ++e) {
    switch (pick(rng, 3)) {
      case 0:
        if (!bytes.empty()) bytes[pick(rng, bytes.size())] ^= static_cast<std::uint8_t>(1 + pick(rng, 255));
        break;
      case 1:
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(pick(rng, bytes.size() + 1)),
                     static_cast<std::uint8_t>(rng()));
        break;
      default:
        if (!bytes.empty()) bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(pick(rng, bytes.size())));
    }
  }
  return bytes;
}

}  // namespace vorel::net::testing
