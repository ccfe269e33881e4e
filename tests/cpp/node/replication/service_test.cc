#include "node/replication/service.hpp"

#include <gtest/gtest.h>

#include "node/replication/network.hpp"

namespace vorel::node::replication {
namespace {

using namespace testing;
using core::replication::Level;
using service::Failure;

std::uint64_t activated(Network& net, std::size_t i, const std::string& key, std::optional<core::Pages> initial) {
  auto rx = net.activate(i, key, std::move(initial));
  auto got = net.settle(rx);
  EXPECT_TRUE(got && got->has_value());
  if (!got || !got->has_value() || !**got) return 0;
  return (**got)->generation;
}

TEST(ReplicationService, ActivationCreatesThenWritesReachTheReplicas) {
  Network net(3);
  auto rx = net.activate(0, "k", pages({{"a", "1"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got && got->has_value() && **got);
  EXPECT_EQ((**got)->pages, pages({{"a", "1"}}));
  EXPECT_TRUE((**got)->created);
  EXPECT_EQ((**got)->generation, 1u);

  auto write = net.commit(0, "k", 1, pages({{"a", "2"}, {"b", "3"}}));
  auto done = net.settle(write);
  ASSERT_TRUE(done);
  EXPECT_TRUE(done->has_value());
  EXPECT_EQ(net.at(0).written->confirmed.load(), 1u);
  net.run_for(50ms);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto* entry = net.at(i).replica.entry("t", "k");
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(entry->pages.at("b"), text("3")) << i;
  }

  // Another node's later activation reads what was written.
  auto again = net.activate(1, "k", std::nullopt);
  auto read = net.settle(again);
  ASSERT_TRUE(read && read->has_value() && **read);
  EXPECT_EQ((**read)->pages, pages({{"a", "2"}, {"b", "3"}}));
  EXPECT_FALSE((**read)->created);
}

TEST(ReplicationService, ActivationOfAMissingKeyWithoutInitialStateHasNoState) {
  Network net(3);
  auto rx = net.activate(0, "k", std::nullopt);
  auto got = net.settle(rx);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_FALSE(got->value().has_value());
}

struct LevelCase {
  Level level;
  std::size_t silent;  // replicas (from the last) that never receive anything
  std::string failure;  // empty: the write succeeds
};

class WriteLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(WriteLevels, WriteSucceedsOrFailsByItsLevel) {
  const auto& c = GetParam();
  Network net(3);
  net.around.level = c.level;
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  ASSERT_EQ(handle, 1u);
  net.drop = [&](std::size_t, std::size_t to, const auto&) { return to >= 3 - c.silent; };
  auto rx = net.commit(0, "k", handle, pages({{"a", "2"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got);
  if (c.failure.empty()) {
    EXPECT_TRUE(got->has_value());
    EXPECT_EQ(net.at(0).written->confirmed.load(), 1u);
  } else {
    ASSERT_FALSE(got->has_value());
    EXPECT_EQ(got->error(), (Failure{Failure::Kind::Unavailable, c.failure}));
    EXPECT_EQ(net.at(0).written->failed.load(), 1u);
    ASSERT_EQ(net.events[0].size(), 1u);
    EXPECT_EQ(failure_text(net.events[0][0]), c.failure);
    EXPECT_TRUE(std::get<events::WriteFailed>(net.events[0][0].variant).write);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, WriteLevels,
    ::testing::Values(LevelCase{Level::One, 2, ""}, LevelCase{Level::Majority, 1, ""},
                      LevelCase{Level::Majority, 2, "t/k: the replicas did not confirm in time"},
                      LevelCase{Level::All, 0, ""}, LevelCase{Level::All, 1, "t/k: the replicas did not confirm in time"}));

TEST(ReplicationService, LostAcceptsAreSentAgainUntilTheWriteIsConfirmed) {
  Network net(3);
  net.around.level = Level::All;
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  int dropped = 0;
  net.drop = [&](std::size_t, std::size_t to, const auto& m) {
    const auto* r = std::get_if<core::replication::messages::Request>(&m.variant);
    return r && to == 2 && std::holds_alternative<core::replication::messages::Accept>(r->variant) && dropped++ < 3;
  };
  auto rx = net.commit(0, "k", handle, pages({{"a", "2"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->has_value());
  EXPECT_EQ(dropped, 4);
}

TEST(ReplicationService, ActivationShortOfItsReadQuorumFailsAtTheCheck) {
  Network net(3);
  net.drop = [](std::size_t, std::size_t to, const auto&) { return to != 0; };
  const auto start = net.now;
  auto rx = net.activate(0, "k", pages({{"a", "1"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got);
  ASSERT_FALSE(got->has_value());
  EXPECT_EQ(got->error(), (Failure{Failure::Kind::Unavailable, "t/k: too few replicas answered"}));
  EXPECT_EQ(net.now - start, 200ms);
  ASSERT_EQ(net.events[0].size(), 1u);
  EXPECT_FALSE(std::get<events::WriteFailed>(net.events[0][0].variant).write);
  EXPECT_EQ(net.at(0).written->failed.load(), 0u);
}

TEST(ReplicationService, HandlesFenceOlderActivationsAndFinalWritesDropTheOwner) {
  Network net(3);
  auto first = net.activate(0, "k", pages({{"a", "1"}}));
  auto second = net.activate(0, "k", pages({{"a", "1"}}));
  // The activation put aside hears that its key moved, not that the node stopped.
  auto moved = first.take();
  ASSERT_TRUE(moved && !moved->has_value());
  EXPECT_EQ(moved->error(), (Failure{Failure::Kind::Unavailable,
                                     "t/k moved: a later activation of the key on this node took over its state"}));
  auto got = net.settle(second);
  ASSERT_TRUE(got && got->has_value() && **got);
  const auto handle = (**got)->generation;
  EXPECT_EQ(handle, 2u);

  auto stale = net.commit(0, "k", 1, pages({{"a", "2"}}));
  auto refused = stale.take();
  ASSERT_TRUE(refused && !refused->has_value());
  EXPECT_EQ(refused->error(),
            (Failure{Failure::Kind::Fenced, "t/k was taken over by a later activation on this node"}));

  net.at(0).forget("t", "k", 1);
  EXPECT_NE(net.at(0).owner_of("t", "k"), nullptr);

  auto last = net.commit(0, "k", handle, pages({{"a", "3"}}), false);
  auto done = net.settle(last);
  ASSERT_TRUE(done && done->has_value());
  EXPECT_EQ(net.at(0).owner_of("t", "k"), nullptr);
  auto after = net.commit(0, "k", handle, pages({{"a", "4"}}));
  auto gone = after.take();
  ASSERT_TRUE(gone && !gone->has_value());
  EXPECT_EQ(gone->error(), (Failure{Failure::Kind::Unavailable, "t/k is not held by this node"}));
  EXPECT_EQ(net.at(0).written->failed.load(), 2u);
  EXPECT_EQ(net.at(0).written->confirmed.load(), 1u);
}

TEST(ReplicationService, AWriteReplacedByALaterOneOfTheSameActivationFailsWithItsReason) {
  Network net(3);
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  auto first = net.commit(0, "k", handle, pages({{"a", "2"}}));
  auto second = net.commit(0, "k", handle, pages({{"a", "3"}}));
  auto replaced = first.take();
  ASSERT_TRUE(replaced && !replaced->has_value());
  EXPECT_EQ(replaced->error(),
            (Failure{Failure::Kind::Unavailable, "t/k: a later write of the key took this one's place before it was confirmed"}));
  auto done = net.settle(second);
  ASSERT_TRUE(done && done->has_value());
}

TEST(ReplicationService, FinalWriteThatTimesOutDropsTheOwner) {
  Network net(3);
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  net.drop = [](std::size_t, std::size_t, const auto&) { return true; };
  auto rx = net.commit(0, "k", handle, pages({{"a", "2"}}), false);
  auto got = net.settle(rx);
  ASSERT_TRUE(got && !got->has_value());
  EXPECT_EQ(got->error().text, "t/k: the replicas did not confirm in time");
  EXPECT_EQ(net.at(0).owner_of("t", "k"), nullptr);
}

TEST(ReplicationService, WriteFencedByAnotherOwnerFails) {
  Network net(3);
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  activated(net, 1, "k", std::nullopt);
  auto rx = net.commit(0, "k", handle, pages({{"a", "2"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got && !got->has_value());
  EXPECT_EQ(got->error(), (Failure{Failure::Kind::Fenced, "t/k moved to another owner"}));
}

TEST(ReplicationService, ChangedReplicasMakeTheOwnerPrepareBeforeWriting) {
  Network net(3);
  net.around.replicas = {net.ids[0], net.ids[1]};
  net.around.wanted = 2;
  const auto handle = activated(net, 0, "k", pages({{"a", "1"}}));
  EXPECT_EQ(net.at(2).replica.entry("t", "k"), nullptr);
  net.around.replicas = net.ids;
  net.around.wanted = 3;
  auto rx = net.commit(0, "k", handle, pages({{"a", "2"}}));
  const auto* op = net.at(0).operation("t", "k");
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(op->check_at, net.now + 200ms);
  auto got = net.settle(rx);
  ASSERT_TRUE(got && got->has_value());
  net.run_for(20ms);
  const auto* entry = net.at(2).replica.entry("t", "k");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->pages.at("a"), text("2"));
  ASSERT_TRUE(entry->promised);
  EXPECT_EQ(entry->promised->round, 2u);
}

TEST(ReplicationService, TooLargeStatesAreRefused) {
  Network net(1);
  net.at(0) = Replication(net.ids[0], 20, kWriteTimeout, kBurialInterval);
  const std::string name(40, 'n');
  auto rx = net.activate(0, "k", core::Pages{{name, text("x")}});
  auto got = rx.take();
  ASSERT_TRUE(got && !got->has_value());
  EXPECT_EQ(got->error().kind, Failure::Kind::TooLarge);
  EXPECT_NE(got->error().text.find("t/k: the field"), std::string::npos);
}

TEST(ReplicationService, RequestsStampedByAnotherNodeAreForeign) {
  Network net(2);
  auto& node = net.at(1);
  using namespace core::replication;
  node.request(messages::Request{messages::Prepare{"t", "k", Epoch{1, net.ids[0]}}}, false);
  node.request(messages::Request{messages::Accept{"t", "k", Stamp{Epoch{1, net.ids[0]}, 1}, std::nullopt, 0, true,
                                                  pages({{"a", "1"}}), {}}},
               false);
  ASSERT_EQ(node.foreign.size(), 1u);
  EXPECT_EQ(node.foreign[0], (service::Name{"t", "k"}));
  ASSERT_EQ(node.outgoing.size(), 2u);
  EXPECT_EQ(node.outgoing[1].to, net.ids[0]);
  node.foreign.clear();
  node.request(messages::Request{messages::Prepare{"t", "j", Epoch{1, net.ids[1]}}}, false);
  node.request(messages::Request{messages::Accept{"t", "j", Stamp{Epoch{1, net.ids[1]}, 1}, std::nullopt, 0, true,
                                                  pages({{"a", "1"}}), {}}},
               false);
  EXPECT_TRUE(node.foreign.empty());
}

TEST(ReplicationService, ReceivingReplicasDelayTheActivationUntilItsDeadline) {
  Network net(1);
  auto& node = net.at(0);
  auto [tx, rx] = oneshot::channel<service::ActivateResult>();
  const auto start = net.now;
  node.activate("t", "k", std::nullopt, net.around, std::move(tx), net.now);
  // The only replica is still receiving the key: its promise counts as an answer, not toward the quorum.
  std::size_t prepares = 0;
  while (rx.status() == oneshot::Status::Waiting && net.now < start + 10s) {
    for (auto& out : std::exchange(node.outgoing, {})) {
      auto& request = std::get<core::replication::messages::Request>(out.message.variant);
      prepares += std::holds_alternative<core::replication::messages::Prepare>(request.variant);
      node.request(std::move(request), true);
    }
    for (auto& out : std::exchange(node.outgoing, {})) {
      node.answer(std::get<core::replication::messages::Reply>(out.message.variant), net.now);
    }
    const auto* op = node.operation("t", "k");
    if (op && op->retry_at) {
      EXPECT_LE(*op->retry_at, net.now + 50ms);
    }
    net.now += 1ms;
    if (auto due = node.due(); due && *due <= net.now) {
      for (const auto& name : node.fired(net.now)) node.again(name.actor, name.key, net.around, net.now);
    }
  }
  auto got = rx.take();
  ASSERT_TRUE(got && !got->has_value());
  EXPECT_EQ(got->error().text, "t/k: the replicas did not answer in time");
  EXPECT_EQ(net.now - start, 5s);
  EXPECT_GT(prepares, 50u);
  EXPECT_LT(prepares, 120u);
}

TEST(ReplicationService, DueIsTheEarliestDeadline) {
  Network net(3);
  EXPECT_EQ(net.at(0).due(), std::nullopt);
  auto rx = net.activate(0, "k", std::nullopt);
  EXPECT_EQ(net.at(0).due(), net.now + 200ms);
}

TEST(ReplicationService, RepliesForUnknownKeysAreDropped) {
  Network net(2);
  using namespace core::replication;
  net.at(0).answer(messages::Reply{messages::Accepted{"t", "zz", Stamp{Epoch{1, net.ids[0]}, 1}, net.ids[1], false}},
                   net.now);
  EXPECT_TRUE(net.at(0).outgoing.empty());
  EXPECT_TRUE(net.at(0).events.empty());
}

}  // namespace
}  // namespace vorel::node::replication
