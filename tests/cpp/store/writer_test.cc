#include "store/writer.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <future>

#include "exec/waiting.hpp"
#include "store/fake.hpp"
#include "store/sql.hpp"

namespace vorel::store {
namespace {

using namespace std::chrono_literals;
using testing::Fake;
using testing::FakeDriver;

const Statements kStatements = Statements::placed([](std::string_view t) { return std::string(t); });

core::Bytes bytes(std::string_view text) { return core::Bytes(text.begin(), text.end()); }
std::string text(const core::Bytes& b) { return std::string(b.begin(), b.end()); }

// The writer over a fake database whose updates change their row unless told otherwise. Each
// write is told apart by its version, which the tests make readable.
class Writes : public ::testing::Test {
 protected:
  struct Made {
    std::future<std::string> outcome;
    bool ready() const { return outcome.wait_for(0s) == std::future_status::ready; }
    std::string get() { return exec::testing::settled(outcome); }
  };

  Made write(std::string key, std::string version, bool forget = false, bool wanted = true) {
    auto promise = std::make_shared<std::promise<std::string>>();
    Made made{promise->get_future()};
    writer_->add(Write{id("a", key), "a", key, bytes(version), forget, bytes("state"),
                       [promise](Result<void> r) { promise->set_value(r ? "ok" : r.error().text); },
                       [wanted] { return wanted; }});
    return made;
  }

  // The statements run, each as its first word and, for a write's own statements, its version.
  std::vector<std::string> log() {
    std::lock_guard l(fake_->m);
    std::vector<std::string> out;
    for (const auto& [sql, params] : fake_->log) {
      std::string word = sql.substr(0, sql.find(' '));
      if (word == "UPDATE") word += " " + text(params[0].bytes);
      if (word == "INSERT") word += " " + text(params[3].bytes);
      if (word == "DELETE") word += " " + text(params[1].bytes);
      if (word == "SELECT") word += " " + text(params[0].bytes) + "?";
      out.push_back(word);
    }
    return out;
  }

  // Holds the writer's first group, a single write, inside its statement, so that what comes next
  // gathers behind it.
  Made occupied() {
    fake_->hold();
    Made first = write("first", "0");
    EXPECT_TRUE(fake_->wait_running(1));
    return first;
  }

  std::shared_ptr<Fake> fake_ = std::make_shared<Fake>();
  std::shared_ptr<Pool> pool_ = std::make_shared<Pool>(std::make_shared<FakeDriver>(fake_));
  std::shared_ptr<Writer> writer_ =
      std::make_shared<Writer>(pool_, std::make_shared<const Statements>(kStatements), "BEGIN");

  void SetUp() override {
    fake_->answer = [](const std::string& sql, std::span<const Param>) -> Result<Outcome> {
      return Outcome{sql.starts_with("UPDATE") ? 1u : 0u, {}};
    };
  }
};

TEST_F(Writes, WritesWaitingAtOneMomentCommitTogetherAndOnlyThenAreAnswered) {
  Made first = occupied();
  std::vector<Made> group;
  for (const char* v : {"1", "2", "3"}) group.push_back(write(fmt::format("k{}", v), v));
  group.push_back(write("gone", "4", true));
  // The group waits at its commit: none of it is answered before.
  fake_->hold_at([](const std::string& sql) { return sql == "COMMIT"; });
  EXPECT_EQ(first.get(), "ok");
  ASSERT_TRUE(fake_->wait_running(1));
  for (auto& m : group) EXPECT_FALSE(m.ready());
  fake_->release();
  for (auto& m : group) EXPECT_EQ(m.get(), "ok");
  auto ran = log();
  // A write alone needs no transaction; the group's saves go first, in the order of their rows.
  ASSERT_EQ(ran.size(), 7u);
  EXPECT_EQ(ran[0], "UPDATE 0");
  EXPECT_EQ(ran[1], "BEGIN");
  std::vector<std::string> updates(ran.begin() + 2, ran.begin() + 5);
  std::vector<std::pair<std::array<std::uint8_t, 32>, std::string>> by_row;
  for (const char* v : {"1", "2", "3"}) by_row.emplace_back(id("a", fmt::format("k{}", v)), fmt::format("UPDATE {}", v));
  std::sort(by_row.begin(), by_row.end());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(updates[i], by_row[i].second);
  EXPECT_EQ(ran[5], "DELETE 4");
  EXPECT_EQ(ran[6], "COMMIT");
}

TEST_F(Writes, AWriteThatFailsInAGroupFailsOnlyItself) {
  fake_->answer = [](const std::string& sql, std::span<const Param> params) -> Result<Outcome> {
    if (sql.starts_with("UPDATE") && text(params[0].bytes) == "bad") {
      return std::unexpected(Error::database("the row is refused", false));
    }
    return Outcome{sql.starts_with("UPDATE") ? 1u : 0u, {}};
  };
  Made first = occupied();
  Made good = write("k1", "good"), bad = write("k2", "bad"), gone = write("k3", "fine", true);
  fake_->release();
  EXPECT_EQ(first.get(), "ok");
  EXPECT_EQ(good.get(), "ok");
  EXPECT_EQ(bad.get(), Error::database("the row is refused", false).text);
  EXPECT_EQ(gone.get(), "ok");
  // Rolled back and made again one by one; nothing was committed together.
  auto ran = log();
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "COMMIT"), 0);
  auto rollback = std::find(ran.begin(), ran.end(), "ROLLBACK");
  ASSERT_NE(rollback, ran.end());
  std::vector<std::string> after(rollback + 1, ran.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, (std::vector<std::string>{"DELETE fine", "UPDATE bad", "UPDATE good"}));
}

struct Whole {
  const char* name;
  const char* failing;  // the statement that fails
  bool rolled_back;     // whether the writer tried to roll back
};

class WholeGroups : public Writes, public ::testing::WithParamInterface<Whole> {};

// A transaction that does not begin, or a connection that cannot even roll back, fails every
// write of the group with that failure and makes none of them again.
TEST_P(WholeGroups, FailEveryWriteOfTheGroupWithoutMakingThemAgain) {
  std::string failing = GetParam().failing;
  fake_->answer = [failing](const std::string& sql, std::span<const Param>) -> Result<Outcome> {
    if (sql.starts_with(failing)) return std::unexpected(Error::io(failing + " broke"));
    if (failing == "ROLLBACK" && sql.starts_with("COMMIT")) return std::unexpected(Error::io("COMMIT broke"));
    return Outcome{sql.starts_with("UPDATE") ? 1u : 0u, {}};
  };
  Made first = occupied();
  Made a = write("k1", "1"), b = write("k2", "2");
  fake_->release();
  EXPECT_EQ(first.get(), "ok");
  std::string expected = Error::io(failing == "ROLLBACK" ? "COMMIT broke" : failing + " broke").text;
  EXPECT_EQ(a.get(), expected);
  EXPECT_EQ(b.get(), expected);
  auto ran = log();
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "ROLLBACK"), GetParam().rolled_back ? 1 : 0);
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "UPDATE 1"), failing == "BEGIN" ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Writer, WholeGroups,
                         ::testing::Values(Whole{"begin", "BEGIN", false}, Whole{"rollback", "ROLLBACK", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Writes, ARowHasOneWriteInAGroupAndItsWritesKeepTheirOrder) {
  Made first = occupied();
  Made one = write("k", "1"), other = write("j", "x"), two = write("k", "2"), three = write("k", "3");
  fake_->release();
  for (Made* m : {&first, &one, &other, &two, &three}) EXPECT_EQ(m->get(), "ok");
  auto ran = log();
  std::vector<std::string> k;
  for (const auto& s : ran) {
    if (s == "UPDATE 1" || s == "UPDATE 2" || s == "UPDATE 3") k.push_back(s);
  }
  EXPECT_EQ(k, (std::vector<std::string>{"UPDATE 1", "UPDATE 2", "UPDATE 3"}));
  // The later writes of k wait for groups of their own.
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "BEGIN"), 1);
}

// Saves that change no row look at the kept version inside the group: a save that lost changes
// nothing and succeeds, a new row is inserted, and a row another writer lowered meanwhile is
// saved again after the commit.
TEST_F(Writes, SavesThatChangeNoRowAreSettledByTheKeptVersion) {
  fake_->answer = [](const std::string& sql, std::span<const Param> params) -> Result<Outcome> {
    if (sql.starts_with("UPDATE")) {
      std::string v = text(params[0].bytes);
      return Outcome{v == "5" || v == "0" ? 1u : 0u, {}};
    }
    if (sql.starts_with("SELECT")) {
      Outcome found;
      auto row = params[0].bytes;
      auto kept = [&](const char* version) {
        found.rows.push_back(Row{Cell{Cell::Type::Blob, bytes(version)}});
      };
      auto is = [&](const char* key) {
        auto of = id("a", key);
        return row == core::Bytes(of.begin(), of.end());
      };
      if (is("lost")) kept("9");
      if (is("raced")) kept("1");
      return found;
    }
    return Outcome{};
  };
  Made first = occupied();
  Made lost = write("lost", "3"), fresh = write("fresh", "4"), raced = write("raced", "5x");
  fake_->release();
  for (Made* m : {&first, &lost, &fresh, &raced}) EXPECT_EQ(m->get(), "ok");
  auto ran = log();
  auto commit = std::find(ran.begin(), ran.end(), "COMMIT");
  ASSERT_NE(commit, ran.end());
  EXPECT_EQ(std::count(ran.begin(), commit, "INSERT 4"), 1);
  EXPECT_EQ(std::count(ran.begin(), ran.end(), "INSERT 3"), 0);
  // The raced save was left out of the group and made alone after it.
  EXPECT_EQ(std::count(commit, ran.end(), "UPDATE 5x"), 1);
}

TEST_F(Writes, WritesNobodyWaitsForAreNotMadeAndAClosedPoolFailsTheRest) {
  Made first = occupied();
  Made unwanted = write("k1", "1", false, false), wanted = write("k2", "2");
  std::promise<void> closed;
  pool_->close([&] { closed.set_value(); });
  fake_->release();
  EXPECT_EQ(first.get(), "ok");
  EXPECT_EQ(unwanted.get(), Error::dropped().text);
  EXPECT_EQ(wanted.get(), Error::closed().text);
  closed.get_future().get();
  EXPECT_EQ(write("k3", "3").get(), Error::closed().text);
  EXPECT_EQ(log(), std::vector<std::string>{"UPDATE 0"});
}

}  // namespace
}  // namespace vorel::store
