#include "core/replication/messages.hpp"

#include <gtest/gtest.h>

#include "core/replication/sample.hpp"

namespace vorel::core::replication {
namespace {

using sample::node;
using sample::stamp;

Incarnation ending(std::uint8_t last) {
  Incarnation inc{};
  inc[15] = last;
  return inc;
}

struct OrderCase {
  const char* name;
  Stamp a;
  Stamp b;
  bool a_before_b;
  bool b_before_a;
};

class StampOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(StampOrder, Before) {
  const auto& c = GetParam();
  EXPECT_EQ(Stamp::before(c.a, c.b), c.a_before_b);
  EXPECT_EQ(Stamp::before(c.b, c.a), c.b_before_a);
}

const NodeId kA{"a:1", ending(1)};
const NodeId kA2{"a:1", ending(2)};
const NodeId kBare{std::nullopt, ending(1)};
const NodeId kOther{"b:1", ending(1)};

INSTANTIATE_TEST_SUITE_P(
    Table, StampOrder,
    ::testing::Values(OrderCase{"itself", stamp(3, kA, 9), stamp(3, kA, 9), false, false},
                      OrderCase{"round_wins_over_version", stamp(3, kA, 9), stamp(4, kOther, 1), true, false},
                      OrderCase{"incarnation_wins_over_version_and_address", stamp(5, NodeId{"z:9", ending(1)}, 100),
                                stamp(5, NodeId{"a:1", ending(2)}, 1), true, false},
                      OrderCase{"address_absent_on_one_side", stamp(5, kA, 1), stamp(5, kBare, 2), false, false},
                      OrderCase{"different_addresses", stamp(5, kA, 1), stamp(5, kOther, 2), false, false},
                      OrderCase{"same_node_versions", stamp(5, kA, 4), stamp(5, kA, 5), true, false},
                      OrderCase{"same_node_same_version", stamp(5, kA2, 5), stamp(5, kA2, 5), false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A version read back from a store has no address; against a replica's stamp of the same term it
// still orders by version, so the newer of the two is recognised.
TEST(StampStoredOrder, IgnoresTheAddress) {
  const Stamp replica = stamp(5, kA, 3);
  const Stamp stored_newer = stamp(5, kBare, 4);
  const Stamp stored_same = stamp(5, kBare, 3);
  EXPECT_FALSE(Stamp::before(replica, stored_newer));
  EXPECT_TRUE(Stamp::stored_before(replica, stored_newer));
  EXPECT_FALSE(Stamp::stored_before(stored_newer, replica));
  EXPECT_FALSE(Stamp::stored_before(replica, stored_same));
  EXPECT_FALSE(Stamp::stored_before(stored_same, replica));
  EXPECT_TRUE(Stamp::stored_before(stamp(4, kA, 9), stamp(5, kBare, 1)));
  EXPECT_TRUE(Stamp::stored_before(stamp(5, kA, 9), stamp(5, kA2, 1)));
}

TEST(ReplicationTombstone, IsTheDeletedPageAlone) {
  const Pages t = messages::tombstone();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t.begin()->first, "@deleted");
  EXPECT_TRUE(t.begin()->second.empty());
  EXPECT_TRUE(messages::is_tombstone(t));
  EXPECT_TRUE(messages::is_tombstone(sample::pages({{"@deleted", ""}, {"x", "1"}})));
  EXPECT_FALSE(messages::is_tombstone(sample::pages({{"@active", ""}, {"x", "1"}})));
}

TEST(ReplicationRequest, OriginIsTheNodeTheReplyGoesTo) {
  const NodeId owner = node(1), burier = node(2);
  using namespace messages;
  EXPECT_EQ((Request{Prepare{"a", "k", Epoch{1, owner}}}.origin()), owner);
  EXPECT_EQ((Request{Accept{"a", "k", stamp(1, owner, 1), std::nullopt, 0, true, {}, {}}}.origin()), owner);
  EXPECT_EQ((Request{Fetch{"a", "k", Epoch{1, owner}, {}, 0}}.origin()), owner);
  EXPECT_EQ((Request{Bury{"a", "k", stamp(1, owner, 1), burier}}.origin()), burier);
}

}  // namespace
}  // namespace vorel::core::replication
