#include "core/collections/counter.hpp"

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

TEST(Counter, InitialIsZero) { EXPECT_EQ(Counter().initial(0.0), (Parts{{".", {0x00}}})); }

// Each case: the count part before, the message, then the part after (none: unchanged) and the reply.
TEST(Counter, OperationsByCase) {
  struct Case {
    std::string name;
    Bytes count;
    Bytes message;
    std::optional<Bytes> after;
    Bytes reply;
  };
  const auto to = [](std::string_view op, Named fields) {
    fields.push_back({"reply_to", T(R)});
    return msg(op, fields);
  };
  const std::vector<Case> cases = {
      {"add to a fresh counter", I(0), to("Add", {{"delta", I(5)}}), I(5), NIL},
      {"add a negative delta", I(0), to("counter.Add", {{"delta", I(-1)}}), Bytes{0xff}, NIL},
      {"add up to the top", I(INT64_MAX - 1), to("Add", {{"delta", I(1)}}), I(INT64_MAX), NIL},
      {"add down to the bottom", I(INT64_MIN + 1), to("Add", {{"delta", I(-1)}}), I(INT64_MIN), NIL},
      {"add the whole range", I(INT64_MIN), to("Add", {{"delta", U(INT64_MAX)}}), I(-1), NIL},
      {"add without delta still writes", I(9), to("Add", {}), I(9), NIL},
      {"delta as uint 8", I(1), to("Add", {{"delta", {0xcc, 0xff}}}), I(256), NIL},
      {"get", I(42), to("Get", {}), std::nullopt, I(42)},
      {"get of a negative count", I(-300), to("x.y.Get", {}), std::nullopt, I(-300)},
      {"get of an unsigned count above the range reads 0", U(UINT64_MAX), to("Get", {}), std::nullopt, I(0)},
      {"get of a count that is no integer reads 0", S("7"), to("Get", {}), std::nullopt, I(0)},
      {"reset", I(7), to("Reset", {}), I(0), NIL},
      {"reset at 0 still writes", I(0), to("Reset", {}), I(0), NIL},
  };
  for (const auto& c : cases) {
    Key counter(std::make_shared<Counter>(), Parts{{".", c.count}});
    auto turn = counter.turn(c.message);
    ASSERT_TRUE(turn) << c.name;
    if (c.after) {
      ASSERT_TRUE(turn->parts) << c.name;
      EXPECT_EQ(*turn->parts, (Parts{{".", *c.after}})) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
    ASSERT_EQ(turn->sends.size(), 1u) << c.name;
    EXPECT_EQ(turn->sends[0], (Send{R, c.reply})) << c.name;
    EXPECT_FALSE(turn->wake || turn->asking || turn->delete_) << c.name;
  }
}

// Reported fault: the count wrapped silently at the ends of its range, and a malformed message was
// dropped without an answer. Each case: the count before, the message, then the refusal; the count
// stays as it was.
TEST(Counter, RefusedByCase) {
  struct Case {
    std::string name;
    Bytes count;
    Bytes message;
    std::string error;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"add past the top", I(INT64_MAX), msg("counter.Add", {{"delta", I(1)}, {"reply_to", T(R)}}), "OverflowError",
       "adding 1 to the count 9223372036854775807 leaves the signed 64-bit range"},
      {"add past the bottom", I(INT64_MIN), msg("Add", {{"delta", I(-1)}, {"reply_to", T(R)}}), "OverflowError",
       "adding -1 to the count -9223372036854775808 leaves the signed 64-bit range"},
      {"add the largest to a positive count", I(1), msg("Add", {{"delta", U(INT64_MAX)}, {"reply_to", T(R)}}),
       "OverflowError", "adding 9223372036854775807 to the count 1 leaves the signed 64-bit range"},
      {"add told without reply_to", I(0), msg("Add", {{"delta", I(1)}}), "ValueError",
       R"(Add: field "reply_to" is missing)"},
      {"reply_to nil", I(0), msg("Add", {{"delta", I(1)}, {"reply_to", NIL}}), "ValueError",
       R"(Add: field "reply_to" is missing)"},
      {"reply_to a str", I(0), msg("Get", {{"reply_to", S("me")}}), "ValueError",
       R"(Get: field "reply_to" is a str, not a ref or nil)"},
      {"delta as float", I(0), msg("Add", {{"delta", F(1.0)}, {"reply_to", T(R)}}), "ValueError",
       R"(Add: field "delta" is 1, not an integer in the signed 64-bit range)"},
      {"delta above the signed range", I(0), msg("Add", {{"delta", U(1ull << 63)}, {"reply_to", T(R)}}), "ValueError",
       R"(Add: field "delta" is 9223372036854775808, not an integer in the signed 64-bit range)"},
      {"delta of a Get is read too", I(0), msg("Get", {{"delta", NIL}, {"reply_to", T(R)}}), "ValueError",
       R"(Get: field "delta" is nil, not an integer in the signed 64-bit range)"},
      {"unknown op", I(0), msg("Sub", {{"reply_to", T(R)}}), "ValueError", R"(a counter has no op "Sub")"},
      {"op of another case", I(0), msg("add", {{"reply_to", T(R)}}), "ValueError", R"(a counter has no op "add")"},
      {"empty op", I(0), msg("counter.", {{"reply_to", T(R)}}), "ValueError", R"(a counter has no op "")"},
  };
  for (const auto& c : cases) {
    Key counter(std::make_shared<Counter>(), Parts{{".", c.count}});
    const Turn turn = counter.message(c.message);
    ASSERT_TRUE(turn.refusal) << c.name;
    EXPECT_EQ(*turn.refusal, (Refusal{c.error, c.text})) << c.name;
    EXPECT_FALSE(turn.parts || turn.asking || turn.delete_ || !turn.sends.empty()) << c.name;
    EXPECT_EQ(counter.parts, (Parts{{".", c.count}})) << c.name;
  }
  Key counter(std::make_shared<Counter>());
  EXPECT_EQ(counter.native->turn(counter.parts, Input::tick(), 0.0, counter.names), std::nullopt);
}

TEST(Counter, AddThenGetThenDisposableAfterReset) {
  Key counter(std::make_shared<Counter>());
  counter.message(msg("Add", {{"delta", I(5)}, {"reply_to", T(R)}}));
  EXPECT_EQ(counter.parts, (Parts{{".", {0x05}}}));
  EXPECT_EQ(answers_to(counter.message(msg("Get", {{"reply_to", T(R)}})), R), (std::vector<Bytes>{I(5)}));
  EXPECT_FALSE(counter.native->disposable(counter.parts, 0.0));
  counter.message(msg("Reset", {{"reply_to", T(R)}}));
  EXPECT_TRUE(counter.native->disposable(counter.parts, 0.0));
}

}  // namespace
}  // namespace vorel::core::collections
