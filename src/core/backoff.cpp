#include "core/backoff.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace vorel::core {

namespace {

// `x` seconds (finite, not negative) as a Duration rounded to the nearest nanosecond, ties to
// even; none when it does not fit. The fraction is scaled exactly in integers: a product in
// double precision would round once more and miss the nearest nanosecond of large values.
std::optional<Duration> from_seconds(double x) {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(x < kTwoTo64)) return std::nullopt;
  const double whole = std::floor(x);
  const double fraction = x - whole;  // exact: the fraction of a double is a double
  std::uint64_t seconds = static_cast<std::uint64_t>(whole);
  std::uint64_t nanos = 0;
  if (fraction > 0) {
    int exponent = 0;
    const double mantissa = std::frexp(fraction, &exponent);  // fraction = mantissa * 2^exponent
    const auto bits = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
    const int shift = 53 - exponent;  // fraction = bits / 2^shift, shift > 53
    // bits * 1e9 < 2^83; from a shift of 84 on it is below one half and rounds to zero.
    if (shift < 84) {
      const unsigned __int128 scaled = static_cast<unsigned __int128>(bits) * Duration::kNanosPerSecond;
      const unsigned __int128 quotient = scaled >> shift;
      const unsigned __int128 rest = scaled - (quotient << shift);
      const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
      nanos = static_cast<std::uint64_t>(quotient);
      if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
    }
  }
  if (nanos == Duration::kNanosPerSecond) {
    if (seconds == UINT64_MAX) return std::nullopt;
    ++seconds;
    nanos = 0;
  }
  return Duration{seconds, static_cast<std::uint32_t>(nanos)};
}

// `x` seconds as a delay, never above the limit; the limit where `x` is negative, not a number
// or too large to hold.
Duration capped(double x, Duration limit) {
  if (x < 0) return limit;
  if (std::isnan(x)) return limit;
  auto delay = from_seconds(x);
  if (!delay) return limit;
  return std::min(*delay, limit);
}

}  // namespace

Duration Backoff::next(Duration previous) const { return capped(previous.as_seconds() * factor, limit); }

// The power is taken at once rather than by n steps of `next`, which would round at every step.
Duration Backoff::delay(std::uint32_t n) const {
  return capped(first.as_seconds() * std::pow(factor, static_cast<double>(n)), limit);
}

}  // namespace vorel::core
