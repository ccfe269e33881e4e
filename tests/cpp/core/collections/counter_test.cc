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
      {"add wraps at the top", I(INT64_MAX), to("Add", {{"delta", I(1)}}), I(INT64_MIN), NIL},
      {"add wraps at the bottom", I(INT64_MIN), to("Add", {{"delta", I(-1)}}), I(INT64_MAX), NIL},
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

TEST(Counter, NotRecognisedByCase) {
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"add told without reply_to", msg("Add", {{"delta", I(1)}})},
      {"reply_to nil", msg("Add", {{"delta", I(1)}, {"reply_to", NIL}})},
      {"delta as float", msg("Add", {{"delta", F(1.0)}, {"reply_to", T(R)}})},
      {"delta above the signed range", msg("Add", {{"delta", U(1ull << 63)}, {"reply_to", T(R)}})},
      {"unknown op", msg("Sub", {{"reply_to", T(R)}})},
      {"op of another case", msg("add", {{"reply_to", T(R)}})},
      {"empty op", msg("counter.", {{"reply_to", T(R)}})},
  };
  for (const auto& [name, message] : cases) {
    Key counter(std::make_shared<Counter>());
    EXPECT_EQ(counter.turn(message), std::nullopt) << name;
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
