#include "core/collections/register.hpp"

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

TEST(Register, InitialAndSaved) {
  EXPECT_EQ(Register().initial(0.0), (Parts{{"value", {0xc0}}}));
  EXPECT_EQ(register_::saved(view_of("a")), (Parts{{"value", {0xc4, 0x01, 'a'}}}));
  EXPECT_EQ(register_::saved(ByteView{}), (Parts{{"value", {0xc4, 0x00}}}));
}

// Each case: the "value" part before, the message, then the value after (none: no parts) and the reply.
TEST(Register, OperationsByCase) {
  struct Case {
    std::string name;
    Bytes value;
    Named fields;
    std::string op;
    std::optional<Bytes> after;
    Bytes reply;
  };
  const std::vector<Case> cases = {
      {"get empty", NIL, {}, "Get", std::nullopt, NIL},
      {"get a value", Bin("v"), {}, "Get", std::nullopt, Bin("v")},
      {"get of an int part reads empty", I(3), {}, "Get", std::nullopt, NIL},
      {"put", NIL, {{"value", Bin("v")}}, "Put", Bin("v"), NIL},
      {"put the same value still writes", Bin("v"), {{"value", Bin("v")}}, "Put", Bin("v"), NIL},
      {"put nil", Bin("v"), {{"value", NIL}}, "Put", NIL, NIL},
      {"put without value empties", Bin("v"), {}, "Put", NIL, NIL},
      {"get and set", Bin("old"), {{"value", Bin("new")}}, "GetAndSet", Bin("new"), Bin("old")},
      {"get and set without value", Bin("old"), {}, "GetAndSet", NIL, Bin("old")},
      {"compare nil with empty: set", NIL, {{"expected", NIL}, {"value", Bin("v")}}, "CompareAndSet", Bin("v"), TRUE},
      {"compare nil with an empty string: not set", Bin(""), {{"value", Bin("v")}}, "CompareAndSet", std::nullopt,
       FALSE},
      {"compare equal bytes: set", Bin("ab"), {{"expected", Bin("ab")}, {"value", Bin("c")}}, "CompareAndSet",
       Bin("c"), TRUE},
      {"compare another length: not set", Bin("ab"), {{"expected", Bin("abc")}, {"value", Bin("c")}}, "CompareAndSet",
       std::nullopt, FALSE},
      {"compare other bytes: not set", Bin("ab"), {{"expected", Bin("ac")}}, "CompareAndSet", std::nullopt, FALSE},
      {"compare an empty string with empty: not set", NIL, {{"expected", Bin("")}}, "CompareAndSet", std::nullopt,
       FALSE},
  };
  for (const auto& c : cases) {
    Key reg(std::make_shared<Register>(), Parts{{"value", c.value}});
    Named fields = c.fields;
    fields.push_back({"reply_to", T(R)});
    auto turn = reg.turn(msg(c.op, fields));
    ASSERT_TRUE(turn) << c.name;
    if (c.after) {
      ASSERT_TRUE(turn->parts) << c.name;
      EXPECT_EQ(*turn->parts, (Parts{{"value", *c.after}})) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, c.reply}})) << c.name;
  }
}

TEST(Register, RefusedByCase) {
  expect_refused(Key(std::make_shared<Register>()),
                 {
                     {"value as str", msg("Put", {{"value", S("v")}, {"reply_to", T(R)}}),
                      R"(Put: field "value" is a str, not bytes or nil)"},
                     {"expected as int", msg("CompareAndSet", {{"expected", I(1)}, {"reply_to", T(R)}}),
                      R"(CompareAndSet: field "expected" is 1, not bytes or nil)"},
                     {"no reply_to", msg("Put", {{"value", Bin("v")}}), R"(Put: field "reply_to" is missing)"},
                     {"unknown op", msg("Delete", {{"reply_to", T(R)}}), R"(a register has no op "Delete")"},
                 });
}

}  // namespace
}  // namespace vorel::core::collections
