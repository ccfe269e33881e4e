#include "exec/threads.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "exec/threads_asio.hpp"

namespace vorel::exec {
namespace {

using namespace std::chrono_literals;

// Every wait of these tests is bounded: a hang fails the test instead of the run.
constexpr auto kBound = 20s;

std::shared_ptr<Threads> started(std::size_t count) {
  auto threads = Threads::start(count);
  if (!threads) ADD_FAILURE() << threads.error();
  return *threads;
}

// Polls a condition that other threads make true, until it holds or the bound passes.
template <class F>
bool eventually(F f) {
  const auto until = std::chrono::steady_clock::now() + kBound;
  while (std::chrono::steady_clock::now() < until) {
    if (f()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return f();
}

template <class T>
bool ready(std::future<T>& future) {
  return future.wait_for(kBound) == std::future_status::ready;
}

// A barrier that tasks wait on until the test opens it; a test that fails before opening it
// lets its tasks go after the bound.
struct Barrier {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void wait() {
    std::unique_lock l(m);
    EXPECT_TRUE(cv.wait_for(l, kBound, [&] { return open; }));
  }
  void release() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
};

TEST(Threads, StartsTheCountAskedForOrOnePerCore) {
  EXPECT_EQ(started(3)->workers(), 3u);
  auto any = Threads::start();
  ASSERT_TRUE(any);
  EXPECT_EQ((*any)->workers(), std::max(1u, std::thread::hardware_concurrency()));
}

TEST(Threads, TheTaskCountRisesWhileTasksRunAndFallsWhenTheyEnd) {
  auto threads = started(2);
  EXPECT_EQ(threads->tasks(), 0u);
  Barrier barrier;
  std::vector<Task> tasks;
  for (int i = 0; i < 2; ++i) tasks.push_back(threads->spawn([&] { barrier.wait(); }));
  EXPECT_EQ(threads->tasks(), 2u);
  EXPECT_FALSE(tasks[0].finished());
  barrier.release();
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0; }));
  EXPECT_TRUE(tasks[0].finished() && tasks[1].finished());
}

TEST(Threads, ACoroutineCountsUntilItEnds) {
  auto threads = started(1);
  auto timer = std::make_shared<asio::steady_timer>(context(*threads), 50ms);
  std::promise<void> ended;
  auto task = spawn(*threads, [](std::shared_ptr<asio::steady_timer> t, std::promise<void>& done) -> asio::awaitable<void> {
    co_await t->async_wait(asio::use_awaitable);
    done.set_value();
  }(timer, ended));
  EXPECT_EQ(threads->tasks(), 1u);
  auto end = ended.get_future();
  ASSERT_TRUE(ready(end));
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0 && task.finished(); }));
}

TEST(Threads, AnAbortedTaskThatHasNotStartedNeverRuns) {
  auto threads = started(1);
  Barrier barrier;
  threads->spawn([&] { barrier.wait(); });
  std::atomic<bool> ran{false};
  auto task = threads->spawn([&] { ran = true; });
  task.abort();
  barrier.release();
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(task.finished());
}

TEST(Threads, AbortingACoroutineEndsItAtTheWaitItIsIn) {
  auto threads = started(2);
  auto timer = std::make_shared<asio::steady_timer>(context(*threads), std::chrono::hours(1));
  std::atomic<bool> after{false};
  std::promise<void> waiting;
  auto task = spawn(*threads, [](std::shared_ptr<asio::steady_timer> t, std::atomic<bool>& after,
                                 std::promise<void>& waiting) -> asio::awaitable<void> {
    waiting.set_value();
    co_await t->async_wait(asio::use_awaitable);
    after = true;
  }(timer, after, waiting));
  // The abort is posted to the coroutine's strand, so it lands after the step that began the
  // wait, which runs on that strand.
  auto started = waiting.get_future();
  ASSERT_TRUE(ready(started));
  task.abort();
  EXPECT_TRUE(eventually([&] { return task.finished(); }));
  EXPECT_FALSE(after);
  EXPECT_EQ(threads->tasks(), 0u);
}

TEST(Threads, ManyThreadsSpawnAtOnce) {
  auto threads = started(4);
  std::atomic<int> ran{0};
  std::vector<std::thread> spawners;
  for (int s = 0; s < 8; ++s) {
    spawners.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        if (i % 2) {
          threads->spawn([&] { ran.fetch_add(1); });
        } else {
          spawn(*threads, [](std::atomic<int>& r) -> asio::awaitable<void> {
            r.fetch_add(1);
            co_return;
          }(ran));
        }
      }
    });
  }
  for (auto& t : spawners) t.join();
  EXPECT_TRUE(eventually([&] { return ran == 8000 && threads->tasks() == 0; }));
}

// An exception out of a task or a coroutine is a fault of this program: the process ends with a
// text that says so, instead of the failure vanishing with the worker's next task.
enum class Kind { Task, Coroutine };

class ThreadsDeathTest : public ::testing::TestWithParam<Kind> {};

TEST_P(ThreadsDeathTest, AnExceptionOutOfATaskEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Kind kind = GetParam();
  EXPECT_DEATH(
      {
        auto threads = started(1);
        if (kind == Kind::Task) {
          threads->spawn([] { throw std::runtime_error("boom"); });
        } else {
          spawn(*threads, []() -> asio::awaitable<void> {
            throw std::runtime_error("boom");
            co_return;
          }());
        }
        // The death comes from the worker; this only bounds the wait for it.
        std::promise<void> never;
        never.get_future().wait_for(kBound);
      },
      "a task on the worker threads ended by an exception: boom");
}

INSTANTIATE_TEST_SUITE_P(Kinds, ThreadsDeathTest, ::testing::Values(Kind::Task, Kind::Coroutine),
                         [](const auto& info) { return info.param == Kind::Task ? "Task" : "Coroutine"; });

// Ending a worker thread unwinds it with an exception no one may swallow: it passes through
// the task and the worker's loop, and the other workers go on serving.
TEST(Threads, AThreadExitFromATaskEndsOnlyItsWorker) {
  auto threads = started(2);
  threads->spawn([] { pthread_exit(nullptr); });
  std::promise<void> ran;
  threads->spawn([&] { ran.set_value(); });
  auto later = ran.get_future();
  ASSERT_TRUE(ready(later));
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0; }));
}

// A task that is still queued when the pool goes is dropped unrun, and lets go of what it holds.
struct Probe {
  std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
  Probe() = default;
  Probe(Probe&& o) noexcept : gone(std::move(o.gone)) {}
  ~Probe() {
    if (gone) *gone = true;
  }
};

TEST(Threads, TheLastHolderOnAForeignThreadStopsThePoolAndDropsWhatIsQueued) {
  auto threads = started(1);
  Barrier barrier;
  std::atomic<bool> blocked{false};
  threads->spawn([&] {
    blocked = true;
    barrier.wait();
  });
  Probe probe;
  auto gone = probe.gone;
  std::atomic<bool> ran{false};
  threads->spawn([&ran, p = std::move(probe)] { ran = true; });
  ASSERT_TRUE(eventually([&] { return blocked.load(); }));
  // The blocked task returns once the pool has stopped, and the context stays until it has.
  asio::io_context& io = context(*threads);
  std::thread releaser([&] {
    EXPECT_TRUE(eventually([&] { return io.stopped(); }));
    barrier.release();
  });
  threads.reset();  // joins the worker once the task in hand returns
  releaser.join();
  EXPECT_TRUE(*gone);
  EXPECT_FALSE(ran);
}

TEST(Threads, TheLastHolderOnAWorkerLetsThePoolGoWithoutJoiningItself) {
  auto threads = started(2);
  std::weak_ptr<Threads> weak = threads;
  Probe probe;
  auto gone = probe.gone;
  std::promise<bool> inside;
  // The task holds the last handle and drops it on the worker that runs it.
  threads->spawn([held = threads, &inside, p = std::move(probe)]() mutable {
    inside.set_value(held->inside());
    held.reset();
  });
  threads.reset();
  auto was_inside = inside.get_future();
  ASSERT_TRUE(ready(was_inside));
  EXPECT_TRUE(was_inside.get());
  EXPECT_TRUE(eventually([&] { return weak.expired() && *gone; }));
}

TEST(Threads, WorkBesideResumesTheCoroutineWithItsValue) {
  auto threads = started(1);
  std::promise<int> got;
  std::thread* helper = nullptr;
  spawn(*threads, [](std::promise<int>& got, std::thread*& helper) -> asio::awaitable<void> {
    int v = co_await beside<int>([&](Done<int> done) {
      helper = new std::thread([d = std::move(done)]() mutable { d(42); });
    }, +[] { return -1; });
    got.set_value(v);
  }(got, helper));
  auto value = got.get_future();
  ASSERT_TRUE(ready(value));
  EXPECT_EQ(value.get(), 42);
  helper->join();
  delete helper;
}

TEST(Threads, WorkBesideDroppedUnrunGivesTheDroppedValue) {
  auto threads = started(1);
  std::promise<int> got;
  spawn(*threads, [](std::promise<int>& got) -> asio::awaitable<void> {
    int v = co_await beside<int>([](Done<int> done) { (void)done; }, +[] { return -1; });
    got.set_value(v);
  }(got));
  auto value = got.get_future();
  ASSERT_TRUE(ready(value));
  EXPECT_EQ(value.get(), -1);
}

TEST(Threads, AbortingACoroutineThatWaitsOnWorkBesideEndsItAtOnce) {
  auto threads = started(1);
  Barrier barrier;
  std::optional<Done<int>> parked;
  std::mutex m;
  std::atomic<bool> after{false};
  auto task = spawn(*threads, [](std::optional<Done<int>>& parked, std::mutex& m, std::atomic<bool>& after) -> asio::awaitable<void> {
    co_await beside<int>([&](Done<int> done) {
      std::lock_guard l(m);
      parked.emplace(std::move(done));
    }, +[] { return -1; });
    after = true;
  }(parked, m, after));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard l(m);
    return parked.has_value();
  }));
  EXPECT_TRUE(parked->wanted());
  task.abort();
  EXPECT_TRUE(eventually([&] { return task.finished(); }));
  EXPECT_FALSE(parked->wanted());
  (*parked)(7);  // the late value is dropped
  EXPECT_FALSE(after);
}

}  // namespace
}  // namespace vorel::exec
