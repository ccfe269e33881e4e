#include "node/oneshot.hpp"

#include <gtest/gtest.h>

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

TEST(Oneshot, SendingWithoutAReceiverIsNoError) {
  auto [tx, rx] = channel<int>();
  { auto gone = std::move(rx); }
  tx.send(3);
}

}  // namespace
}  // namespace vorel::node::oneshot
