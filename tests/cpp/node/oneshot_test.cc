#include "node/oneshot.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "exec/waiting.hpp"

namespace vorel::node::oneshot {
namespace {

TEST(Oneshot, CarriesOneValue) {
  auto [tx, rx] = channel<int>();
  EXPECT_EQ(rx.status(), Status::Waiting);
  tx.send(7);
  tx.send(8);
  EXPECT_EQ(rx.status(), Status::Ready);
  EXPECT_EQ(rx.take(), 7);
  EXPECT_EQ(rx.take(), std::nullopt);
  EXPECT_EQ(rx.status(), Status::Closed);
}

TEST(Oneshot, DroppedOrReplacedSenderClosesTheChannel) {
  auto [tx, rx] = channel<int>();
  { auto gone = std::move(tx); }
  EXPECT_EQ(rx.status(), Status::Closed);

  auto [a, ra] = channel<int>();
  auto [b, rb] = channel<int>();
  a = std::move(b);
  EXPECT_EQ(ra.status(), Status::Closed);
  a.send(1);
  EXPECT_EQ(rb.take(), 1);
}

// How a sender ends after its receiver is gone: the sender holds the last handle on the channel
// then, and must not touch the channel's lock after letting go of it.
enum class Ending { Sent, Dropped, Replaced };

class ReceiverWentFirst : public ::testing::TestWithParam<Ending> {
 protected:
  static void end(Sender<int>& tx, Ending how) {
    switch (how) {
      case Ending::Sent:
        tx.send(3);
        break;
      case Ending::Dropped: {
        auto gone = std::move(tx);
        break;
      }
      case Ending::Replaced: {
        auto [other, kept] = channel<int>();
        tx = std::move(other);
        tx.send(4);
        EXPECT_EQ(kept.take(), 4);
        break;
      }
    }
  }
};

TEST_P(ReceiverWentFirst, OnOneThread) {
  auto [tx, rx] = channel<int>();
  { auto gone = std::move(rx); }
  end(tx, GetParam());
}

// The receiver and the sender go on two threads at once, so that either may hold the last handle.
TEST_P(ReceiverWentFirst, OnTwoThreadsAtOnce) {
  for (int i = 0; i < 200; ++i) {
    auto [tx, rx] = channel<int>();
    std::atomic<bool> go{false};
    std::thread other([&go, rx = std::move(rx)]() mutable {
      while (!go.load(std::memory_order_acquire)) {
      }
      auto gone = std::move(rx);
    });
    go.store(true, std::memory_order_release);
    end(tx, GetParam());
    other.join();
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, ReceiverWentFirst,
                         ::testing::Values(Ending::Sent, Ending::Dropped, Ending::Replaced),
                         [](const auto& info) {
                           switch (info.param) {
                             case Ending::Sent: return "Sent";
                             case Ending::Dropped: return "Dropped";
                             case Ending::Replaced: return "Replaced";
                           }
                           return "";
                         });

TEST(Oneshot, AWaitEndsOnTheValueTheCloseOrTheTime) {
  auto threads = *exec::Threads::start(2);
  auto [tx, rx] = channel<int>();
  std::thread sender([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tx.send(5);
  });
  EXPECT_EQ(exec::testing::wait(*threads, rx.receive()), 5);
  sender.join();

  auto [gone, gone_rx] = channel<int>();
  std::thread dropper([gone = std::move(gone)]() mutable { auto dropped = std::move(gone); });
  EXPECT_EQ(exec::testing::wait(*threads, gone_rx.receive()), std::nullopt);
  dropper.join();

  auto [slow, slow_rx] = channel<int>();
  auto late = exec::testing::wait(*threads, slow_rx.receive_until(std::chrono::steady_clock::now() +
                                                                  std::chrono::milliseconds(20)));
  EXPECT_TRUE(late.late);
  EXPECT_FALSE(late.value);
  slow.send(1);
  EXPECT_EQ(slow_rx.take(), 1);
}

}  // namespace
}  // namespace vorel::node::oneshot
