// The small random generator of the cluster logic: xorshift64 with shifts 13, 7 and 17. Each
// owner keeps its own state, so a seeded run of the cluster logic replays draw for draw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vorel::core {

// Where the random 64-bit values that seed generators come from: the process's random source in
// the node runtime, a seeded generator in tests.
using Random = std::function<std::uint64_t()>;

class Rolls {
 public:
  // The golden-ratio product spreads a weak seed over all bits; the low bit keeps the state off
  // zero, where xorshift would stay forever.
  static Rolls seeded(std::uint64_t random) { return Rolls(random * 0x9e3779b97f4a7c15ull | 1u); }

  std::uint64_t draw() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

  // An index below n, which must not be 0.
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(draw() % n); }

  std::uint64_t state() const { return state_; }

 private:
  explicit Rolls(std::uint64_t state) : state_(state) {}
  std::uint64_t state_;
};

}  // namespace vorel::core
