#include "node/cluster.hpp"

#include <gtest/gtest.h>

namespace vorel::node {
namespace {

TEST(Cluster, AtGivesTheDefaultsOfAClient) {
  const auto c = Cluster::at("");
  EXPECT_EQ(c.bind, "");
  EXPECT_EQ(c.advertise, std::nullopt);
  EXPECT_TRUE(c.seeds.empty());
  EXPECT_EQ(c.name, "vorel");
  EXPECT_EQ(c.heartbeat, (core::Duration{1, 0}));
  EXPECT_EQ(c.suspect_after, (core::Duration{5, 0}));
  EXPECT_EQ(c.dead_after, (core::Duration{10, 0}));
  EXPECT_EQ(c.remove_after, (core::Duration{60, 0}));
  EXPECT_EQ(c.anti_entropy, (core::Duration{10, 0}));
  EXPECT_EQ(c.graft_after, (core::Duration{0, 500'000'000}));
  EXPECT_EQ(c.shuffle_every, (core::Duration{30, 0}));
  EXPECT_EQ(c.active, 5u);
  EXPECT_EQ(c.passive, 30u);
  EXPECT_EQ(c.join_walk, 6u);
  EXPECT_EQ(c.passive_walk, 3u);
  EXPECT_FALSE(c.tls.has_value());
  EXPECT_FALSE(c.codecs.has_value());
  EXPECT_EQ(c.min_bytes, 4096u);
  EXPECT_EQ(c.limits.frame, 262'144u);
  EXPECT_EQ(c.limits.message, 4'194'304u);
  EXPECT_EQ(c.limits.window, 262'144u);
  using namespace std::chrono_literals;
  EXPECT_EQ(c.limits.ping_after, 15s);
  EXPECT_EQ(c.limits.silence_limit, 5s);
  EXPECT_EQ(c.limits.handshake_timeout, 5s);
  EXPECT_EQ(c.limits.connect_timeout, 5s);
  EXPECT_EQ(c.limits.redial_first, 100ms);
  EXPECT_EQ(c.limits.redial_limit, 15s);
  EXPECT_EQ(c.write_timeout, (core::Duration{5, 0}));
  EXPECT_EQ(c.leave_timeout, (core::Duration{30, 0}));
  EXPECT_EQ(c.backoff.factor, 2.0);
  EXPECT_EQ(c.backoff.first, (core::Duration{0, 100'000'000}));
  EXPECT_EQ(c.backoff.limit, (core::Duration{10, 0}));
  EXPECT_EQ(c.address_map, nullptr);
  EXPECT_EQ(Cluster::at("127.0.0.1:7000").bind, "127.0.0.1:7000");
}

}  // namespace
}  // namespace vorel::node
