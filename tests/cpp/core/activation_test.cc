#include "core/activation.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/deliver.hpp"

namespace vorel::core::activation {

// Names for the failure messages of the tables.
constexpr std::string_view kNext[] = {"Nothing", "WindDown", "BackOff", "Start", "Attempt",
                                      "Successor", "Deactivate", "Step", "After"};
constexpr std::string_view kNudge[] = {"Cancel", "Wake", "LetGo", "Wait", "WindDown"};
constexpr std::string_view kWoken[] = {"Hand", "End", "Wait"};
constexpr std::string_view kRead[] = {"Over", "Cancel", "Go"};
void PrintTo(Next v, std::ostream* os) { *os << kNext[static_cast<int>(v)]; }
void PrintTo(Nudge v, std::ostream* os) { *os << kNudge[static_cast<int>(v)]; }
void PrintTo(Woken v, std::ostream* os) { *os << kWoken[static_cast<int>(v)]; }
void PrintTo(Read v, std::ostream* os) { *os << kRead[static_cast<int>(v)]; }

namespace {

// Flags written as the letters of those that are set: r releasing, d draining, e ending,
// b becoming, c closed; `unconfirmed` apart.
Flags flags(std::string_view set, std::uint64_t unconfirmed = 0) {
  Flags f;
  for (char c : set) {
    switch (c) {
      case 'r': f.releasing = true; break;
      case 'd': f.draining = true; break;
      case 'e': f.ending = true; break;
      case 'b': f.becoming = true; break;
      case 'c': f.closed = true; break;
      default: ADD_FAILURE() << "no flag " << c;
    }
  }
  f.unconfirmed = unconfirmed;
  return f;
}

TEST(Activation, ParksTheEndOfABodyOnlyWhileWritesAreUnconfirmedAndTheKeyIsKept) {
  struct Case {
    const char* flags;
    std::uint64_t unconfirmed;
    bool parks;
  };
  const std::vector<Case> cases = {
      {"", 0, false}, {"", 1, true},   {"", 7, true},    {"r", 1, false}, {"d", 1, false},
      {"e", 1, true}, {"b", 1, true},  {"rd", 2, false}, {"e", 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parks(flags(c.flags, c.unconfirmed)), c.parks) << c.flags << " " << c.unconfirmed;
  }
}

TEST(Activation, AfterTheBody) {
  struct Case {
    std::string name;
    const char* flags;
    Ended ended;
    Next next;
  };
  const Ended returned{};
  const Ended raised{.raised = true};
  const Ended stale{.current = false};
  const Ended stale_raised{.raised = true, .current = false};
  const Ended more{.read = true, .queued = true};
  const Ended unread{.queued = true};
  const Ended read_empty{.read = true};
  const Ended revoked{.revoked = true};
  const Ended renamed{.renamed = true};
  const Ended renamed_more{.read = true, .queued = true, .renamed = true};
  const std::vector<Case> cases = {
      {"returned with nothing to do", "", returned, Next::Deactivate},
      {"read its inbox and more waits", "", more, Next::Start},
      {"more waits, never read", "", unread, Next::Deactivate},
      {"read, nothing waits", "", read_empty, Next::Deactivate},
      {"its message was revoked", "", revoked, Next::Start},
      {"raised", "", raised, Next::BackOff},
      {"raised with more waiting", "", Ended{.raised = true, .read = true, .queued = true}, Next::BackOff},
      {"raised in a run no longer current", "", stale_raised, Next::BackOff},
      {"returned in a run no longer current", "", stale, Next::Nothing},
      {"releasing", "r", more, Next::WindDown},
      {"draining", "d", returned, Next::WindDown},
      {"releasing and raised", "r", raised, Next::WindDown},
      {"draining and stale", "d", stale, Next::WindDown},
      {"draining beats becoming", "db", renamed, Next::WindDown},
      {"ending and raised goes on as returned", "e", raised, Next::Deactivate},
      {"ending beats more to do", "e", more, Next::Deactivate},
      {"ending beats a revoked message", "e", revoked, Next::Deactivate},
      {"ending, raised and stale", "e", stale_raised, Next::Nothing},
      {"becoming the same type", "b", returned, Next::Attempt},
      {"becoming another type", "b", renamed, Next::Successor},
      {"becoming beats a restart", "b", renamed_more, Next::Successor},
      {"becoming beats a restart, same type", "b", more, Next::Attempt},
      {"becoming while ending", "be", renamed, Next::Successor},
      {"becoming and raised", "b", raised, Next::BackOff},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(after(flags(c.flags), c.ended), c.next) << c.name;
  }
}

TEST(Activation, TheBackoffTimer) {
  struct Case {
    const char* flags;
    Next next;
  };
  const std::vector<Case> cases = {
      {"", Next::Start},     {"b", Next::Start},    {"e", Next::After},    {"eb", Next::After},
      {"r", Next::WindDown}, {"d", Next::WindDown}, {"re", Next::WindDown}, {"de", Next::WindDown},
  };
  for (const auto& c : cases) EXPECT_EQ(fired(flags(c.flags)), c.next) << c.flags;
}

TEST(Activation, OpeningAndAttempting) {
  // A decision over the flags and one more fact: whether the pages name another behavior
  // (resumed), or whether the type is a native collection (attempted).
  struct Case {
    const char* flags;
    bool fact;
    Next next;
  };
  const std::vector<Case> resumes = {
      {"", false, Next::Attempt},   {"", true, Next::Successor},  {"e", false, Next::Attempt},
      {"e", true, Next::Successor}, {"r", true, Next::WindDown},   {"d", false, Next::WindDown},
  };
  // A run is attempted only past a check of releasing and draining (resume, after), so attempting
  // does not look at them again.
  const std::vector<Case> attempts = {
      {"", false, Next::Start},      {"", true, Next::Step},        {"e", false, Next::Deactivate},
      {"e", true, Next::Deactivate}, {"b", false, Next::Start},     {"r", false, Next::Start},
      {"d", true, Next::Step},
  };
  for (const auto& c : resumes) EXPECT_EQ(resumed(flags(c.flags), c.fact), c.next) << c.flags << " " << c.fact;
  for (const auto& c : attempts) EXPECT_EQ(attempted(flags(c.flags), c.fact), c.next) << c.flags << " " << c.fact;
}

TEST(Activation, FailuresCountUpToTheirMostAndGiveTheExponentBeforeThem) {
  struct Case {
    std::uint32_t before;
    std::uint32_t exponent;
    std::uint32_t after;
  };
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  const std::vector<Case> cases = {
      {0, 0, 1},
      {1, 1, 2},
      {41, 41, 42},
      {2'147'483'646, 2'147'483'646, 2'147'483'647},
      {2'147'483'647, 2'147'483'647, 2'147'483'648u},
      {2'147'483'648u, 2'147'483'647, 2'147'483'649u},
      {kMax - 1, 2'147'483'647, kMax},
      {kMax, 2'147'483'647, kMax},
  };
  for (const auto& c : cases) {
    std::uint32_t failures = c.before;
    EXPECT_EQ(failed(failures), c.exponent) << c.before;
    EXPECT_EQ(failures, c.after) << c.before;
  }
}

TEST(Activation, ThreeFailuresInARowWaitLongerEachTime) {
  const Backoff backoff{2.0, Duration{0, 100'000'000}, Duration{10, 0}};
  std::uint32_t failures = 0;
  std::vector<Duration> waits;
  for (int i = 0; i < 9; ++i) waits.push_back(backoff.delay(failed(failures)));
  const std::vector<Duration> expected = {{0, 100'000'000}, {0, 200'000'000}, {0, 400'000'000},
                                          {0, 800'000'000}, {1, 600'000'000}, {3, 200'000'000},
                                          {6, 400'000'000}, {10, 0},          {10, 0}};
  EXPECT_EQ(waits, expected);
}

TEST(Activation, LettingGoAndDraining) {
  struct Case {
    std::string name;
    Held held;
    Nudge release;
    Nudge drain;
  };
  const std::vector<Case> cases = {
      {"busy body", {.task = true}, Nudge::Cancel, Nudge::Wait},
      {"body waiting on its inbox", {.task = true, .reading = true}, Nudge::Cancel, Nudge::Wake},
      {"a read left behind by a task that ended", {.reading = true}, Nudge::WindDown, Nudge::WindDown},
      {"body ended, its end parked", {.parked = true}, Nudge::Wait, Nudge::Wait},
      {"nothing runs", {}, Nudge::WindDown, Nudge::WindDown},
      {"native collection", {.native = true}, Nudge::LetGo, Nudge::LetGo},
      {"busy body with a parked end", {.task = true, .parked = true}, Nudge::Cancel, Nudge::Wait},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(released(c.held), c.release) << c.name;
    EXPECT_EQ(drained(c.held), c.drain) << c.name;
  }
}

TEST(Activation, WindingDownWaitsForTheTaskAndRunsOnce) {
  struct Case {
    const char* flags;
    bool task;
    std::optional<std::string_view> reason;
  };
  const std::vector<Case> cases = {
      {"r", false, kMoved},         {"d", false, kShuttingDown}, {"rd", false, kShuttingDown},
      {"r", true, std::nullopt},    {"d", true, std::nullopt},   {"rc", false, std::nullopt},
      {"dc", false, std::nullopt},  {"", false, kMoved},
  };
  for (const auto& c : cases) EXPECT_EQ(wound_down(flags(c.flags), c.task), c.reason) << c.flags << " " << c.task;
}

TEST(Activation, OnlyAnEndingKeyPassesOnAfterItsFinalWrite) {
  EXPECT_TRUE(passes_on(flags("e")));
  EXPECT_FALSE(passes_on(flags("ec")));
  EXPECT_FALSE(passes_on(flags("")));
  EXPECT_FALSE(passes_on(flags("r")));
}

TEST(Activation, ConfirmationsCountDownAndTheLastResumesAParkedEnd) {
  struct Case {
    std::uint64_t before;
    std::uint64_t after;
    bool last;
  };
  const std::vector<Case> cases = {{0, 0, true}, {1, 0, true}, {2, 1, false}, {9, 8, false}};
  for (const auto& c : cases) {
    const Confirmed got = confirmed(c.before);
    EXPECT_EQ(got.unconfirmed, c.after) << c.before;
    EXPECT_EQ(got.last, c.last) << c.before;
  }
}

TEST(Activation, IdleDeadlines) {
  EXPECT_DOUBLE_EQ(idle_deadline(100.0, Duration{60, 0}), 160.0);
  EXPECT_DOUBLE_EQ(idle_deadline(100.0, Duration{0, 250'000'000}), 100.25);
  EXPECT_DOUBLE_EQ(idle_deadline(5.5, Duration{}), 5.5);

  // A time against a deadline: a read due then arms a timer unless one fires no later, and a
  // pending read is over once its deadline has come.
  struct Against {
    std::optional<double> deadline;
    double time;
    bool arms, expired;
  };
  const std::vector<Against> cases = {
      {std::nullopt, 10.0, true, false}, {12.0, 10.0, true, false}, {10.0, 9.999, true, false},
      {10.0, 10.0, false, true},         {8.0, 10.0, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(arms(c.deadline, c.time), c.arms) << c.deadline.value_or(-1) << " " << c.time;
    EXPECT_EQ(expired(c.deadline, c.time), c.expired) << c.deadline.value_or(-1) << " " << c.time;
  }

  struct Fire {
    std::optional<double> deadline;
    double now;
    Idled::Kind kind;
    double rest;
  };
  const std::vector<Fire> fires = {
      {std::nullopt, 10.0, Idled::Kind::Nothing, 0},
      {10.0, 10.0, Idled::Kind::End, 0},
      {10.0, 12.0, Idled::Kind::End, 0},
      {10.0, 7.5, Idled::Kind::Rearm, 2.5},
  };
  for (const auto& c : fires) {
    const Idled got = idled(c.deadline, c.now);
    EXPECT_EQ(got.kind, c.kind) << c.deadline.value_or(-1) << " " << c.now;
    EXPECT_DOUBLE_EQ(got.rest, c.rest) << c.deadline.value_or(-1) << " " << c.now;
  }
}

TEST(Activation, WakingAPendingRead) {
  struct Case {
    bool message, expired, draining;
    Woken woken;
  };
  const std::vector<Case> cases = {
      {true, false, false, Woken::Hand},  {true, false, true, Woken::Hand},  {true, true, false, Woken::End},
      {false, true, false, Woken::End},   {false, false, true, Woken::End},  {false, false, false, Woken::Wait},
      {false, true, true, Woken::End},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(woken(c.message, c.expired, c.draining), c.woken)
        << c.message << c.expired << c.draining;
  }
}

TEST(Activation, AReadOfTheInbox) {
  struct Case {
    bool current;
    const char* flags;
    Read read;
  };
  const std::vector<Case> cases = {
      {true, "", Read::Go},        {false, "", Read::Over},     {false, "b", Read::Over},
      {true, "b", Read::Cancel},   {true, "bd", Read::Cancel},  {true, "d", Read::Over},
      {true, "e", Read::Over},     {true, "r", Read::Go},
  };
  for (const auto& c : cases) EXPECT_EQ(reads(c.current, flags(c.flags)), c.read) << c.current << c.flags;
}

TEST(Activation, AMergedItemReadyBeforeTheOldestMessageIsReadFirst) {
  struct Case {
    std::optional<std::uint64_t> merged, oldest;
    bool first;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, false}, {std::nullopt, 3, false}, {5, std::nullopt, true},
      {5, 5, true},                        {5, 9, true},             {5, 4, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(merged_first(c.merged, c.oldest), c.first) << c.merged.value_or(99) << " " << c.oldest.value_or(99);
  }
}

TEST(Activation, TheHoldWithWhichAKeyWaits) {
  struct Case {
    std::string name;
    Busy busy;
    std::optional<std::uint64_t> hold;
  };
  const std::vector<Case> cases = {
      {"body busy with a message", {.task = true, .hold = 7}, 7},
      {"body waiting on its inbox", {.task = true, .reading = true, .hold = 7}, std::nullopt},
      {"no body task", {.hold = 7}, std::nullopt},
      {"native ask in flight", {.asking = true, .asking_hold = 3}, 3},
      {"native idle", {.asking_hold = 3}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(waits(c.busy), c.hold) << c.name;
}

}  // namespace
}  // namespace vorel::core::activation
