#include "core/backoff.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vorel::core {
namespace {

constexpr Duration ms(std::uint64_t millis) {
  return {millis / 1000, static_cast<std::uint32_t>(millis % 1000 * 1'000'000)};
}
constexpr Duration s(std::uint64_t seconds) { return {seconds, 0}; }

TEST(Backoff, DefaultSequenceDoublesUpToTheLimit) {
  const Backoff backoff{2.0, ms(100), s(10)};
  const std::vector<Duration> expected = {ms(100), ms(200),  ms(400),  ms(800), ms(1600),
                                          ms(3200), ms(6400), s(10),   s(10)};
  std::vector<Duration> got = {backoff.first};
  while (got.size() < expected.size()) got.push_back(backoff.next(got.back()));
  EXPECT_EQ(got, expected);
}

TEST(Backoff, NextByCase) {
  struct Case {
    std::string name;
    double factor;
    Duration previous, limit, expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"exactly twice 0.1 s", 2.0, ms(100), s(10), {0, 200'000'000}},
      {"capped", 2.0, s(6), s(10), s(10)},
      {"at the limit", 1.0, s(10), s(10), s(10)},
      {"negative factor", -2.0, ms(100), s(10), s(10)},
      {"zero factor", 0.0, s(3), s(10), s(0)},
      {"negative factor from zero", -2.0, s(0), s(10), s(0)},
      {"huge", 1e30, s(1), {UINT64_MAX, 999'999'999}, {UINT64_MAX, 999'999'999}},
      {"two to the 64 seconds", 18446744073709551616.0, s(1), {UINT64_MAX, 0}, {UINT64_MAX, 0}},
      {"not a number", nan, s(1), s(10), s(10)},
      {"infinite", inf, s(1), s(10), s(10)},
      {"half nanosecond rounds to even, down", 1.0 / 1024, s(1), s(10), {0, 976'562}},
      {"half nanosecond rounds to even, up", 3.0 / 1024, s(1), s(10), {0, 2'929'688}},
      {"a nanosecond short of a second carries", 1.0 - 0x1p-40, s(1), s(10), s(1)},
      {"large whole seconds stay exact", 1.0, {1ull << 51, 500'000'000}, {UINT64_MAX, 0},
       {1ull << 51, 500'000'000}},
      {"shrinking", 0.5, {3, 0}, s(10), ms(1500)},
  };
  for (const auto& c : cases) {
    const Backoff backoff{c.factor, ms(100), c.limit};
    const Duration got = backoff.next(c.previous);
    EXPECT_EQ(got.seconds, c.expected.seconds) << c.name;
    EXPECT_EQ(got.nanos, c.expected.nanos) << c.name;
  }
}

TEST(Backoff, DelayOfRetryNByCase) {
  struct Case {
    std::string name;
    double factor;
    Duration first;
    std::uint32_t n;
    Duration expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"the first retry waits the first delay", 2.0, ms(100), 0, ms(100)},
      {"doubled three times", 2.0, ms(100), 3, ms(800)},
      {"past the limit", 2.0, ms(100), 7, s(10)},
      {"far past the limit", 2.0, ms(100), 4'000'000'000u, s(10)},
      {"a factor of one never grows", 1.0, ms(100), 4'000'000'000u, ms(100)},
      {"shrinking", 0.5, s(4), 2, s(1)},
      {"shrinking to nothing", 0.5, s(4), 4'000'000'000u, s(0)},
      {"zero factor, first retry", 0.0, s(3), 0, s(3)},
      {"zero factor, later retry", 0.0, s(3), 1, s(0)},
      {"negative factor, odd power", -2.0, ms(100), 1, s(10)},
      {"negative factor, even power", -2.0, ms(100), 2, ms(400)},
      {"not a number", nan, s(1), 1, s(10)},
      {"infinite", inf, s(1), 1, s(10)},
      {"infinite from nothing", inf, s(0), 1, s(10)},
      {"a first delay above the limit", 2.0, s(60), 0, s(10)},
  };
  for (const auto& c : cases) {
    const Backoff backoff{c.factor, c.first, s(10)};
    EXPECT_EQ(backoff.delay(c.n), c.expected) << c.name;
  }
}

TEST(Duration, OrdersSecondsFirst) {
  EXPECT_LT((Duration{1, 999'999'999}), (Duration{2, 0}));
  EXPECT_LT((Duration{2, 0}), (Duration{2, 1}));
}

}  // namespace
}  // namespace vorel::core
