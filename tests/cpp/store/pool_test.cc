#include "store/pool.hpp"

#include <gtest/gtest.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "exec/waiting.hpp"
#include "store/sql.hpp"
#include "store/fake.hpp"

namespace vorel::store {
namespace {

using exec::testing::kBound;
using exec::testing::settled;
using exec::testing::wait;
using testing::Fake;
using testing::FakeDriver;

using namespace std::chrono_literals;

// A job whose outcome the test awaits: the error text, or "ran" when it got a connection.
struct Awaited {
  std::shared_ptr<std::promise<std::string>> promise = std::make_shared<std::promise<std::string>>();
  std::future<std::string> future = promise->get_future();

  Pool::Job job(bool wanted = true) {
    return {[p = promise](Result<Connection*> c) {
              if (!c) return p->set_value(c.error().text);
              auto r = (*c)->run("statement", {}, 0);
              p->set_value(r ? "ran" : r.error().text);
            },
            [wanted] { return wanted; }};
  }
  std::string get() {
    return future.wait_for(kBound) == std::future_status::ready ? future.get() : "no outcome in time";
  }
  bool ready() { return future.wait_for(0s) == std::future_status::ready; }
};

TEST(Pool, CallsRunSideBySideUpToThePoolsSize) {
  auto fake = std::make_shared<Fake>();
  Pool pool(std::make_shared<FakeDriver>(fake));
  fake->hold();
  std::vector<Awaited> calls(15);
  for (auto& c : calls) pool.submit(c.job());
  // Ten statements are under way at once, none of them waiting for another to end.
  ASSERT_TRUE(fake->wait_running(10));
  EXPECT_EQ(pool.size(), 10u);
  fake->release();
  for (auto& c : calls) EXPECT_EQ(c.get(), "ran");
  EXPECT_EQ(fake->most, 10);
  EXPECT_EQ(fake->opened, 10);
}

TEST(Pool, AWaitForAConnectionEndsAtTheAcquireLimit) {
  auto fake = std::make_shared<Fake>();
  Pool pool(std::make_shared<FakeDriver>(fake), PoolSettings{.most = 1, .acquire = 50ms});
  fake->hold();
  Awaited first, second;
  pool.submit(first.job());
  ASSERT_TRUE(fake->wait_running(1));
  pool.submit(second.job());
  EXPECT_EQ(second.get(), Error::timed_out().text);
  fake->release();
  EXPECT_EQ(first.get(), "ran");
}

TEST(Pool, CloseFailsTheWaitingAndWaitsForTheConnectionsInUse) {
  auto fake = std::make_shared<Fake>();
  Pool pool(std::make_shared<FakeDriver>(fake), PoolSettings{.most = 1});
  fake->hold();
  Awaited first, second, later;
  pool.submit(first.job());
  ASSERT_TRUE(fake->wait_running(1));
  pool.submit(second.job());
  auto closed = std::make_shared<std::promise<void>>();
  pool.close([closed] { closed->set_value(); });
  EXPECT_EQ(second.get(), Error::closed().text);
  auto done = closed->get_future();
  EXPECT_EQ(done.wait_for(50ms), std::future_status::timeout);
  EXPECT_FALSE(first.ready());
  fake->release();
  EXPECT_EQ(first.get(), "ran");
  settled(done);
  EXPECT_EQ(pool.size(), 0u);
  pool.submit(later.job());
  EXPECT_EQ(later.get(), Error::closed().text);
}

// A job handed to an idle connection just before the close runs on it or hears of the close;
// it is never dropped as if its caller had given up.
TEST(Pool, AJobHandedOutJustBeforeTheCloseIsNotDropped) {
  for (int round = 0; round < 200; ++round) {
    auto fake = std::make_shared<Fake>();
    Pool pool(std::make_shared<FakeDriver>(fake), PoolSettings{.most = 4});
    std::vector<Awaited> warm(4);
    for (auto& w : warm) pool.submit(w.job());
    for (auto& w : warm) ASSERT_EQ(w.get(), "ran");
    std::vector<Awaited> raced(4);
    for (auto& r : raced) pool.submit(r.job());
    auto closed = std::make_shared<std::promise<void>>();
    pool.close([closed] { closed->set_value(); });
    for (auto& r : raced) {
      auto outcome = r.get();
      EXPECT_TRUE(outcome == "ran" || outcome == Error::closed().text) << "round " << round << ": " << outcome;
    }
    auto done = closed->get_future();
    settled(done);
  }
}

TEST(Pool, WorkNobodyWaitsForIsNotRun) {
  auto fake = std::make_shared<Fake>();
  Pool pool(std::make_shared<FakeDriver>(fake), PoolSettings{.most = 1});
  fake->hold();
  Awaited first, unwanted;
  pool.submit(first.job());
  ASSERT_TRUE(fake->wait_running(1));
  pool.submit(unwanted.job(false));
  fake->release();
  EXPECT_EQ(first.get(), "ran");
  EXPECT_EQ(unwanted.get(), Error::dropped().text);
}

TEST(Pool, AConnectionThatCannotBeUsedIsReplacedBeforeItIsHandedOut) {
  auto fake = std::make_shared<Fake>();
  Pool pool(std::make_shared<FakeDriver>(fake), PoolSettings{.most = 1});
  Awaited first, second;
  pool.submit(first.job());
  EXPECT_EQ(first.get(), "ran");
  {
    std::lock_guard l(fake->m);
    fake->usable = false;
  }
  pool.submit(second.job());
  EXPECT_EQ(second.get(), "ran");
  EXPECT_EQ(fake->opened, 2);
}

class Over : public ::testing::Test {
 protected:
  Result<std::shared_ptr<Sql>> over() {
    return wait(*threads_, Sql::over(std::make_shared<Pool>(std::make_shared<FakeDriver>(fake_))));
  }
  std::shared_ptr<exec::Threads> threads_ = *exec::Threads::start(1);
  std::shared_ptr<Fake> fake_ = std::make_shared<Fake>();
};

TEST_F(Over, ABackendTheStoreDoesNotKnowIsAConfigurationError) {
  fake_->backend = "Oracle";
  auto sql = over();
  ASSERT_FALSE(sql);
  EXPECT_EQ(sql.error().kind, Error::Kind::Configuration);
  EXPECT_EQ(sql.error().text, "error with configuration: Oracle is not a database vorel keeps records in");
}

TEST_F(Over, ARefusedTableIsFineWhenTheTableCanBeRead) {
  for (bool readable : {true, false}) {
    SCOPED_TRACE(readable);
    fake_->answer = [readable](const std::string& sql, std::span<const Param>) -> Result<Outcome> {
      if (sql.starts_with("CREATE")) return std::unexpected(Error::database("no right to create", false));
      if (sql == kProbe && !readable) return std::unexpected(Error::database("no such table", false));
      return Outcome{};
    };
    auto sql = over();
    if (readable) {
      EXPECT_TRUE(sql);
    } else {
      ASSERT_FALSE(sql);
      EXPECT_EQ(sql.error().text, Error::database("no right to create", false).text);
    }
  }
}

TEST_F(Over, AWalPragmaThatFailsIsIgnored) {
  fake_->answer = [](const std::string& sql, std::span<const Param>) -> Result<Outcome> {
    if (sql == kWal) return std::unexpected(Error::database("not here", false));
    return Outcome{};
  };
  EXPECT_TRUE(over());
}

// What a deadline needs of the store: an operation given up when the time is over, whatever its
// statement is doing, while the statement itself still runs to its end.
TEST_F(Over, AnOperationRacedAgainstATimerEndsWhenTheTimerDoes) {
  auto sql = over();
  ASSERT_TRUE(sql);
  fake_->hold();
  auto raced = wait(*threads_, [](std::shared_ptr<Sql> sql) -> asio::awaitable<std::size_t> {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, 50ms);
    auto load = sql->load("a", "k");
    auto deadline = timer.async_wait(asio::use_awaitable);
    auto outcome = co_await (std::move(load) || std::move(deadline));
    co_return outcome.index();
  }(*sql));
  EXPECT_EQ(raced, 1u);
  fake_->release();
  auto after = wait(*threads_, (*sql)->load("a", "k"));
  EXPECT_TRUE(after) << after.error().text;
}

}  // namespace
}  // namespace vorel::store
