#include "store/carry.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>

#include "exec/waiting.hpp"
#include "node/reach.hpp"
#include "store/databases.hpp"
#include "store/fake.hpp"

namespace vorel::store {
namespace {

using exec::testing::wait;
using namespace std::chrono_literals;

core::replication::Stamp stamp(std::uint64_t round, std::uint64_t version, std::uint8_t incarnation = 7) {
  core::NodeId node;
  node.incarnation.fill(incarnation);
  return core::replication::Stamp{core::replication::Epoch{round, node}, version};
}

core::Storage load() { return core::Storage{core::Storage::Load{}}; }
core::Storage save(std::optional<core::Pages> pages, core::replication::Stamp version) {
  return core::Storage{core::Storage::Save{core::Stored{std::move(pages), version}}};
}
core::Storage drop(core::replication::Stamp version) { return core::Storage{core::Storage::Drop{version}}; }

// A node handle whose commands the test reads itself, and every answer one request got: the
// channel ends once the task has let go of its handle, so what it holds then is all it sent.
class Answers {
 public:
  Answers() {
    auto [asks, receiving] = node::Asks::make();
    auto [publish, reading] = node::watch::channel<std::vector<core::membership::Member>>({});
    receiving_ = std::move(receiving);
    node_.emplace(std::make_shared<node::Reach>(
        node::Reach{core::NodeId{},
                    std::make_shared<node::Door>(node::Door{std::move(asks), std::make_shared<node::Bell>()}),
                    std::move(reading), nullptr, std::make_shared<node::replication::service::Written>(), 0}));
  }

  node::Node take() {
    node::Node out = std::move(*node_);
    node_.reset();
    return out;
  }

  std::vector<node::Ask::Stored> all(exec::Threads& threads) {
    std::vector<node::Ask::Stored> out;
    while (auto ask = wait(threads, receiving_.recv())) {
      out.push_back(std::get<node::Ask::Stored>(std::move(ask->value)));
    }
    return out;
  }

 private:
  node::Asks::Receiver receiving_;
  std::optional<node::Node> node_;
};

// Carries one request on `threads` and gives back its one answer, failing when there is not
// exactly one.
StoreResult carried_once(exec::Threads& threads, std::shared_ptr<Sql> sql, std::string actor, std::string key,
                         core::Storage operation, core::Duration limit = core::Duration{30, 0}) {
  static std::uint64_t next = 0;
  const std::uint64_t id = ++next;
  Answers answers;
  {
    auto runtime = threads.shared_from_this();
    exec::spawn(threads, carry(Storing{id, std::move(actor), std::move(key), std::move(operation), limit},
                               std::move(sql), runtime, answers.take()));
  }
  auto got = answers.all(threads);
  EXPECT_EQ(got.size(), 1u);
  if (got.size() != 1) return std::unexpected(std::string("no single answer"));
  EXPECT_EQ(got.front().request, id);
  return std::move(got.front().result);
}

class Carried : public testing::OnDatabases {
 protected:
  void SetUp() override {
    OnDatabases::SetUp();
    if (!IsSkipped()) {
      ASSERT_TRUE(sql_);
    }
  }

  StoreResult run(const std::string& key, core::Storage operation) {
    return carried_once(*threads_, sql_, actor_, key, std::move(operation));
  }
};

TEST_P(Carried, AKeyWithoutARowLoadsNone) {
  auto got = run("never", load());
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(*got, std::nullopt);
}

TEST_P(Carried, ASavedRecordLoadsBackAsSaved) {
  const core::Pages pages{{"count", core::Bytes{0x2a}}, {"@schedules", core::Bytes{0x90}}, {"empty", core::Bytes{}}};
  const auto version = stamp(3, 9);
  auto saved = run("k", save(pages, version));
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_EQ(*saved, std::nullopt);
  auto got = run("k", load());
  ASSERT_TRUE(got) << got.error();
  ASSERT_TRUE(*got);
  EXPECT_EQ((*got)->state, pages);
  EXPECT_EQ((*got)->version, version);
  // What the store holds is the record's own bytes, readable by the Python store calls too.
  auto row = wait(*threads_, sql_->load(actor_, "k"));
  ASSERT_TRUE(row && *row);
  const auto bytes = core::Stored{pages, version}.version_bytes();
  EXPECT_EQ((*row)->version, core::Bytes(bytes.begin(), bytes.end()));
  EXPECT_EQ((*row)->state, (core::Stored{pages, version}.state_bytes()));
}

TEST_P(Carried, ALowerVersionDoesNotReplaceTheKeptRecord) {
  ASSERT_TRUE(run("k", save(core::Pages{{"v", core::Bytes{2}}}, stamp(2, 1))));
  ASSERT_TRUE(run("k", save(core::Pages{{"v", core::Bytes{1}}}, stamp(1, 5))));
  auto got = run("k", load());
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->version, stamp(2, 1));
  EXPECT_EQ((*got)->state, (core::Pages{{"v", core::Bytes{2}}}));
}

TEST_P(Carried, ADeletionIsKeptWithoutStateUntilADropReachesIt) {
  const auto deleted = stamp(4, 2);
  ASSERT_TRUE(run("k", save(std::nullopt, deleted)));
  auto row = wait(*threads_, sql_->load(actor_, "k"));
  ASSERT_TRUE(row && *row);
  EXPECT_EQ((*row)->state, std::nullopt);
  auto got = run("k", load());
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->state, std::nullopt);
  EXPECT_EQ((*got)->version, deleted);

  // A drop below the kept version leaves the row; one at it removes it.
  auto below = run("k", drop(stamp(4, 1)));
  ASSERT_TRUE(below) << below.error();
  EXPECT_EQ(*below, std::nullopt);
  EXPECT_TRUE(*run("k", load()));
  ASSERT_TRUE(run("k", drop(deleted)));
  EXPECT_EQ(*run("k", load()), std::nullopt);
}

TEST_P(Carried, ARowOfAnotherFormAnswersThatItCannotBeRead) {
  ASSERT_TRUE(wait(*threads_, sql_->save(actor_, "k", core::Bytes(31, 1), std::nullopt)));
  auto got = run("k", load());
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().starts_with("load answered a record this version of vorel cannot read: ")) << got.error();
  EXPECT_GT(got.error().size(), std::string_view("load answered a record this version of vorel cannot read: ").size());
}

TEST_P(Carried, AClosedStoreAnswersEachRequestWithTheClientsError) {
  wait(*threads_, sql_->close());
  for (auto operation : {load(), save(core::Pages{}, stamp(1, 1)), drop(stamp(1, 1))}) {
    auto got = run("k", operation);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), Error::closed().text);
  }
}

TEST_P(Carried, ManyRequestsAtOnceEachGetOneAnswer) {
  constexpr int kMany = 64;
  Answers answers;
  std::optional<node::Node> node = answers.take();
  for (int i = 0; i < kMany; ++i) {
    const auto key = fmt::format("k{}", i % 8);
    core::Storage operation = i % 3 == 0   ? load()
                              : i % 3 == 1 ? save(core::Pages{{"i", core::Bytes{std::uint8_t(i)}}}, stamp(1, i))
                                           : drop(stamp(1, i / 2));
    exec::spawn(*threads_, carry(Storing{std::uint64_t(i), actor_, key, std::move(operation), core::Duration{30, 0}},
                                 sql_, threads_, *node));
  }
  node.reset();
  auto got = answers.all(*threads_);
  ASSERT_EQ(got.size(), std::size_t(kMany));
  std::set<std::uint64_t> ids;
  for (auto& answer : got) {
    EXPECT_TRUE(answer.result) << answer.result.error();
    ids.insert(answer.request);
  }
  EXPECT_EQ(ids.size(), std::size_t(kMany));
}

INSTANTIATE_TEST_SUITE_P(Store, Carried, ::testing::Values("sqlite", "postgres", "mariadb"),
                         [](const auto& info) { return info.param; });

// A database that holds or refuses its statements as the test says.
class FakeDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    threads_ = *exec::Threads::start(1);
    auto opened = wait(*threads_, Sql::over(std::make_shared<Pool>(std::make_shared<testing::FakeDriver>(fake_))));
    ASSERT_TRUE(opened) << opened.error().text;
    sql_ = *opened;
  }
  void TearDown() override {
    fake_->release();
    if (sql_) wait(*threads_, sql_->close());
  }

  std::shared_ptr<testing::Fake> fake_ = std::make_shared<testing::Fake>();
  std::shared_ptr<exec::Threads> threads_;
  std::shared_ptr<Sql> sql_;
};

struct Stall {
  const char* name;
  core::Storage (*operation)();
  core::Duration limit;
  const char* text;
};

class Stalled : public FakeDatabase, public ::testing::WithParamInterface<Stall> {};

TEST_P(Stalled, AStoreThatStallsBeyondTheLimitAnswersOnceWithTheLimit) {
  fake_->hold();
  auto got = carried_once(*threads_, sql_, "T", "k", GetParam().operation(), GetParam().limit);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Store, Stalled,
                         ::testing::Values(Stall{"load", +[] { return load(); }, core::Duration{0, 200'000'000},
                                                 "it did not answer within 0.2 s"},
                                           Stall{"save", +[] { return save(core::Pages{}, stamp(1, 1)); },
                                                 core::Duration{0, 50'000'000},
                                                 "it did not answer within 0.05 s"},
                                           Stall{"drop", +[] { return drop(stamp(1, 1)); }, core::Duration{0, 0},
                                                 "it did not answer within 0 s"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeDatabase, AStatementTheDatabaseRefusesAnswersWithItsError) {
  fake_->answer = [](const std::string& sql, std::span<const Param>) -> Result<Outcome> {
    return std::unexpected(Error::database("no room left for " + sql.substr(0, 6), false));
  };
  auto loaded = carried_once(*threads_, sql_, "T", "k", load());
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), "the database refused the statement: no room left for SELECT");
  auto saved = carried_once(*threads_, sql_, "T", "k", save(core::Pages{}, stamp(1, 1)));
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "the database refused the statement: no room left for UPDATE");
}

TEST_F(FakeDatabase, ClosingWhileRequestsAreUnderWayStillAnswersEachOnce) {
  fake_->hold();
  Answers answers;
  std::optional<node::Node> node = answers.take();
  exec::spawn(*threads_, carry(Storing{1, "T", "a", load(), core::Duration{30, 0}}, sql_, threads_, *node));
  exec::spawn(*threads_, carry(Storing{2, "T", "b", save(core::Pages{}, stamp(1, 1)), core::Duration{30, 0}}, sql_,
                               threads_, *node));
  node.reset();
  ASSERT_TRUE(fake_->wait_running(2));
  auto closed = std::make_shared<std::promise<void>>();
  auto closing = closed->get_future();
  auto closing_task = [](std::shared_ptr<Sql> sql,
                         std::shared_ptr<std::promise<void>> closed) -> asio::awaitable<void> {
    co_await sql->close();
    closed->set_value();
  };
  exec::spawn(*threads_, closing_task(sql_, closed));
  fake_->release();
  exec::testing::settled(closing);
  sql_.reset();
  auto got = answers.all(*threads_);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].request, got[1].request);
}

TEST(CarryText, TheLimitIsWrittenAsTheShortestDecimal) {
  EXPECT_EQ(core::store::unanswered(core::Duration{5, 0}.as_seconds()), "it did not answer within 5 s");
  EXPECT_EQ(core::store::unanswered(core::Duration{0, 250'000'000}.as_seconds()), "it did not answer within 0.25 s");
  EXPECT_EQ(core::store::unanswered(core::Duration{0, 500'000'000}.as_seconds()), "it did not answer within 0.5 s");
  EXPECT_EQ(core::store::unanswered(core::Duration{1, 100'000'000}.as_seconds()), "it did not answer within 1.1 s");
}

TEST(CarryDeadline, ALimitBeyondTheClocksRangeHasNoDeadline) {
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(deadline(now, core::Duration{2, 5}), now + 2s + 5ns);
  EXPECT_EQ(deadline(now, core::Duration{0, 0}), now);
  EXPECT_EQ(deadline(now, core::Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999}), std::nullopt);
  const auto left =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::time_point::max() - now);
  EXPECT_EQ(deadline(now, core::Duration{std::uint64_t(left.count()) + 1, 0}), std::nullopt);
}

}  // namespace
}  // namespace vorel::store
