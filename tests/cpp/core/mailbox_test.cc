#include "core/mailbox.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorel::core {
namespace {

using mailbox::Put;
using mailbox::Withdrawn;

Target reply(std::int64_t id) { return Target::reply(NodeId{std::nullopt, {}}, id); }

Deliver ask(std::int64_t id, std::string body = "m") {
  return Deliver{"A", "k", Bytes(body.begin(), body.end()), reply(id), Chain()};
}

Deliver tell(std::string body = "t") { return Deliver{"A", "k", Bytes(body.begin(), body.end()), std::nullopt, Chain()}; }

std::vector<std::int64_t> ids(const auto& targets) {
  std::vector<std::int64_t> out;
  for (const auto& t : targets) out.push_back(t.as_reply()->id);
  return out;
}

const char* put_name(const Put& p) {
  switch (p.value.index()) {
    case 0: return "Queued";
    case 1: return "Refused";
    default: return "Parked";
  }
}

TEST(Mailbox, PutByBoundAndPolicy) {
  struct Case {
    std::string name;
    std::optional<std::uint64_t> bound;
    bool wait;
    int queued_before;
    bool is_ask;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"unbounded tell", std::nullopt, false, 50, false, "Queued"},
      {"unbounded ask that would wait", std::nullopt, true, 50, true, "Queued"},
      {"room left", 2, false, 1, true, "Queued"},
      {"full, tell, refuse", 2, false, 2, false, "Refused"},
      {"full, tell, wait", 2, true, 2, false, "Refused"},
      {"full, ask, refuse", 2, false, 2, true, "Refused"},
      {"full, ask, wait", 2, true, 2, true, "Parked"},
      {"bound 0, tell", 0, true, 0, false, "Refused"},
      {"bound 0, ask, wait", 0, true, 0, true, "Parked"},
      {"bound 0, ask, refuse", 0, false, 0, true, "Refused"},
  };
  for (const auto& c : cases) {
    Mailbox box(c.bound, c.wait);
    for (int i = 0; i < c.queued_before; ++i) ASSERT_EQ(put_name(box.put(tell())), std::string("Queued"));
    const Deliver d = c.is_ask ? ask(7, "x") : tell("x");
    const Put got = box.put(d);
    EXPECT_STREQ(put_name(got), c.expected) << c.name;
    if (const auto* refused = std::get_if<Put::Refused>(&got.value)) {
      EXPECT_EQ(refused->delivery, d) << c.name << ": the refused delivery comes back whole";
    }
    if (c.bound) {
      EXPECT_LE(box.queue().size(), *c.bound) << c.name;
    }
    const bool parked = std::string(c.expected) == "Parked";
    EXPECT_EQ(box.parked().size(), parked ? 1u : 0u) << c.name;
  }
}

// A bound of 1 with a waiting policy, holding one ask (id 1) and parking asks 10, 11, 12.
Mailbox full_waiting() {
  Mailbox box(1, true);
  EXPECT_TRUE(std::holds_alternative<Put::Queued>(box.put(ask(1)).value));
  for (std::int64_t id : {10, 11, 12}) EXPECT_TRUE(std::holds_alternative<Put::Parked>(box.put(ask(id)).value));
  return box;
}

class FullWaitingMailbox : public ::testing::Test {
 protected:
  Mailbox box = full_waiting();
};

TEST_F(FullWaitingMailbox, TakeReleasesOneThenTheRestInParkingOrder) {
  auto first = box.take();
  ASSERT_TRUE(first.delivery.has_value());
  EXPECT_EQ(first.delivery->reply, reply(1));
  EXPECT_EQ(ids(first.released), (std::vector<std::int64_t>{10}));

  auto second = box.take();
  EXPECT_FALSE(second.delivery.has_value());
  EXPECT_EQ(ids(second.released), (std::vector<std::int64_t>{11, 12}));
  EXPECT_TRUE(box.parked().empty());

  auto third = box.take();
  EXPECT_FALSE(third.delivery.has_value());
  EXPECT_TRUE(third.released.empty());
}

TEST_F(FullWaitingMailbox, EveryParkedAskIsReleasedExactlyOnce) {
  // Released askers come back with their kept copies; each comes back once, in parking order.
  std::vector<std::int64_t> released;
  std::vector<std::int64_t> delivered;
  std::vector<std::int64_t> retry;
  for (int step = 0; step < 20; ++step) {
    auto took = box.take();
    if (took.delivery) delivered.push_back(took.delivery->reply->as_reply()->id);
    for (auto id : ids(took.released)) {
      released.push_back(id);
      retry.push_back(id);
    }
    if (!retry.empty()) {
      const auto id = retry.front();
      retry.erase(retry.begin());
      (void)box.put(ask(id));
    }
    if (!took.delivery && took.released.empty() && retry.empty() && box.queue().empty()) break;
  }
  EXPECT_EQ(released, (std::vector<std::int64_t>{10, 11, 12}));
  EXPECT_EQ(delivered, (std::vector<std::int64_t>{1, 10, 11, 12}));
}

TEST(Mailbox, WithdrawByCase) {
  struct Case {
    std::string name;
    std::int64_t target;
    std::size_t index;  // Queued, Parked, Absent
    std::vector<std::int64_t> released;
    std::vector<std::int64_t> parked_after;
  };
  const std::vector<Case> cases = {
      {"queued releases the oldest parked", 1, 0, {10}, {11, 12}},
      {"parked in the middle", 11, 1, {}, {10, 12}},
      {"unknown", 99, 2, {}, {10, 11, 12}},
  };
  for (const auto& c : cases) {
    Mailbox box = full_waiting();
    const Withdrawn got = box.withdraw(reply(c.target));
    EXPECT_EQ(got.value.index(), c.index) << c.name;
    if (const auto* q = std::get_if<Withdrawn::Queued>(&got.value)) {
      EXPECT_EQ(ids(q->released), c.released) << c.name;
    }
    EXPECT_EQ(ids(box.parked()), c.parked_after) << c.name;
  }
}

TEST(Mailbox, WithdrawRemovesOnlyTheOlderOfTwoMatches) {
  Mailbox box;
  (void)box.put(ask(5, "older"));
  (void)box.put(tell());
  (void)box.put(ask(5, "newer"));
  const Withdrawn got = box.withdraw(reply(5));
  ASSERT_TRUE(std::holds_alternative<Withdrawn::Queued>(got.value));
  EXPECT_TRUE(std::get<Withdrawn::Queued>(got.value).released.empty());
  ASSERT_EQ(box.queue().size(), 2u);
  EXPECT_EQ(box.queue()[0].reply, std::nullopt);
  EXPECT_EQ(box.queue()[1].message, (Bytes{'n', 'e', 'w', 'e', 'r'}));
}

TEST(Mailbox, WithdrawComparesWholeTargets) {
  Mailbox box;
  (void)box.put(ask(5));
  const Target other_node = Target::reply(NodeId{"h:1", {}}, 5);
  EXPECT_TRUE(std::holds_alternative<Withdrawn::Absent>(box.withdraw(other_node).value));
  EXPECT_TRUE(std::holds_alternative<Withdrawn::Absent>(box.withdraw(Target::entity("A", "k")).value));
  EXPECT_EQ(box.queue().size(), 1u);
}

TEST(Mailbox, TakeOnAnEmptyMailbox) {
  Mailbox box(3, true);
  auto took = box.take();
  EXPECT_FALSE(took.delivery.has_value());
  EXPECT_TRUE(took.released.empty());
}

TEST_F(FullWaitingMailbox, DrainEmptiesEverythingInOrder) {
  (void)box.take();  // releases 10
  (void)box.put(ask(2));
  (void)box.put(ask(13));
  auto drained = box.drain();
  ASSERT_EQ(drained.queue.size(), 1u);
  EXPECT_EQ(drained.queue[0].reply, reply(2));
  EXPECT_EQ(ids(drained.parked), (std::vector<std::int64_t>{11, 12, 13}));
  EXPECT_TRUE(box.queue().empty());
  EXPECT_TRUE(box.parked().empty());
}

// The numbers follow arrivals through takes, withdrawals, refusals and drains, and never repeat.
TEST(Mailbox, QueuedDeliveriesAreNumberedInArrivalOrder) {
  Mailbox box(3, false);
  EXPECT_EQ(box.next(), 0u);
  EXPECT_EQ(box.oldest(), std::nullopt);
  (void)box.put(tell());
  (void)box.put(ask(1));
  (void)box.put(ask(2));
  EXPECT_EQ(box.oldest(), 0u);
  EXPECT_EQ(box.next(), 3u);
  EXPECT_TRUE(std::holds_alternative<Put::Refused>(box.put(tell()).value));
  EXPECT_EQ(box.next(), 3u);
  (void)box.withdraw(reply(1));
  (void)box.take();
  EXPECT_EQ(box.oldest(), 2u);
  (void)box.put(tell());
  EXPECT_EQ(box.next(), 4u);
  (void)box.withdraw(reply(2));
  EXPECT_EQ(box.oldest(), 3u);
  (void)box.drain();
  EXPECT_EQ(box.oldest(), std::nullopt);
  (void)box.put(tell());
  EXPECT_EQ(box.oldest(), 4u);
}

}  // namespace
}  // namespace vorel::core
