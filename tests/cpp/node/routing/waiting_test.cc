#include "node/routing/waiting.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "testing/ids.hpp"

namespace vorel::node::routing::waiting {
namespace {

using core::Command;
using core::Deliver;
using core::Duration;
using core::Target;
using core::routing::wire::Cancel;
using core::testing::id;
using std::chrono::milliseconds;

const core::NodeId kAsker = id(1);
const Instant t0{std::chrono::hours(1)};

Duration ms(std::uint64_t n) { return Duration{n / 1000, static_cast<std::uint32_t>(n % 1000 * 1'000'000)}; }

Routed ask(std::int64_t id, std::string key = "k") {
  return Routed{Deliver{"T", std::move(key), {0x01}, Target::reply(kAsker, id), {}}, kAsker, 1};
}
Routed tell(std::string key = "k") { return Routed{Deliver{"T", std::move(key), {0x02}, std::nullopt, {}}, kAsker, 1}; }

std::vector<Routed> routed_of(const std::vector<Released>& out) {
  std::vector<Routed> r;
  for (const auto& x : out) r.push_back(x.routed);
  return r;
}

class WaitingTest : public ::testing::Test {
 protected:
  Waiting room;
};

TEST_F(WaitingTest, KeepIntoAnEmptyRoomSetsSince) {
  EXPECT_FALSE(room.since);
  room.keep(ask(1), t0, Duration{}, ms(5000));
  EXPECT_EQ(room.since, t0);
  room.keep(ask(2), t0 + milliseconds(3), Duration{}, ms(5000));
  EXPECT_EQ(room.since, t0);
  EXPECT_EQ(room.count, 2u);
  EXPECT_EQ(room.limit, 100'000u);
  const auto& queue = room.parked.at(Key{"T", "k"});
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[1].not_before, t0 + milliseconds(3));
  EXPECT_EQ(queue[1].deadline, t0 + milliseconds(5003));
}

TEST_F(WaitingTest, DueEntriesLeaveInOrder) {
  room.keep(ask(1), t0, ms(10), ms(5000));
  room.keep(tell(), t0, Duration{}, ms(5000));
  EXPECT_TRUE(room.release("T", "k", false, t0 + milliseconds(9)).empty());
  const auto out = room.release("T", "k", false, t0 + milliseconds(10));
  EXPECT_EQ(routed_of(out), (std::vector<Routed>{ask(1), tell()}));
  for (const auto& r : out) EXPECT_FALSE(r.expired);
  EXPECT_EQ(room.count, 0u);
  EXPECT_FALSE(room.holds("T", "k"));
  EXPECT_TRUE(room.parked.empty());
}

TEST_F(WaitingTest, AnEntryNotYetDueHoldsBackTheOnesBehindIt) {
  room.keep(ask(1), t0, ms(50), ms(5000));
  room.keep(ask(2), t0, Duration{}, ms(5000));
  EXPECT_TRUE(room.release("T", "k", false, t0 + milliseconds(20)).empty());
  EXPECT_EQ(room.count, 2u);
  EXPECT_EQ(routed_of(room.release("T", "k", false, t0 + milliseconds(50))), (std::vector<Routed>{ask(1), ask(2)}));
}

TEST_F(WaitingTest, AKeyWithoutPlaceKeepsItsEntriesUntilTheirDeadlines) {
  room.keep(ask(1), t0, Duration{}, ms(100));
  room.keep(ask(2), t0 + milliseconds(50), Duration{}, ms(100));
  EXPECT_TRUE(room.release("T", "k", true, t0 + milliseconds(99)).empty());
  // The expired front leaves even while the key waits; the one behind it is not expired and stays.
  const auto out = room.release("T", "k", true, t0 + milliseconds(100));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].expired);
  EXPECT_EQ(out[0].routed, ask(1));
  EXPECT_EQ(room.count, 1u);
  // Once the key has a place, an expired entry still leaves as expired, not as due.
  const auto late = room.release("T", "k", false, t0 + milliseconds(500));
  ASSERT_EQ(late.size(), 1u);
  EXPECT_TRUE(late[0].expired);
  EXPECT_EQ(room.count, 0u);
}

TEST_F(WaitingTest, ReleaseOfAnUnknownKeyIsEmpty) {
  room.keep(ask(1), t0, Duration{}, ms(100));
  EXPECT_TRUE(room.release("T", "other", false, t0 + milliseconds(500)).empty());
  EXPECT_EQ(room.count, 1u);
}

TEST_F(WaitingTest, CancelRemovesOnlyThatAsk) {
  room.keep(ask(1), t0, Duration{}, ms(5000));
  room.keep(ask(2), t0, Duration{}, ms(5000));
  room.keep(tell(), t0, Duration{}, ms(5000));
  room.keep(ask(3), t0, Duration{}, ms(5000));
  room.keep(ask(2, "other"), t0, Duration{}, ms(5000));
  EXPECT_TRUE(room.cancel(Cancel{"T", "k", Target::reply(kAsker, 2)}));
  EXPECT_EQ(room.count, 4u);
  EXPECT_EQ(routed_of(room.release("T", "k", false, t0)), (std::vector<Routed>{ask(1), tell(), ask(3)}));
  EXPECT_TRUE(room.holds("T", "other"));
}

TEST_F(WaitingTest, CancelMatchesTheWholeReplyTarget) {
  room.keep(ask(1), t0, Duration{}, ms(5000));
  const std::vector<Cancel> misses{
      Cancel{"T", "k", Target::reply(kAsker, 9)},      // another ask id
      Cancel{"T", "k", Target::reply(id(2), 1)},       // the same id asked from another node
      Cancel{"T", "k", Target::entity("T", "k")},      // an entity is never a parked ask's target
      Cancel{"T", "other", Target::reply(kAsker, 1)},  // another key
  };
  for (const auto& c : misses) EXPECT_FALSE(room.cancel(c));
  EXPECT_EQ(room.count, 1u);
  EXPECT_TRUE(room.cancel(Cancel{"T", "k", Target::reply(kAsker, 1)}));
  EXPECT_EQ(room.count, 0u);
  EXPECT_TRUE(room.parked.empty());
}

TEST_F(WaitingTest, KeysInBytewiseOrderActorFirst) {
  const auto at = [](std::string actor, std::string key) {
    return Routed{Deliver{std::move(actor), std::move(key), {}, std::nullopt, {}}, kAsker, 1};
  };
  room.keep(at("b", "a"), t0, Duration{}, ms(10));
  room.keep(at("a", "\xff"), t0, Duration{}, ms(10));
  room.keep(at("a", "z"), t0, Duration{}, ms(10));
  room.keep(at("ab", ""), t0, Duration{}, ms(10));
  EXPECT_EQ(room.keys(), (std::vector<Key>{{"a", "z"}, {"a", "\xff"}, {"ab", ""}, {"b", "a"}}));
  EXPECT_TRUE(room.holds("a", "\xff"));
  EXPECT_FALSE(room.holds("a", "y"));
}

TEST_F(WaitingTest, AHugeTimeoutNeverExpires) {
  const Duration forever{std::numeric_limits<std::uint64_t>::max(), 999'999'999};
  room.keep(ask(1), t0, forever, forever);
  EXPECT_EQ(room.parked.at(Key{"T", "k"}).front().deadline, Instant::max());
  EXPECT_TRUE(room.release("T", "k", false, t0 + std::chrono::hours(24 * 365 * 100)).empty());
  EXPECT_EQ(later(Instant::max(), ms(1)), Instant::max());
  EXPECT_EQ(later(t0, ms(1)), t0 + milliseconds(1));
}

}  // namespace
}  // namespace vorel::node::routing::waiting
