#include "net/limits.hpp"

#include <gtest/gtest.h>

namespace vorel::net {
namespace {

TEST(Limits, FixedDurations) {
  const Limits l;
  EXPECT_EQ(l.ping_after, std::chrono::seconds(15));
  EXPECT_EQ(l.silence_limit, std::chrono::seconds(5));
  EXPECT_EQ(l.handshake_timeout, std::chrono::seconds(5));
  EXPECT_EQ(l.connect_timeout, std::chrono::seconds(5));
  EXPECT_EQ(l.redial_first, std::chrono::milliseconds(100));
  EXPECT_EQ(l.redial_limit, std::chrono::seconds(15));
}

TEST(Limits, SizesMustFitTheWire) {
  struct Case {
    std::uint64_t frame, message, window;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {262144, 4194304, 262144, ""},
      {1, 0, 1, ""},
      {4294967295u, 4294967039u, 4294967295u, ""},
      {0, 10, 10, "limits.frame of 0 is not between 1 and 4294967295"},
      {4294967296u, 10, 10, "limits.frame of 4294967296 is not between 1 and 4294967295"},
      {10, 10, 0, "limits.window of 0 is not between 1 and 4294967295"},
      {10, 10, 4294967296u, "limits.window of 4294967296 is not between 1 and 4294967295"},
      {10, 4294967040u, 10, "limits.message of 4294967040 is not below 4294967040"},
  };
  for (const auto& c : cases) {
    Limits l;
    l.frame = c.frame;
    l.message = c.message;
    l.window = c.window;
    const auto got = l.checked();
    if (c.error.empty()) {
      EXPECT_TRUE(got.has_value()) << got.error();
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error(), c.error);
    }
  }
}

}  // namespace
}  // namespace vorel::net
