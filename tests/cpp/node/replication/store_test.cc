// The durable-store bridge of the replication service.
#include <gtest/gtest.h>

#include "node/replication/network.hpp"

namespace vorel::node::replication {
namespace {

using namespace testing;
using core::replication::Durable;
using service::Failure;

// Activates "t/k" on node 0 with the store answering, and gives the handle.
std::uint64_t activated(Network& net) {
  auto rx = net.activate(0, "k", pages({{"a", "0"}}));
  auto got = net.settle(rx);
  EXPECT_TRUE(got && got->has_value() && **got);
  return got && got->has_value() && **got ? (**got)->generation : 0;
}

const core::Stored* saved(const service::Storing& s) {
  const auto* save = std::get_if<core::Storage::Save>(&s.operation.value);
  return save ? &save->record : nullptr;
}

TEST(ReplicationStore, ActivationLoadsFromTheStoreAndWinsWithANewerRecord) {
  Network net(3);
  net.around.durable = Durable::write();
  core::replication::Stamp version{core::replication::Epoch{7, core::NodeId{std::nullopt, net.ids[2].incarnation}}, 3};
  net.records[{"t", "k"}] = core::Stored{pages({{"a", "stored"}}), version};
  auto rx = net.activate(0, "k", pages({{"a", "initial"}}));
  auto got = net.settle(rx);
  ASSERT_TRUE(got && got->has_value() && **got);
  EXPECT_EQ((**got)->pages, pages({{"a", "stored"}}));
  ASSERT_GE(net.asked.size(), 1u);
  EXPECT_EQ(net.asked[0].second.request, 1u);
  EXPECT_TRUE(std::holds_alternative<core::Storage::Load>(net.asked[0].second.operation.value));
  EXPECT_LE(net.asked[0].second.timeout, kWriteTimeout);
}

TEST(ReplicationStore, WriteThroughAnswersOnlyOnceTheStoreKeptTheState) {
  Network net(3);
  net.around.durable = Durable::write();
  const auto handle = activated(net);
  net.hold = true;
  net.held.clear();

  auto ok = net.commit(0, "k", handle, pages({{"a", "1"}}));
  net.run_until([&] { return !net.held.empty(); });
  ASSERT_EQ(net.held.size(), 1u);
  ASSERT_NE(saved(net.held[0].second), nullptr);
  EXPECT_EQ(saved(net.held[0].second)->state, pages({{"a", "1"}}));
  net.run_for(100ms);
  EXPECT_EQ(ok.status(), oneshot::Status::Waiting);
  EXPECT_EQ(net.at(0).written->confirmed.load(), 0u);
  net.answer_store(0, std::optional<core::Stored>{});
  auto done = ok.take();
  ASSERT_TRUE(done && done->has_value());
  EXPECT_EQ(net.at(0).written->confirmed.load(), 1u);

  auto bad = net.commit(0, "k", handle, pages({{"a", "2"}}));
  net.run_until([&] { return !net.held.empty(); });
  net.answer_store(0, std::unexpected(std::string("disk full")));
  auto failed = bad.take();
  ASSERT_TRUE(failed && !failed->has_value());
  EXPECT_EQ(failed->error(),
            (Failure{Failure::Kind::Unavailable,
                     "t/k: the replicas confirmed the write and the store did not keep it: disk full"}));
  EXPECT_EQ(net.at(0).written->failed.load(), 1u);
}

struct StoreFailureCase {
  bool activation;
  std::string text;
  bool write;
};

class StoreFailures : public ::testing::TestWithParam<StoreFailureCase> {};

TEST_P(StoreFailures, AreReportedToTheWaiter) {
  const auto& c = GetParam();
  Network net(3);
  net.around.durable = Durable::write();
  std::uint64_t handle = 0;
  if (!c.activation) handle = activated(net);
  net.hold = true;
  oneshot::Receiver<service::ActivateResult> activation;
  oneshot::Receiver<service::CommitResult> write;
  if (c.activation) {
    activation = net.activate(0, "k", pages({{"a", "1"}}));
  } else {
    write = net.commit(0, "k", handle, pages({{"a", "1"}}));
  }
  net.run_until([&] { return !net.held.empty(); });
  ASSERT_FALSE(net.held.empty());
  if (c.text.find("in time") == std::string::npos) {
    net.answer_store(0, std::unexpected(std::string("boom")));
  } else {
    net.run_for(6s);
  }
  std::optional<Failure> failure;
  if (c.activation) {
    auto got = activation.take();
    ASSERT_TRUE(got && !got->has_value());
    failure = got->error();
  } else {
    auto got = write.take();
    ASSERT_TRUE(got && !got->has_value());
    failure = got->error();
  }
  EXPECT_EQ(*failure, (Failure{Failure::Kind::Unavailable, c.text}));
  ASSERT_FALSE(net.events[0].empty());
  const auto& event = std::get<events::WriteFailed>(net.events[0].back().variant);
  EXPECT_EQ(event.failure.text, c.text);
  EXPECT_EQ(event.write, c.write);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreFailures,
    ::testing::Values(StoreFailureCase{true, "t/k: the store could not be read: boom", false},
                      StoreFailureCase{true, "t/k: the store did not answer in time", false},
                      StoreFailureCase{false, "t/k: the store did not answer in time", true}));

TEST(ReplicationStore, DelayedSavesCoalesceAndLastWritesGoAtOnce) {
  Network net(3);
  net.around.durable = Durable::after(core::Duration{5, 0});
  const auto handle = activated(net);
  net.asked.clear();
  const auto start = net.now;
  for (const char* v : {"1", "2", "3"}) {
    auto rx = net.commit(0, "k", handle, pages({{"a", v}}));
    auto got = net.settle(rx);
    ASSERT_TRUE(got && got->has_value());
    net.run_for(1s);
  }
  EXPECT_TRUE(net.asked.empty());
  net.run_until([&] { return !net.asked.empty(); });
  ASSERT_EQ(net.asked.size(), 1u);
  EXPECT_GE(net.now - start, 5s);
  EXPECT_LT(net.now - start, 5s + 100ms);
  ASSERT_NE(saved(net.asked[0].second), nullptr);
  EXPECT_EQ(saved(net.asked[0].second)->state, pages({{"a", "3"}}));
  net.run_for(2ms);
  EXPECT_EQ(net.records.at({"t", "k"}).state, pages({{"a", "3"}}));

  // A pending delayed save gives way to the last write, which is saved at once.
  net.asked.clear();
  auto rx = net.commit(0, "k", handle, pages({{"a", "4"}}));
  ASSERT_TRUE(net.settle(rx));
  EXPECT_TRUE(net.at(0).unsaved_of("t", "k"));
  auto last = net.commit(0, "k", handle, pages({{"a", "5"}}), false);
  ASSERT_TRUE(net.settle(last));
  ASSERT_EQ(net.asked.size(), 1u);
  EXPECT_EQ(saved(net.asked[0].second)->state, pages({{"a", "5"}}));
  EXPECT_FALSE(net.at(0).unsaved_of("t", "k"));
}

TEST(ReplicationStore, DelayedDeletionIsSavedAtOnce) {
  Network net(3);
  net.around.durable = Durable::after(core::Duration{5, 0});
  const auto handle = activated(net);
  net.asked.clear();
  auto rx = net.delete_(0, "k", handle);
  ASSERT_TRUE(net.settle(rx));
  ASSERT_EQ(net.asked.size(), 1u);
  ASSERT_NE(saved(net.asked[0].second), nullptr);
  EXPECT_FALSE(saved(net.asked[0].second)->state.has_value());
}

TEST(ReplicationStore, ReleasedKeysDropTheirPendingSave) {
  Network net(3);
  net.around.durable = Durable::after(core::Duration{5, 0});
  const auto handle = activated(net);
  net.asked.clear();
  auto rx = net.commit(0, "k", handle, pages({{"a", "1"}}));
  ASSERT_TRUE(net.settle(rx));
  net.at(0).forget("t", "k", handle);
  net.run_for(6s);
  EXPECT_TRUE(net.asked.empty());
}

TEST(ReplicationStore, FailedDelayedSaveKeepsANewerWaitingState) {
  Network net(3);
  net.around.durable = Durable::after(core::Duration{5, 0});
  const auto handle = activated(net);
  net.hold = true;
  net.held.clear();
  auto rx = net.commit(0, "k", handle, pages({{"a", "1"}}));
  ASSERT_TRUE(net.settle(rx));
  net.run_until([&] { return !net.held.empty(); });
  ASSERT_EQ(net.held.size(), 1u);
  auto newer = net.commit(0, "k", handle, pages({{"a", "2"}}));
  ASSERT_TRUE(net.settle(newer));
  net.answer_store(0, std::unexpected(std::string("busy")));
  ASSERT_FALSE(net.events[0].empty());
  EXPECT_EQ(failure_text(net.events[0].back()), "t/k: the store did not keep a confirmed write: busy");
  EXPECT_EQ(net.at(0).written->failed.load(), 0u);
  net.run_until([&] { return !net.held.empty(); });
  ASSERT_EQ(net.held.size(), 1u);
  EXPECT_EQ(saved(net.held[0].second)->state, pages({{"a", "2"}}));

  // Nothing newer waits: the failed state is saved again one period later.
  const auto failed_at = net.now;
  net.answer_store(0, std::unexpected(std::string("busy")));
  net.run_until([&] { return !net.held.empty(); });
  ASSERT_EQ(net.held.size(), 1u);
  EXPECT_EQ(saved(net.held[0].second)->state, pages({{"a", "2"}}));
  EXPECT_GE(net.now - failed_at, 5s);
}

TEST(ReplicationStore, AnswersForUnknownRequestsAreDropped) {
  Network net(3);
  net.at(0).stored(99, std::unexpected(std::string("x")), net.now);
  EXPECT_TRUE(net.at(0).events.empty());
}

}  // namespace
}  // namespace vorel::node::replication
