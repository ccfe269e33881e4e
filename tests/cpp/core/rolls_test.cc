#include "core/rolls.hpp"

#include <gtest/gtest.h>

namespace vorel::core {
namespace {

TEST(Rolls, XorshiftSequence) {
  // A zero seed still gives a non-zero state: 0 × the golden ratio, with the low bit set, is 1.
  Rolls r = Rolls::seeded(0);
  EXPECT_EQ(r.state(), 1u);
  EXPECT_EQ(r.draw(), 1082269761u);
  EXPECT_EQ(r.draw(), 1152992998833853505u);
  EXPECT_EQ(r.pick(10), 11177516664432764457u % 10);
}

TEST(Rolls, SeedIsSpreadAndOdd) {
  EXPECT_EQ(Rolls::seeded(1).state(), 0x9e3779b97f4a7c15u);
  EXPECT_EQ(Rolls::seeded(2).state(), (2 * 0x9e3779b97f4a7c15u) | 1u);
}

}  // namespace
}  // namespace vorel::core
