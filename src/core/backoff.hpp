// Durations and the rule that spaces out retries.
#pragma once

#include <compare>
#include <cstdint>

namespace vorel::core {

// A span of time: whole seconds and the nanoseconds below one second.
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;  // below 1,000,000,000

  static constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

  double as_seconds() const { return static_cast<double>(nanos) / kNanosPerSecond + static_cast<double>(seconds); }

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
  friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

struct Backoff {
  double factor = 0.0;
  Duration first;
  Duration limit;

  // The delay after `previous`: `previous` times the factor, never above the limit. A factor
  // that gives a negative, infinite or not-a-number delay gives the limit.
  Duration next(Duration previous) const;
  // The delay before retry `n` (0 for the first): first times factor^n, never above the limit;
  // the limit too where that gives a negative, infinite or not-a-number delay.
  Duration delay(std::uint32_t n) const;
};

}  // namespace vorel::core
