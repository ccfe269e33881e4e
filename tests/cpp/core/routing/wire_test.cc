#include "core/routing/wire.hpp"

#include <gtest/gtest.h>

#include <random>

#include "testing/bytes.hpp"
#include "testing/ids.hpp"

namespace vorel::core::routing {
namespace {

using msgpack::Malformed;
using testing::cat;
using testing::Refusal;
using B = Bytes;

B s(std::string_view text) { return testing::str(text); }

const NodeId kZero = testing::zero_id();
B zero_node() { return testing::zero_id_bytes(); }

Deliver tell(B message) { return Deliver{"a", "k", std::move(message), std::nullopt, Chain{}}; }

Chain chain_of(std::size_t n) {
  std::vector<chain::Link> links;
  for (std::size_t i = 0; i < n; ++i) links.push_back(chain::Link{"t" + std::to_string(i), "k", i});
  return Chain::of(std::move(links));
}

TEST(RoutingWire, AnswerBytes) {
  const B expected = cat({{0x92}, s("Reply"), {0x82}, s("id"), {0x07}, s("outcome"), {0x92}, s("Value"), {0x81},
                          s("data"), {0xc4, 0x01, 0x01}});
  ASSERT_EQ(expected.size(), 36u);
  const Outcome value{Outcome::Value{{0x01}}};
  EXPECT_EQ(wire::encode_answer(7, value), expected);
  EXPECT_EQ(wire::answer_size(7, value), 36u);
  auto back = wire::decode_answer(expected);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->first, 7);
  EXPECT_EQ(back->second, value);
}

TEST(RoutingWire, RoutedBytes) {
  const Routed routed{tell({0x01}), kZero, 0};
  const auto bytes = wire::encode(wire::Message{routed});
  EXPECT_EQ(bytes.size(), 115u);
  const B head = cat({{0x92}, s("Routed"), {0x83}, s("command"), {0x92}, s("Deliver"), {0x84}});
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
  EXPECT_EQ(wire::routed_size(routed.command, kZero), 131u);
  const auto wrong = wire::encode(wire::Message{wire::WrongOwner{Routed{tell({0x01}), kZero, UINT32_MAX}}});
  EXPECT_EQ(wrong.size(), 131u);
}

std::vector<Outcome> every_outcome(B data) {
  return {Outcome{Outcome::Value{std::move(data)}},
          Outcome{Outcome::Failed{"a", "k", "ValueError", "bad"}},
          Outcome::missing("a", "k"),
          Outcome::full("a", "k"),
          Outcome::unreached("a", "k"),
          Outcome{Outcome::Unknown{"a", "k"}},
          Outcome{Outcome::TooLarge{"too large"}},
          Outcome{Outcome::Cycle{"a/k -> a/k"}}};
}

TEST(RoutingWire, AnswerSizeIsTheEncodedLength) {
  for (std::size_t n : {0u, 1u, 255u, 256u, 65'535u, 65'536u, 70'000u}) {
    for (const auto& outcome : every_outcome(B(n, 0xab))) {
      for (std::int64_t id : std::vector<std::int64_t>{0, -1, 300, INT64_MIN}) {
        const auto bytes = wire::encode_answer(id, outcome);
        EXPECT_EQ(wire::answer_size(id, outcome), bytes.size()) << outcome.name() << " " << n;
        auto back = wire::decode_answer(bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, std::make_pair(id, outcome));
      }
    }
  }
}

std::vector<Command> every_command(B large) {
  const Target ask = Target::reply(testing::id(3), -5);
  return {Start{"a", "k", std::nullopt}, Start{"a", "k", B{}}, Start{"a", "k", large},
          tell(large), Deliver{"a", "k", large, ask, chain_of(3)}, Deliver{"a", "k", B{0x01}, ask, Chain{}}};
}

TEST(RoutingWire, RoutedSizeIsTheLongestForm) {
  for (std::size_t n : {0u, 255u, 256u, 65'535u, 65'536u}) {
    for (const auto& command : every_command(B(n, 0x11))) {
      for (const auto& origin : {kZero, testing::id(9)}) {
        const auto longest = wire::encode(wire::Message{wire::WrongOwner{Routed{command, origin, UINT32_MAX}}});
        EXPECT_EQ(wire::routed_size(command, origin), longest.size()) << n;
        for (std::uint32_t attempt : {0u, 200u, 70'000u, UINT32_MAX}) {
          EXPECT_LE(wire::encode(wire::Message{Routed{command, origin, attempt}}).size(), longest.size());
        }
      }
    }
  }
}

std::vector<wire::Message> every_message() {
  std::vector<wire::Message> out;
  for (auto& command : every_command(B(300, 0x22))) {
    out.push_back(wire::Message{Routed{command, testing::id(4), 7}});
    out.push_back(wire::Message{wire::WrongOwner{Routed{command, kZero, 70'000}}});
  }
  out.push_back(wire::Message{wire::Cancel{"a", "k", Target::reply(testing::id(5), 42)}});
  out.push_back(wire::Message{wire::Cancel{"a", "k", Target::entity("b", "j")}});
  return out;
}

TEST(RoutingWire, EveryMessageRoundTrips) {
  for (const auto& m : every_message()) {
    const auto bytes = wire::encode(m);
    auto back = wire::decode(bytes);
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, m);
    B longer = bytes;
    longer.insert(longer.end(), {0xc1, 0xff});
    auto again = wire::decode(longer);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, m);
  }
}

TEST(RoutingWire, EmptyChainIsLeftOutAndLongChainsKeepTheirNewest) {
  const auto bytes = wire::encode(wire::Message{Routed{tell({}), kZero, 0}});
  const B deliver_head = cat({s("Deliver"), {0x84}});
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), deliver_head.begin(), deliver_head.end()), bytes.end());

  // Written by hand: a chain of 20 links, which no writer makes.
  B links = {0xdc, 0x00, 0x14};
  for (int i = 0; i < 20; ++i) {
    links = cat({links, {0x83}, s("actor"), s("t" + std::to_string(i)), s("key"), s("k"), s("hold"),
                 {static_cast<std::uint8_t>(i)}});
  }
  const B routed = cat({{0x92}, s("Routed"), {0x83}, s("command"), {0x92}, s("Deliver"), {0x84}, s("actor"), s("a"),
                        s("key"), s("k"), s("message"), {0xc4, 0x00}, s("chain"), links, s("origin"), zero_node(),
                        s("attempt"), {0x00}});
  auto got = wire::decode(routed);
  ASSERT_TRUE(got) << got.error().text();
  const auto& deliver = std::get<Deliver>(std::get<Routed>(got->variant).command);
  ASSERT_EQ(deliver.chain.links().size(), 16u);
  EXPECT_EQ(deliver.chain.links().front().actor, "t4");
  EXPECT_EQ(deliver.chain.links().back().actor, "t19");
}

TEST(RoutingWire, StartStateNilAndEmpty) {
  const auto none = wire::encode(wire::Message{Routed{Start{"a", "k", std::nullopt}, kZero, 0}});
  const B nil_state = cat({s("state"), {0xc0}});
  EXPECT_NE(std::search(none.begin(), none.end(), nil_state.begin(), nil_state.end()), none.end());
  const auto empty = wire::encode(wire::Message{Routed{Start{"a", "k", B{}}, kZero, 0}});
  const B empty_state = cat({s("state"), {0xc4, 0x00}});
  EXPECT_NE(std::search(empty.begin(), empty.end(), empty_state.begin(), empty_state.end()), empty.end());
}

TEST(RoutingWireDeathTest, EntityReplyTargetIsABrokenInvariant) {
  const Deliver wrong{"a", "k", {}, Target::entity("b", "j"), Chain{}};
  EXPECT_DEATH(wire::encode(wire::Message{Routed{wrong, kZero, 0}}), "a command answers a request, never an entity");
}

// A Routed written by hand around a command map.
B routed_with(B command, B attempt = {0x00}) {
  return cat({{0x92}, s("Routed"), {0x83}, s("command"), command, s("origin"), zero_node(), s("attempt"), attempt});
}

B deliver_map(std::uint8_t entries, std::initializer_list<B> rest) {
  return cat({{0x92}, s("Deliver"), {static_cast<std::uint8_t>(0x80 | entries)}, s("actor"), s("a"), s("key"),
              s("k"), cat(rest)});
}

B reply_target(std::string_view tag, B id) {
  return cat({{0x92}, s(tag), {0x82}, s("node"), zero_node(), s("id"), id});
}

using ReadCase = testing::Reading<wire::Message>;

class RoutingWireReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(RoutingWireReads, Tolerantly) {
  auto got = wire::decode(GetParam().bytes);
  ASSERT_TRUE(got) << got.error().text();
  EXPECT_EQ(*got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoutingWireReads,
    ::testing::Values(
        ReadCase{"reply_target_of_another_tag",
                 routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("reply"), reply_target("Other", {0xff})})),
                 wire::Message{Routed{Deliver{"a", "k", {}, Target::reply(kZero, -1), Chain{}}, kZero, 0}}},
        ReadCase{"state_nil_after_a_state_keeps_it",
                 routed_with(cat({{0x92}, s("Start"), {0x84}, s("actor"), s("a"), s("key"), s("k"), s("state"),
                                  {0xc4, 0x01, 0x09}, s("state"), {0xc0}})),
                 wire::Message{Routed{Start{"a", "k", B{0x09}}, kZero, 0}}},
        ReadCase{"entries_of_the_other_command_are_discarded",
                 routed_with(cat({{0x92}, s("Start"), {0x84}, s("actor"), s("a"), s("key"), s("k"), s("message"),
                                  {0xc4, 0x01, 0x09}, s("chain"), {0x90}})),
                 wire::Message{Routed{Start{"a", "k", std::nullopt}, kZero, 0}}},
        ReadCase{"largest_attempt", routed_with(deliver_map(3, {s("message"), {0xc4, 0x00}}), {0xce, 0xff, 0xff, 0xff, 0xff}),
                 wire::Message{Routed{tell({}), kZero, UINT32_MAX}}},
        ReadCase{"wrong_owner_later_routed_wins",
                 cat({{0x92}, s("WrongOwner"), {0x83}, s("routed"), {0x83}, s("command"),
                      cat({{0x92}, s("Start"), {0x82}, s("actor"), s("a"), s("key"), s("k")}), s("origin"),
                      zero_node(), s("attempt"), {0x01}, s("x"), {0xc0}, s("routed"), {0x83},
                      s("command"), deliver_map(3, {s("message"), {0xc4, 0x00}}), s("origin"), zero_node(),
                      s("attempt"), {0x02}}),
                 wire::Message{wire::WrongOwner{Routed{tell({}), kZero, 2}}}},
        ReadCase{"cancel_with_an_extra_key",
                 cat({{0x92}, s("Cancel"), {0x84}, s("actor"), s("a"), s("x"), {0x91, 0x01}, s("key"), s("k"),
                      s("request"), {0x93}, s("e"), s("b"), s("j")}),
                 wire::Message{wire::Cancel{"a", "k", Target::entity("b", "j")}}}),
    [](const auto& info) { return std::string(info.param.name); });

class RoutingWireRefuses : public ::testing::TestWithParam<testing::Refusal> {};

TEST_P(RoutingWireRefuses, WithItsCase) {
  auto got = wire::decode(GetParam().bytes);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoutingWireRefuses,
    ::testing::Values(
        Refusal{"empty", {}, Malformed::truncated()},
        Refusal{"outer_array_of_three", cat({{0x93}, s("Routed"), {0x80}, {0xc0}}), Malformed::marker(0x00)},
        Refusal{"unknown_name", cat({{0x92}, s("Nope"), {0x80}}), Malformed::marker(0x00)},
        Refusal{"routed_without_origin",
                cat({{0x92}, s("Routed"), {0x82}, s("command"), deliver_map(3, {s("message"), {0xc4, 0x00}}),
                     s("attempt"), {0x00}}),
                Malformed::truncated()},
        Refusal{"attempt_too_large",
                routed_with(deliver_map(3, {s("message"), {0xc4, 0x00}}), {0xcf, 0, 0, 0, 1, 0, 0, 0, 0}),
                Malformed::truncated()},
        Refusal{"negative_attempt", routed_with(deliver_map(3, {s("message"), {0xc4, 0x00}}), {0xff}),
                Malformed::marker(0x00)},
        Refusal{"deliver_without_message", routed_with(deliver_map(2, {})), Malformed::truncated()},
        Refusal{"start_without_key",
                routed_with(cat({{0x92}, s("Start"), {0x81}, s("actor"), s("a")})), Malformed::truncated()},
        Refusal{"unknown_command", routed_with(cat({{0x92}, s("Stop"), {0x80}})), Malformed::marker(0x00)},
        Refusal{"command_array_of_one", routed_with(cat({{0x91}, s("Start")})), Malformed::marker(0x00)},
        Refusal{"reply_target_with_empty_map",
                routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("reply"), {0x92}, s("ReplyTarget"), {0x80}})),
                Malformed::truncated()},
        Refusal{"reply_target_without_id",
                routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("reply"), {0x92}, s("ReplyTarget"), {0x81},
                                            s("node"), zero_node()})),
                Malformed::truncated()},
        Refusal{"reply_id_above_i64",
                routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("reply"),
                                            reply_target("ReplyTarget", {0xcf, 0x80, 0, 0, 0, 0, 0, 0, 0})})),
                Malformed::marker(0x00)},
        Refusal{"link_without_hold",
                routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("chain"), {0x91, 0x82}, s("actor"), s("a"),
                                            s("key"), s("k")})),
                Malformed::truncated()},
        Refusal{"negative_hold",
                routed_with(deliver_map(4, {s("message"), {0xc4, 0x00}, s("chain"), {0x91, 0x83}, s("actor"), s("a"),
                                            s("key"), s("k"), s("hold"), {0xff}})),
                Malformed::marker(0x00)},
        Refusal{"message_not_bin", routed_with(deliver_map(3, {s("message"), s("x")})), Malformed::marker(0xa1)},
        Refusal{"wrong_owner_without_routed", cat({{0x92}, s("WrongOwner"), {0x80}}), Malformed::truncated()},
        Refusal{"cancel_without_request", cat({{0x92}, s("Cancel"), {0x82}, s("actor"), s("a"), s("key"), s("k")}),
                Malformed::truncated()},
        Refusal{"actor_not_utf8", routed_with(cat({{0x92}, s("Start"), {0x81}, s("actor"), {0xa1, 0xff}})),
                Malformed::not_utf8()}),
    [](const auto& info) { return std::string(info.param.name); });

B answer_with(B outcome) { return cat({{0x92}, s("Reply"), {0x82}, s("id"), {0x01}, s("outcome"), outcome}); }

TEST(RoutingWireAnswer, ReadsTolerantlyAndRefusesWhatItCannotRead) {
  auto missing = wire::decode_answer(answer_with(cat({{0x92}, s("Missing"), {0x80}})));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->second, Outcome::missing("", ""));
  auto skipped = wire::decode_answer(
      answer_with(cat({{0x92}, s("TooLarge"), {0x83}, s("actor"), s("a"), s("z"), {0x90}, s("message"), s("m")})));
  ASSERT_TRUE(skipped);
  EXPECT_EQ(skipped->second, (Outcome{Outcome::TooLarge{"m"}}));
  auto negative = wire::decode_answer(cat({{0x92}, s("Reply"), {0x82}, s("id"), {0xff}, s("outcome"), {0x92},
                                           s("Full"), {0x80}}));
  ASSERT_TRUE(negative);
  EXPECT_EQ(negative->first, -1);

  const std::vector<std::pair<B, Malformed>> bad = {
      {answer_with(cat({{0x92}, s("Maybe"), {0x80}})), Malformed::marker(0x00)},
      {answer_with(cat({{0x93}, s("Full"), {0x80}, {0xc0}})), Malformed::marker(0x00)},
      {cat({{0x92}, s("Answer"), {0x80}}), Malformed::marker(0x00)},
      {cat({{0x92}, s("Reply"), {0x81}, s("id"), {0x01}}), Malformed::truncated()},
      {cat({{0x92}, s("Reply"), {0x81}, s("outcome"), {0x92}, s("Full"), {0x80}}), Malformed::truncated()},
      {cat({{0x92}, s("Reply"), {0x82}, s("id"), {0xcf, 0x80, 0, 0, 0, 0, 0, 0, 0}, s("outcome"), {0x92}, s("Full"),
            {0x80}}),
       Malformed::marker(0x00)},
  };
  for (const auto& [bytes, error] : bad) {
    auto got = wire::decode_answer(bytes);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), error);
  }
}

// Random, truncated and mutated payloads never crash or read past the payload, and what reads
// writes back into bytes that read the same.
TEST(RoutingWire, Fuzz) {
  std::mt19937_64 rng(1106);
  std::vector<B> messages, answers;
  for (const auto& m : every_message()) messages.push_back(wire::encode(m));
  for (const auto& o : every_outcome(B(20, 0x33))) answers.push_back(wire::encode_answer(-3, o));
  for (int round = 0; round < 20'000; ++round) {
    const B seed = messages[rng() % messages.size()];
    const testing::Exact message(testing::fuzz_input(rng, round, seed, 64));
    if (auto got = wire::decode(message.view())) {
      auto again = wire::decode(wire::encode(*got));
      ASSERT_TRUE(again);
      EXPECT_EQ(*again, *got);
    }
    const B answer_seed = answers[rng() % answers.size()];
    const testing::Exact answer(testing::fuzz_input(rng, round, answer_seed, 64));
    if (auto got = wire::decode_answer(answer.view())) {
      auto again = wire::decode_answer(wire::encode_answer(got->first, got->second));
      ASSERT_TRUE(again);
      EXPECT_EQ(*again, *got);
    }
  }
}

}  // namespace
}  // namespace vorel::core::routing
