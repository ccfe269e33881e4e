// Helpers shared by the tests of the core's byte formats.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <string_view>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"

namespace vorel::core::testing {

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes str(std::string_view s) {
  Bytes out;
  msgpack::write_str(out, s);
  return out;
}

// The input of one fuzz round, by turns: random bytes (up to `random_max`), a cut of the seed,
// or the seed with three bytes changed.
inline Bytes fuzz_input(std::mt19937_64& rng, int round, const Bytes& seed, std::size_t random_max) {
  Bytes input;
  switch (round % 3) {
    case 0:
      input.resize(rng() % (random_max + 1));
      for (auto& b : input) b = static_cast<std::uint8_t>(rng());
      break;
    case 1:
      input.assign(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(rng() % (seed.size() + 1)));
      break;
    default:
      input = seed;
      for (int k = 0; k < 3; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
      break;
  }
  return input;
}

// One input a decoder must refuse, and how: a row of a table of refusals.
struct Refusal {
  const char* name;
  Bytes bytes;
  msgpack::Malformed error;
};

// One input a decoder must read, and what it must read it as: a row of a table of readings.
template <class T>
struct Reading {
  const char* name;
  Bytes bytes;
  T expected;
};

// A copy in a heap block of exactly its size, so that a sanitized build catches any read past
// the end of the slice.
class Exact {
 public:
  explicit Exact(const Bytes& bytes) : data_(new std::uint8_t[bytes.size()]), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data_.get());
  }
  ByteView view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_;
};

}  // namespace vorel::core::testing
