#include "exec/gate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace vorel::exec {
namespace {

TEST(Gate, ClosingAGateWithNothingInsideAnswersAtOnceAndRefusesWhatComesAfter) {
  Gate gate;
  EXPECT_FALSE(gate.is_closed());
  int closed = 0;
  EXPECT_TRUE(gate.close([&] { ++closed; }));
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(gate.is_closed());
  EXPECT_FALSE(gate.enter());
  EXPECT_EQ(gate.count(), 0u);
}

TEST(Gate, ClosingWaitsForThePassesOutAndTheLastOneAnswersOnItsThread) {
  Gate gate;
  auto first = gate.enter();
  auto second = gate.enter();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(gate.count(), 2u);
  std::atomic<int> closed{0};
  std::thread::id where;
  EXPECT_FALSE(gate.close([&] {
    where = std::this_thread::get_id();
    ++closed;
  }));
  EXPECT_FALSE(gate.enter());
  first->leave();
  first->leave();  // a pass leaves once
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(gate.count(), 1u);
  std::thread last([pass = std::move(*second)]() mutable { pass.leave(); });
  const auto id = last.get_id();
  last.join();
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(where, id);
  EXPECT_EQ(gate.count(), 0u);
}

TEST(Gate, EveryCloseIsAnsweredOnce) {
  Gate gate;
  auto pass = gate.enter();
  int a = 0, b = 0, c = 0;
  gate.close([&] { ++a; });
  gate.close([&] { ++b; });
  gate.close();
  pass.reset();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  EXPECT_TRUE(gate.close([&] { ++c; }));
  EXPECT_EQ(c, 1);
  EXPECT_EQ(a, 1);
}

TEST(Gate, APassMayOutliveItsGate) {
  std::optional<Gate::Pass> pass;
  {
    Gate gate;
    pass = gate.enter();
    ASSERT_TRUE(pass);
  }
  pass.reset();
}

// Work enters and leaves on several threads while another closes: the close is answered once,
// when nothing is inside, and nothing enters after it.
TEST(Gate, ACloseRacingWithWorkIsAnsweredOnceWhenTheLastPassIsBack) {
  for (int round = 0; round < 50; ++round) {
    Gate gate;
    std::atomic<int> inside{0}, answered{0}, inside_at_answer{-1}, after_close{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
      workers.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          const bool closed_before = gate.is_closed();
          auto pass = gate.enter();
          if (!pass) break;
          if (closed_before) ++after_close;
          ++inside;
          --inside;
        }
      });
    }
    gate.close([&] {
      inside_at_answer = inside.load();
      ++answered;
    });
    for (auto& t : workers) t.join();
    EXPECT_EQ(answered, 1) << "round " << round;
    EXPECT_EQ(inside_at_answer, 0) << "round " << round;
    EXPECT_EQ(after_close, 0) << "round " << round;
    EXPECT_FALSE(gate.enter());
  }
}

}  // namespace
}  // namespace vorel::exec
