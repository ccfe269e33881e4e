// Tombstone burials of the replication service.
#include <gtest/gtest.h>

#include "node/replication/network.hpp"

namespace vorel::node::replication {
namespace {

using namespace testing;
using core::replication::Durable;
using core::replication::messages::Bury;
using core::replication::messages::Request;

bool is_bury(const core::replication::wire::Message& m) {
  const auto* r = std::get_if<Request>(&m.variant);
  return r && std::holds_alternative<Bury>(r->variant);
}

// Creates "t/k" on node 0 and deletes it; gives the instant the deletion was confirmed.
Instant deleted(Network& net) {
  auto rx = net.activate(0, "k", pages({{"a", "1"}}));
  auto got = net.settle(rx);
  EXPECT_TRUE(got && got->has_value() && **got);
  auto del = net.delete_(0, "k", (**got)->generation, false);
  auto done = net.settle(del);
  EXPECT_TRUE(done && done->has_value());
  return net.now;
}

std::size_t holding(Network& net) {
  std::size_t n = 0;
  for (auto& node : net.nodes) n += node->replica.entry("t", "k") != nullptr;
  return n;
}

TEST(ReplicationBurials, TombstonesAreBuriedOneIntervalLaterAndForgottenTheNext) {
  Network net(3);
  std::size_t buries = 0;
  net.drop = [&](std::size_t, std::size_t, const auto& m) {
    buries += is_bury(m);
    return false;
  };
  const auto at = deleted(net);
  net.run_for(100ms);
  EXPECT_EQ(holding(net), 3u);
  for (auto& node : net.nodes) EXPECT_TRUE(node->replica.deleted("t", "k").has_value());
  net.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(at + std::chrono::seconds(30) - 10ms - net.now));
  EXPECT_EQ(buries, 0u);
  net.run_for(200ms);
  // Every node buries its own replica's tombstone: each asks the two others.
  EXPECT_EQ(buries, 6u);
  EXPECT_EQ(holding(net), 3u);
  net.run_for(std::chrono::seconds(30));
  EXPECT_EQ(buries, 6u);
  EXPECT_EQ(holding(net), 0u);
  for (auto& node : net.nodes) EXPECT_EQ(node->burial("t", "k"), nullptr);
}

TEST(ReplicationBurials, OnlyTheSilentReplicaIsAskedAgain) {
  Network net(3);
  std::vector<std::size_t> buries;  // receivers of node 0's Bury requests
  bool silent = false;
  net.drop = [&](std::size_t from, std::size_t to, const auto& m) {
    if (from == 0 && is_bury(m)) buries.push_back(to);
    return silent && (to == 2 || from == 2);
  };
  deleted(net);
  silent = true;
  net.run_for(std::chrono::seconds(31));
  EXPECT_EQ(buries, (std::vector<std::size_t>{1, 2}));
  net.run_for(std::chrono::seconds(60));
  EXPECT_EQ(buries, (std::vector<std::size_t>{1, 2, 2, 2}));
  ASSERT_NE(net.at(0).burial("t", "k"), nullptr);
  EXPECT_TRUE(net.at(0).replica.deleted("t", "k").has_value());
  silent = false;
  net.run_for(std::chrono::seconds(60));
  EXPECT_EQ(net.at(0).burial("t", "k"), nullptr);
  EXPECT_EQ(net.at(0).replica.entry("t", "k"), nullptr);
}

TEST(ReplicationBurials, ASoleReplicaBuriesWithoutMessages) {
  Network net(2);
  net.around.replicas = {net.ids[0]};
  net.around.wanted = 1;
  deleted(net);
  const auto before = net.sent;
  net.run_for(std::chrono::seconds(31));
  EXPECT_EQ(net.sent, before);
  EXPECT_EQ(net.at(0).replica.entry("t", "k"), nullptr);
}

TEST(ReplicationBurials, DurableTypesAskTheStoreToDropAndRetryAFailure) {
  Network net(3);
  net.around.durable = Durable::write();
  deleted(net);
  net.store_fails = "locked";
  auto drops = [&] {
    std::size_t n = 0;
    for (const auto& [i, s] : net.asked) n += std::holds_alternative<core::Storage::Drop>(s.operation.value);
    return n;
  };
  net.run_for(std::chrono::seconds(31));
  EXPECT_EQ(drops(), 0u);  // the first round only asks the other replicas
  net.run_for(std::chrono::seconds(30));
  EXPECT_EQ(drops(), 3u);
  bool reported = false;
  for (const auto& e : net.events[0]) {
    reported |= failure_text(e) == "t/k: the store did not forget the deletion: locked";
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(net.at(0).written->failed.load(), 0u);
  EXPECT_EQ(holding(net), 3u);
  net.store_fails.reset();
  net.run_for(std::chrono::seconds(30));
  EXPECT_EQ(drops(), 6u);
  EXPECT_EQ(holding(net), 0u);
}

TEST(ReplicationBurials, AWriteOverTheTombstoneEndsItsBurial) {
  Network net(3);
  auto rx = net.activate(0, "k", pages({{"a", "1"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got && got->has_value() && **got);
  const auto handle = (**got)->generation;
  auto del = net.delete_(0, "k", handle);
  ASSERT_TRUE(net.settle(del));
  auto write = net.commit(0, "k", handle, pages({{"a", "2"}}));
  auto written = net.settle(write);
  ASSERT_TRUE(written && written->has_value());
  std::size_t buries = 0;
  net.drop = [&](std::size_t, std::size_t, const auto& m) {
    buries += is_bury(m);
    return false;
  };
  net.run_for(std::chrono::seconds(31));
  EXPECT_EQ(buries, 0u);
  EXPECT_EQ(net.at(0).burial("t", "k"), nullptr);
  EXPECT_EQ(holding(net), 3u);
}

TEST(ReplicationBurials, ReceivingAnswersDoNotCountAndTombstonesQueueOnce) {
  Network net(2);
  using namespace core::replication;
  auto& node = net.at(0);
  const Stamp stamp{Epoch{1, net.ids[0]}, 2};
  node.replica.tombstones.push_back(replica::Tombstone{"t", "k", stamp});
  node.replica.tombstones.push_back(replica::Tombstone{"t", "k", stamp});
  node.lay(net.now);
  node.lay(net.now);
  EXPECT_EQ(node.due(), net.now + std::chrono::seconds(30));
  node.answer(messages::Reply{messages::Buried{"t", "k", stamp, net.ids[1], true}}, net.now);
  ASSERT_NE(node.burial("t", "k"), nullptr);
  EXPECT_TRUE(node.burial("t", "k")->answered.empty());
  node.answer(messages::Reply{messages::Buried{"t", "k", stamp, net.ids[1], false}}, net.now);
  EXPECT_EQ(node.burial("t", "k")->answered.size(), 1u);
  // The replica does not hold the tombstone: the one queued entry ends the burial when due.
  EXPECT_TRUE(node.burying(net.now + std::chrono::seconds(30)).empty());
  EXPECT_EQ(node.burial("t", "k"), nullptr);
  EXPECT_EQ(node.due(), std::nullopt);
}

}  // namespace
}  // namespace vorel::node::replication
