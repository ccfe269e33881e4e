#include "core/collections/entry.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

constexpr double kNow = 1000.0;
constexpr std::int64_t kT = 1'000'000'000;  // kNow in microseconds

Bytes pair(bool held, std::int64_t generation) { return cat({{0x92}, held ? TRUE : FALSE, I(generation)}); }

TEST(Entry, MicrosOfTheClock) {
  EXPECT_EQ(entry::micros(kNow), kT);
  EXPECT_EQ(entry::micros(1.5), 1'500'000);
  EXPECT_EQ(entry::micros(0.0), 0);
  EXPECT_EQ(entry::micros(-3.0), 0) << "before the epoch";
  EXPECT_EQ(entry::micros(std::nan("")), 0);
  EXPECT_EQ(entry::micros(1e300), INT64_MAX);
  EXPECT_EQ(entry::micros(HUGE_VAL), INT64_MAX);
}

TEST(Entry, InitialIsEmptyAtTheGenerationOfItsTime) {
  EXPECT_EQ(Entry().initial(kNow), (Parts{{"generation", I(kT)}, {"value", NIL}}));
  EXPECT_NE(Entry().initial(kNow), Entry().initial(kNow + 1.0));
}

// Each case: the parts before (value, generation), the op and its fields, then the parts after
// (none: no parts), whether the state is deleted, and the reply.
TEST(Entry, OperationsByCase) {
  struct Case {
    std::string name;
    Bytes value;
    std::int64_t generation;
    std::string op;
    Named fields;
    std::optional<std::pair<Bytes, std::int64_t>> after;
    bool deleted;
    Bytes reply;
  };
  const std::vector<Case> cases = {
      {"get empty", NIL, kT, "Get", {}, std::nullopt, false, NIL},
      {"get a value", Bin("v"), kT, "Get", {}, std::nullopt, false, Bin("v")},
      {"contains empty", NIL, kT, "Contains", {}, std::nullopt, false, FALSE},
      {"contains an empty byte string", Bin(""), kT, "Contains", {}, std::nullopt, false, TRUE},
      {"remove empty", NIL, kT, "Remove", {}, std::nullopt, false, pair(false, kT)},
      {"remove a value deletes", Bin("v"), kT - 5, "Remove", {}, std::nullopt, true, pair(true, kT - 5)},
      {"put the next generation", NIL, kT, "Put", {{"value", Bin("v")}, {"listed", I(kT + 1)}},
       std::pair{Bin("v"), kT + 1}, false, I(0)},
      {"put the same generation", NIL, kT, "Put", {{"value", Bin("v")}, {"listed", I(kT)}}, std::nullopt, false,
       I(kT + 1)},
      {"put a generation too far", NIL, kT, "Put", {{"value", Bin("v")}, {"listed", I(kT + 2)}}, std::nullopt, false,
       I(kT + 1)},
      {"put on a value replaces it whatever listed says", Bin("old"), 7, "Put",
       {{"value", Bin("new")}, {"listed", I(-4)}}, std::pair{Bin("new"), std::int64_t{7}}, false, I(0)},
      {"put at the last generation", NIL, INT64_MAX, "Put", {{"value", Bin("v")}, {"listed", I(INT64_MAX)}},
       std::pair{Bin("v"), INT64_MAX}, false, I(0)},
      {"refused put at the last generation", NIL, INT64_MAX, "Put", {{"value", Bin("v")}, {"listed", I(0)}},
       std::nullopt, false, I(INT64_MAX)},
      {"retire raises", NIL, kT, "Retire", {{"listed", I(kT + 5)}}, std::pair{NIL, kT + 5}, false, I(kT + 5)},
      {"retire to the same generation", NIL, kT, "Retire", {{"listed", I(kT)}}, std::nullopt, false, I(kT)},
      {"retire lower", NIL, kT, "Retire", {{"listed", I(-1)}}, std::nullopt, false, I(kT)},
      {"retire a value", Bin("v"), kT, "Retire", {{"listed", I(kT + 5)}}, std::nullopt, false, I(0)},
      {"an unreadable generation reads 0", NIL, 0, "Put", {{"value", Bin("v")}, {"listed", I(1)}},
       std::pair{Bin("v"), std::int64_t{1}}, false, I(0)},
  };
  for (const auto& c : cases) {
    Key e(std::make_shared<Entry>(), Parts{{"generation", I(c.generation)}, {"value", c.value}});
    Named fields = c.fields;
    fields.push_back({"reply_to", T(R)});
    auto turn = e.turn(msg(c.op, fields), kNow);
    ASSERT_TRUE(turn) << c.name;
    if (c.after) {
      EXPECT_EQ(turn->parts, (Parts{{"generation", I(c.after->second)}, {"value", c.after->first}})) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
    EXPECT_EQ(turn->delete_, c.deleted) << c.name;
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, c.reply}})) << c.name;
  }
}

TEST(Entry, RefusedByCase) {
  expect_refused(
      Key(std::make_shared<Entry>(), kNow),
      {
          {"put with value nil", msg("Put", {{"value", NIL}, {"listed", I(1)}, {"reply_to", T(R)}}),
           R"(Put: field "value" is nil, not bytes)"},
          {"put without value", msg("Put", {{"listed", I(1)}, {"reply_to", T(R)}}),
           R"(Put: field "value" is missing)"},
          {"put without listed", msg("entry.Put", {{"value", Bin("v")}, {"reply_to", T(R)}}),
           R"(entry.Put: field "listed" is missing)"},
          {"retire without listed", msg("Retire", {{"reply_to", T(R)}}), R"(Retire: field "listed" is missing)"},
          {"listed as float", msg("Retire", {{"listed", F(1.5)}, {"reply_to", T(R)}}),
           R"(Retire: field "listed" is 1.5, not an integer in the signed 64-bit range)"},
          {"listed above the range in a Get", msg("Get", {{"listed", U(UINT64_MAX)}, {"reply_to", T(R)}}),
           R"(Get: field "listed" is 18446744073709551615, not an integer in the signed 64-bit range)"},
          {"no reply_to", msg("Get", {}), R"(Get: field "reply_to" is missing)"},
          {"unknown op", msg("Clear", {{"reply_to", T(R)}}), R"(an entry has no op "Clear")"},
      },
      kNow);
}

TEST(Entry, FillRemoveAndFillAgain) {
  Key e(std::make_shared<Entry>(), kNow);
  const auto ask = [&](std::string_view op, Named fields, double now) {
    fields.push_back({"reply_to", T(R)});
    auto answers = answers_to(e.message(msg(op, fields), now), R);
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? Bytes{} : answers[0];
  };
  EXPECT_EQ(ask("Remove", {}, kNow), pair(false, kT));
  EXPECT_EQ(ask("Retire", {{"listed", I(kT + 5)}}, kNow), I(kT + 5));
  EXPECT_EQ(ask("Put", {{"value", Bin("v")}, {"listed", I(kT + 1)}}, kNow), I(kT + 6));
  EXPECT_EQ(ask("Put", {{"value", Bin("v")}, {"listed", I(kT + 6)}}, kNow), I(0));
  EXPECT_FALSE(e.native->disposable(e.parts, kNow));
  // Removed a second later: the fresh state takes the generation of that time.
  EXPECT_EQ(ask("Remove", {}, kNow + 1.0), pair(true, kT + 6));
  EXPECT_EQ(e.parts, Entry().initial(kNow + 1.0));
  EXPECT_EQ(ask("Get", {}, kNow + 1.0), NIL);
  EXPECT_TRUE(e.native->disposable(e.parts, kNow + 1.0));
}

// A generation raised ahead of the clock must not fall back to the clock's when the value is
// removed, nor when the empty entry is dropped at deactivation: what was presented for the
// removed value would fill the entry again.
TEST(Entry, GenerationsOnlyGrowWhenTheyRunAheadOfTheClock) {
  const std::int64_t ahead = kT + 3'600'000'000;  // an hour ahead of the clock
  Key e(std::make_shared<Entry>(), Parts{{"generation", I(ahead)}, {"value", Bin("v")}});
  auto turn = e.message(msg("Remove", {{"reply_to", T(R)}}), kNow);
  EXPECT_EQ(turn.sends, (std::vector<Send>{{R, pair(true, ahead)}}));
  EXPECT_FALSE(turn.delete_);
  EXPECT_EQ(e.parts, (Parts{{"generation", I(ahead + 1)}, {"value", NIL}}));
  EXPECT_EQ(answers_to(e.message(msg("Put", {{"value", Bin("w")}, {"listed", I(ahead + 1)}, {"reply_to", T(R)}}),
                                 kNow),
                       R),
            (std::vector<Bytes>{I(ahead + 2)}))
      << "what was presented for the removed value no longer fills it";
  EXPECT_FALSE(e.native->disposable(e.parts, kNow)) << "dropping it would restart at the clock's generation";
  EXPECT_TRUE(e.native->disposable(e.parts, kNow + 3601.0)) << "once the clock is past it, it may go";

  // A removal at the very microsecond of the generation keeps the state too.
  Key same(std::make_shared<Entry>(), Parts{{"generation", I(kT)}, {"value", Bin("v")}});
  EXPECT_FALSE(same.message(msg("Remove", {{"reply_to", T(R)}}), kNow).delete_);
  EXPECT_EQ(same.parts, (Parts{{"generation", I(kT + 1)}, {"value", NIL}}));
}

TEST(Entry, DisposableWhenEmptyAndNotAheadOfTheClock) {
  const Entry entry;
  EXPECT_TRUE(entry.disposable(entry.initial(kNow), kNow));
  EXPECT_TRUE(entry.disposable(Parts{{"generation", I(5)}}, kNow)) << "no value part";
  EXPECT_TRUE(entry.disposable(Parts{{"generation", I(5)}, {"value", I(1)}}, kNow)) << "an unreadable value";
  EXPECT_FALSE(entry.disposable(Parts{{"generation", I(5)}, {"value", Bin("")}}, kNow));
  EXPECT_FALSE(entry.disposable(Parts{{"generation", I(kT + 1)}, {"value", NIL}}, kNow));
}

}  // namespace
}  // namespace vorel::core::collections
