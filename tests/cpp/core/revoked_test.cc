#include "core/revoked.hpp"

#include <gtest/gtest.h>

namespace vorel::core {
namespace {

TEST(Revoked, KeepsEachUntilItsDeadlineAndGivesItOnce) {
  Revoked<int> r;
  r.add(1, 10.0, 0.0);
  r.add(2, 5.0, 0.0);
  EXPECT_EQ(r.take(1), 10.0);
  EXPECT_EQ(r.take(1), std::nullopt);
  r.add(3, 20.0, 5.0);  // 2 is due at 5 and goes
  EXPECT_EQ(r.take(2), std::nullopt);
  EXPECT_EQ(r.take(3), 20.0);
}

TEST(Revoked, ALaterDeadlineForTheSameKeyOutlivesTheEarlierOne) {
  Revoked<int> r;
  r.add(1, 5.0, 0.0);
  r.add(1, 30.0, 1.0);
  r.add(2, 40.0, 10.0);  // the stale entry of 1 at 5 comes up and leaves 1's later deadline
  EXPECT_EQ(r.take(1), 30.0);
}

// Each withdrawal looks at the entries it lets go and one more, however many are remembered: the
// cost of a cancel does not grow with the cancels before it.
TEST(Revoked, AnAddLooksOnlyAtWhatItLetsGo) {
  Revoked<int> r;
  constexpr int kMany = 20000;
  for (int i = 0; i < kMany; ++i) {
    const std::size_t before = r.examined();
    r.add(i, 1000.0 + i, static_cast<double>(i) / 1000);
    EXPECT_LE(r.examined() - before, 1u) << i;
  }
  EXPECT_EQ(r.size(), static_cast<std::size_t>(kMany));
  const std::size_t before = r.examined();
  r.add(-1, 1e9, 1000.0 + kMany / 2.0);  // half of them are due
  EXPECT_EQ(r.size(), static_cast<std::size_t>(kMany / 2));
  EXPECT_LE(r.examined() - before, static_cast<std::size_t>(kMany / 2 + 2));
}

}  // namespace
}  // namespace vorel::core
