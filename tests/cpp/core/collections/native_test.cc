#include "core/collections/native.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "core/collections/counter.hpp"
#include "core/collections/message.hpp"
#include "core/collections/queue_segment.hpp"
#include "core/collections/table_segment.hpp"
#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

TEST(Collection, RecognisesTypeNamesByCase) {
  struct Case {
    std::string name;
    std::string fmt;  // empty: an ordinary actor type
  };
  const std::vector<Case> cases = {
      {"vorel.collections:counter.actor", "Counter"},
      {"vorel.collections:register_1_one", "Register"},
      {"vorel.collections:entry.actor", "Entry"},
      {"vorel.collections:entry_1_one", "Entry"},
      {"vorel.collections:semaphore_12_all", "Semaphore"},
      {"vorel.collections:barrier_3_majority", "Barrier"},
      {"vorel.collections:queue.actor", "Queue"},
      {"vorel.collections:queue_segment_2_majority", "Segment"},
      {"vorel.collections:table_0_one", "Table"},
      {"vorel.collections:table_segment.actor", "Segment"},
      {"vorel.collections:counter", ""},
      {"vorel.collections:counter_3_quorum", ""},
      {"vorel.collections:counter__one", ""},
      {"vorel.collections:entry_x_one", ""},
      {"vorel.collections:entry_1x_one", ""},
      {"vorel.collections:Entry.actor", ""},
      {"vorel.collections:entry_1_quorum", ""},
      {"vorel.collections:entry_1_One", ""},
      {"vorel.collection:entry.actor", ""},
      {"Vorel.collections:entry.actor", ""},
      {"vorel.collections.entry.actor", ""},
      {"vorel.collections:.actor", ""},
      {"vorel.collections:_1_one", ""},
      {"vorel.collections:1_one", ""},
      {"vorel.collections:_one", ""},
      {"vorel.collections:entry.actor.actor", ""},
      {"vorel.collections:stack.actor", ""},
      {"vorel.collections:entry.actor:x", ""},
      {"vorel.collections:entry_1_one ", ""},
      {"x:vorel.collections:entry.actor", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    auto native = collection(c.name);
    if (c.fmt.empty()) {
      EXPECT_EQ(native, nullptr) << c.name;
    } else {
      ASSERT_NE(native, nullptr) << c.name;
      EXPECT_EQ(native->fmt(), c.fmt) << c.name;
    }
  }
  // The two segment kinds share a debug name but not their behaviour.
  EXPECT_NE(dynamic_cast<const table::Segment*>(collection("vorel.collections:table_segment.actor").get()), nullptr);
  EXPECT_NE(dynamic_cast<const queue::Segment*>(collection("vorel.collections:queue_segment_2_majority").get()),
            nullptr);
  EXPECT_NE(collection("vorel.collections:counter.actor"), collection("vorel.collections:counter.actor"))
      << "every type gets a handle of its own";
}

TEST(Collection, TimedKinds) {
  for (std::string kind : {"counter", "register", "entry", "semaphore", "barrier", "queue", "queue_segment", "table",
                           "table_segment"}) {
    auto native = collection("vorel.collections:" + kind + ".actor");
    ASSERT_NE(native, nullptr) << kind;
    EXPECT_EQ(native->timed(), kind == "semaphore" || kind == "barrier") << kind;
  }
}

TEST(Replies, Encodings) {
  EXPECT_EQ(nil(), (Bytes{0xc0}));
  EXPECT_EQ(truth(true), (Bytes{0xc3}));
  EXPECT_EQ(truth(false), (Bytes{0xc2}));
  EXPECT_EQ(number(-1), (Bytes{0xff}));
  EXPECT_EQ(number(200), (Bytes{0xcc, 0xc8}));
  EXPECT_EQ(number(-33), (Bytes{0xd0, 0xdf}));
  EXPECT_EQ(number(INT64_MIN), (Bytes{0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(optional(std::nullopt), (Bytes{0xc0}));
  EXPECT_EQ(optional(ByteView{}), (Bytes{0xc4, 0x00}));
  EXPECT_EQ(optional(view_of("ab")), (Bytes{0xc4, 0x02, 'a', 'b'}));
}

TEST(Replies, OptionalInByCase) {
  struct Case {
    std::string name;
    Parts parts;
    std::optional<Bytes> expected;
  };
  const std::vector<Case> cases = {
      {"bin", {{"value", Bin("xy")}}, Bytes_of("xy")},
      {"empty bin", {{"value", Bin("")}}, Bytes{}},
      {"nil", {{"value", NIL}}, std::nullopt},
      {"int", {{"value", I(3)}}, std::nullopt},
      {"str", {{"value", S("xy")}}, std::nullopt},
      {"cut bin", {{"value", {0xc4, 0x05, 'a'}}}, std::nullopt},
      {"empty part", {{"value", {}}}, std::nullopt},
      {"missing", {{"other", Bin("xy")}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(optional_in(c.parts), c.expected) << c.name;
}

TEST(Message, OpIsTheTextAfterTheLastDot) {
  EXPECT_EQ(message::op_of("Add"), "Add");
  EXPECT_EQ(message::op_of("counter.Add"), "Add");
  EXPECT_EQ(message::op_of("x.y.Add"), "Add");
  EXPECT_EQ(message::op_of("table_segment.Split"), "Split");
  EXPECT_EQ(message::op_of("a."), "");
}

// What message::read makes of each shape, with a reader that knows the field "n" as an integer:
// the op and the value of "n", or the text that refuses the message.
TEST(Message, ReadByCase) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::optional<std::string> op;
    std::optional<std::int64_t> n;
    std::string refusal;
  };
  const Bytes head = cat({{0x92}, S("a.Op")});
  const std::string shapeless(message::kShapeless);
  const std::vector<Case> cases = {
      {"no fields", cat({head, {0x80}}), "Op", std::nullopt, ""},
      {"one field", cat({head, {0x81}, S("n"), I(5)}), "Op", 5, ""},
      {"a later field wins", cat({head, {0x82}, S("n"), I(5), S("n"), I(-6)}), "Op", -6, ""},
      {"unknown fields are skipped whole", cat({head, {0x82}, S("x"), A({A({NIL}), S("z")}), S("n"), I(1)}), "Op", 1,
       ""},
      {"bytes after the map are ignored", cat({head, {0x81}, S("n"), I(2), {0xc1, 0xff}}), "Op", 2, ""},
      {"map 16", cat({head, {0xde, 0x00, 0x01}, S("n"), I(2)}), "Op", 2, ""},
      {"array 16", cat({{0xdc, 0x00, 0x02}, S("Op"), {0x80}}), "Op", std::nullopt, ""},
      {"empty op", cat({{0x92}, S("a."), {0x80}}), "", std::nullopt, ""},
      {"a str for an integer", cat({head, {0x81}, S("n"), S("5")}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is a str, not an integer in the signed 64-bit range)"},
      {"unsigned above the signed range", cat({head, {0x81}, S("n"), U(1ull << 63)}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is 9223372036854775808, not an integer in the signed 64-bit range)"},
      {"a float for an integer", cat({head, {0x81}, S("n"), F(1.5)}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is 1.5, not an integer in the signed 64-bit range)"},
      {"bytes for an integer", cat({head, {0x81}, S("n"), Bin("ab")}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is 2 bytes, not an integer in the signed 64-bit range)"},
      {"nil for an integer", cat({head, {0x81}, S("n"), NIL}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is nil, not an integer in the signed 64-bit range)"},
      {"ends inside a value", cat({head, {0x81}, S("n"), {0xcd, 0x01}}), std::nullopt, std::nullopt,
       R"(a.Op: field "n" is not one complete item)"},
      {"ends inside an unknown value", cat({head, {0x81}, S("x"), {0xc4, 0x09, 0x01}}), std::nullopt, std::nullopt,
       R"(a.Op: field "x" is not one complete item)"},
      {"array of three", cat({{0x93}, S("Op"), {0x80, 0xc0}}), std::nullopt, std::nullopt, shapeless},
      {"array of one", cat({{0x91}, S("Op")}), std::nullopt, std::nullopt, shapeless},
      {"name not a str", cat({{0x92}, Bin("Op"), {0x80}}), std::nullopt, std::nullopt, shapeless},
      {"name not UTF-8", cat({{0x92, 0xa1, 0xff}, {0x80}}), std::nullopt, std::nullopt, shapeless},
      {"fields not a map", cat({head, A({})}), std::nullopt, std::nullopt, shapeless},
      {"key not a str", cat({head, {0x81}, I(1), I(5)}), std::nullopt, std::nullopt, shapeless},
      {"map count above the bytes left", cat({head, {0xdf, 0xff, 0xff, 0xff, 0xff}}), std::nullopt, std::nullopt,
       shapeless},
      {"not an array", S("Op"), std::nullopt, std::nullopt, shapeless},
      {"empty", {}, std::nullopt, std::nullopt, shapeless},
  };
  for (const auto& c : cases) {
    std::optional<std::int64_t> n;
    auto m = message::read(c.bytes, [&](std::string_view key, wire::Reading& r) {
      if (key == "n") return message::integer(r, n);
      return message::skip(r);
    });
    if (c.op) {
      ASSERT_TRUE(m) << c.name << ": " << m.error();
      EXPECT_EQ(m->op, *c.op) << c.name;
      EXPECT_EQ(n, c.n) << c.name;
    } else {
      ASSERT_FALSE(m) << c.name;
      EXPECT_EQ(m.error(), c.refusal) << c.name;
    }
  }
}

// A field reader with a slot of its own, for the table below.
template <class T, message::Checked (*Read)(wire::Reading&, std::optional<T>&)>
message::Checked reads(wire::Reading& r) {
  std::optional<T> slot;
  return Read(r, slot);
}

// Each reader on each value: read, or the form it wanted, which the refusal text shows.
TEST(Message, FieldFormsByCase) {
  using Reader = message::Checked (*)(wire::Reading&);
  const Reader integer = reads<std::int64_t, message::integer>;
  const Reader natural = reads<std::int64_t, message::natural>;
  const Reader bin_or_nil = reads<ByteView, message::bin_or_nil>;
  const Reader bin = reads<ByteView, message::bin>;
  const Reader sixteen = reads<ByteView, message::sixteen>;
  const Reader text_or_nil = reads<std::string_view, message::text_or_nil>;
  const Reader finite_or_nil = reads<double, message::finite_or_nil>;
  const Reader finite = reads<double, message::finite>;
  const Reader target_or_nil = reads<Target, message::target_or_nil>;
  const Reader entity = reads<Target, message::entity>;
  const Reader target = reads<Target, message::target>;
  struct Case {
    std::string name;
    Reader read;
    Bytes value;
    std::string wanted;  // empty: read
  };
  const std::string kInteger = "an integer in the signed 64-bit range";
  const std::vector<Case> cases = {
      {"int fixint", integer, I(3), ""},
      {"int 64", integer, I(INT64_MIN), ""},
      {"uint 64 in range", integer, U(INT64_MAX), ""},
      {"uint 64 above", integer, U(UINT64_MAX), kInteger},
      {"int from float", integer, F(1.0), kInteger},
      {"int from nil", integer, NIL, kInteger},
      {"natural 0", natural, I(0), ""},
      {"natural of the largest", natural, U(INT64_MAX), ""},
      {"natural of -1", natural, I(-1), "an integer from 0 to 9223372036854775807"},
      {"bin", bin, Bin("x"), ""},
      {"bin from str", bin, S("x"), "bytes"},
      {"bin from nil", bin, NIL, "bytes"},
      {"bin or nil from nil", bin_or_nil, NIL, ""},
      {"bin or nil from int", bin_or_nil, I(1), "bytes or nil"},
      {"sixteen bytes", sixteen, Bin(Bytes(16, 1)), ""},
      {"fifteen bytes", sixteen, Bin(Bytes(15, 1)), "16 bytes"},
      {"text or nil", text_or_nil, S("id"), ""},
      {"text or nil from bin", text_or_nil, Bin("id"), "a str or nil"},
      {"float64", finite, F(1.5), ""},
      {"float32", finite, F32(1.5f), ""},
      {"float from int", finite, I(1), "a finite float"},
      {"NaN", finite, F(std::nan("")), "a finite float"},
      {"infinity", finite, F(HUGE_VAL), "a finite float"},
      {"minus infinity", finite, F(-HUGE_VAL), "a finite float"},
      {"float32 infinity", finite, F32(HUGE_VALF), "a finite float"},
      {"float or nil from nil", finite_or_nil, NIL, ""},
      {"float or nil from infinity", finite_or_nil, F(HUGE_VAL), "a finite float or nil"},
      {"target", target, T(R), ""},
      {"target from nil", target, NIL, "a ref"},
      {"target of another tag", target, A({S("x"), S("a"), S("k")}), "a ref"},
      {"target or nil from a str", target_or_nil, S("r"), "a ref or nil"},
      {"entity", entity, T(Target::entity("a", "k")), ""},
      {"entity from a reply target", entity, T(R), "a ref to a key"},
  };
  for (const auto& c : cases) {
    wire::Reading r(c.value);
    EXPECT_EQ(c.read(r).wanted, c.wanted) << c.name;
  }
}

TEST(Message, ShownValuesByCase) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {NIL, "nil"},          {TRUE, "true"},         {I(-3), "-3"},          {U(UINT64_MAX), "18446744073709551615"},
      {F(HUGE_VAL), "inf"},  {F(-HUGE_VAL), "-inf"}, {F(std::nan("")), "nan"}, {F(0.25), "0.25"},
      {S("x"), "a str"},     {Bin("x"), "1 byte"},   {Bin(""), "0 bytes"},   {A({}), "an array"},
      {Bytes{0x80}, "a map"}, {Bytes{0xc1}, "unreadable"}, {T(R), "a ref to a reply"},
      {T(Target::entity("a", "k")), "a ref to a key"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(message::shown(wire::Reading(value)), text) << text;
}

// The collection of a Counter message shows the shared rules on a real kind.
TEST(Message, ReplyToTwiceAnswersTheSecondAndNilCountsAsAbsent) {
  Key counter(std::make_shared<Counter>());
  const Target first = caller(1);
  const Target second = caller(2);
  auto turn = counter.message(msg("Get", {{"reply_to", T(first)}, {"reply_to", T(second)}}));
  ASSERT_EQ(turn.sends.size(), 1u);
  EXPECT_EQ(turn.sends[0].target, second);

  const std::string missing = R"(Get: field "reply_to" is missing)";
  EXPECT_EQ(refused(counter.turn(msg("Get", {{"reply_to", T(first)}, {"reply_to", NIL}}))), missing);
  EXPECT_EQ(refused(counter.turn(msg("Get", {{"reply_to", NIL}}))), missing);
}

// Reported fault: a message a collection would not act on was dropped without a word, and its asker
// learned of it only at its ask timeout. A refusal changes nothing, sends nothing and keeps the
// deadline the parts hold; an input that is no message (a tick) stays unrecognised.
TEST(Native, StepOfARefusedOrUnrecognisedInputChangesNothing) {
  Key counter(std::make_shared<Counter>());
  const Parts before = counter.parts;
  const Bytes unknown = msg("Unknown", {{"reply_to", T(R)}});
  const Bytes cut{0x92};
  for (const auto& [input, refusal] :
       std::vector<std::pair<Input, std::optional<std::string>>>{
           {Input::message(unknown), R"(a counter has no op "Unknown")"},
           {Input::message(cut), std::string(message::kShapeless)},
           {Input::tick(), std::nullopt},
       }) {
    Namer names;
    const auto turned = counter.native->turn(counter.parts, input, 5.0, names);
    EXPECT_EQ(refused(turned), refusal);
    EXPECT_EQ(turned.has_value(), refusal.has_value());
    const Turn turn = counter.native->step(counter.parts, input, 5.0, names);
    EXPECT_FALSE(turn.parts || turn.wake || turn.asking || turn.delete_ || !turn.sends.empty());
    EXPECT_EQ(turn.refusal.has_value(), refusal.has_value());
    if (refusal) {
      EXPECT_EQ(turn.refusal->error, "ValueError");
      EXPECT_EQ(turn.refusal->text, *refusal);
    }
    EXPECT_EQ(counter.parts, before);
  }
}

TEST(Native, DisposableByDefaultWhenThePartsEqualTheInitialOnes) {
  const Counter counter;
  EXPECT_TRUE(counter.disposable(counter.initial(0.0), 0.0));
  EXPECT_TRUE(counter.disposable(Parts{{".", {0x00}}}, 0.0));
  EXPECT_FALSE(counter.disposable(Parts{{".", {0x01}}}, 0.0));
  EXPECT_FALSE(counter.disposable(Parts{{".", {0xd0, 0x00}}}, 0.0)) << "the same value in other bytes";
  EXPECT_FALSE(counter.disposable(Parts{{".", {0x00}}, {"x", {0x00}}}, 0.0));
  EXPECT_FALSE(counter.disposable(Parts{}, 0.0));
}

TEST(Input, BytesOfEachVariant) {
  const Bytes m{1, 2};
  const Bytes a{3};
  EXPECT_EQ(Input::tick().bytes(), std::nullopt);
  ASSERT_TRUE(Input::message(m).bytes());
  EXPECT_EQ(Input::message(m).bytes()->data(), m.data());
  ASSERT_TRUE(Input::answer(m, a).bytes());
  EXPECT_EQ(Input::answer(m, a).bytes()->data(), m.data());
}

}  // namespace
}  // namespace vorel::core::collections
