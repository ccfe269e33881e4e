#include "core/replication/wire.hpp"

#include <gtest/gtest.h>

#include <random>

#include "core/replication/sample.hpp"
#include "testing/bytes.hpp"
#include "testing/ids.hpp"

namespace vorel::core::replication {
namespace {

using handoff::messages::Pull;
using messages::Reply;
using messages::Request;
using msgpack::Malformed;
using sample::node;
using sample::pages;
using sample::stamp;
using testing::cat;
using testing::Refusal;
using B = Bytes;

B s(std::string_view text) { return testing::str(text); }

const NodeId kZero = testing::zero_id();
B zero_node() { return testing::zero_id_bytes(); }

TEST(ReplicationWire, PrepareBytes) {
  const B expected = cat({{0x92}, s("Prepare"), {0x83}, s("actor"), s("a"), s("key"), s("k"), s("epoch"), {0x82},
                          s("round"), {0x01}, s("node"), zero_node()});
  ASSERT_EQ(expected.size(), 83u);
  const auto bytes = wire::encode(wire::Message{Request{messages::Prepare{"a", "k", Epoch{1, kZero}}}});
  EXPECT_EQ(bytes, expected);
  auto back = wire::decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, (wire::Message{Request{messages::Prepare{"a", "k", Epoch{1, kZero}}}}));
}

TEST(ReplicationWire, HandOffMessagesNameATypeAndNoKey) {
  const B expected = cat({{0x92}, s("TookKeys"), {0x83}, s("actor"), s("a"), s("replica"), zero_node(), s("keys"),
                          {0x91}, s("k")});
  EXPECT_EQ(wire::encode(wire::Message{Pull{handoff::messages::TookKeys{"a", kZero, {"k"}}}}), expected);
}

std::vector<wire::Message> every_message() {
  const NodeId a = node(1), r = node(2, false);
  const Epoch e{7, a};
  const Stamp st = stamp(7, a, 3);
  const Pages p = pages({{"b", "2"}, {"a", ""}, {"@active", ""}});
  return {
      {Request{messages::Prepare{"t", "k", e}}},
      {Request{messages::Accept{"t", "k", st, std::nullopt, 0, false, p, {}}}},
      {Request{messages::Accept{"t", "k", st, stamp(6, r, 9), 4'294'967'295u, true, {}, {"x", "y"}}}},
      {Request{messages::Fetch{"t", "k", e, {"a", "b"}, 2}}},
      {Request{messages::Bury{"t", "k", st, r}}},
      {Reply{messages::Promise{"t", "k", e, r, st, {{"a", 0}, {"b", 1u << 20}}, p, true}}},
      {Reply{messages::Promise{"", "", e, r, std::nullopt, {}, {}, false}}},
      {Reply{messages::Rejected{"t", "k", r, e}}},
      {Reply{messages::Pages{"t", "k", e, st, 1, true, p}}},
      {Reply{messages::Pages{"t", "k", e, std::nullopt, 0, false, {}}}},
      {Reply{messages::Accepted{"t", "k", st, r, true}}},
      {Reply{messages::NeedFull{"t", "k", st, r}}},
      {Reply{messages::Buried{"t", "k", st, r, false}}},
      {Pull{handoff::messages::PullRange{"t", a, 3, {{1, 2}, {UINT64_MAX, 0}, {5, 5}}}}},
      {Pull{handoff::messages::PullRange{"t", r, 0, {}}}},
      {Pull{handoff::messages::RangeKeys{
          "t", r, 3, 9, 2, true, true,
          {messages::Copy{"k1", st, e, p, 0, false}, messages::Copy{"k2", std::nullopt, std::nullopt, {}, 7, true}}}}},
      {Pull{handoff::messages::HandKeys{"t", a, 9, 0, false, {messages::Copy{"k", st, std::nullopt, {}, 1, true}}}}},
      {Pull{handoff::messages::TookKeys{"t", r, {"k1", "k2"}}}},
  };
}

TEST(ReplicationWire, EveryMessageRoundTrips) {
  for (const auto& m : every_message()) {
    const auto bytes = wire::encode(m);
    auto back = wire::decode(bytes);
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, m);
    // Bytes after the message are not looked at.
    B longer = bytes;
    longer.insert(longer.end(), {0xc1, 0x00, 0xff});
    auto again = wire::decode(longer);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, m);
  }
}

TEST(ReplicationWire, PagesAreWrittenInNameOrder) {
  const wire::Message m{Reply{messages::Pages{"t", "k", Epoch{1, kZero}, std::nullopt, 0, true,
                                              pages({{"b", "2"}, {"a", "1"}})}}};
  const auto bytes = wire::encode(m);
  const B tail = cat({s("pages"), {0x92, 0x92}, s("a"), {0xc4, 0x01, '1', 0x92}, s("b"), {0xc4, 0x01, '2'}});
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(tail.size())));
}

// A message written by hand: [name, {entries...}] with the given entry count.
B message(std::string_view name, std::uint8_t entries, std::initializer_list<B> body) {
  return cat({{0x92}, s(name), {static_cast<std::uint8_t>(0x80 | entries)}, cat(body)});
}

B epoch1() { return cat({{0x82}, s("round"), {0x01}, s("node"), zero_node()}); }
B stamp1() { return cat({{0x82}, s("epoch"), epoch1(), s("version"), {0x02}}); }
const Stamp kStamp1{Epoch{1, kZero}, 2};

using ReadCase = testing::Reading<wire::Message>;

class ReplicationWireReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReplicationWireReads, Tolerantly) {
  auto got = wire::decode(GetParam().bytes);
  ASSERT_TRUE(got) << got.error().text();
  EXPECT_EQ(*got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplicationWireReads,
    ::testing::Values(
        ReadCase{"base_nil_reads_as_no_base",
                 message("Accept", 2, {s("stamp"), stamp1(), s("base"), {0xc0}}),
                 {Request{messages::Accept{"", "", kStamp1, std::nullopt, 0, false, {}, {}}}}},
        ReadCase{"unknown_entry_skipped_whole",
                 message("Prepare", 3,
                         {s("extra"), {0x92, 0x81, 0xa1, 'x', 0x93, 0x01, 0xc0, 0xc4, 0x00, 0xcb}, B(8, 0), s("epoch"),
                          epoch1(), s("key"), s("k")}),
                 {Request{messages::Prepare{"", "k", Epoch{1, kZero}}}}},
        ReadCase{"later_key_wins",
                 message("Prepare", 3, {s("key"), s("first"), s("epoch"), epoch1(), s("key"), s("second")}),
                 {Request{messages::Prepare{"", "second", Epoch{1, kZero}}}}},
        ReadCase{"no_actor_and_no_key", message("Prepare", 1, {s("epoch"), epoch1()}),
                 {Request{messages::Prepare{"", "", Epoch{1, kZero}}}}},
        ReadCase{"stamp_tag_not_compared",
                 message("Pages", 2, {s("epoch"), epoch1(), s("accepted"), {0x92}, s("Epoch"), stamp1()}),
                 {Reply{messages::Pages{"", "", Epoch{1, kZero}, kStamp1, 0, false, {}}}}},
        ReadCase{"largest_part",
                 message("Pages", 2, {s("epoch"), epoch1(), s("part"), {0xce, 0xff, 0xff, 0xff, 0xff}}),
                 {Reply{messages::Pages{"", "", Epoch{1, kZero}, std::nullopt, 4'294'967'295u, false, {}}}}},
        ReadCase{"part_in_a_signed_form",
                 message("Pages", 2, {s("epoch"), epoch1(), s("part"), {0xd0, 0x05}}),
                 {Reply{messages::Pages{"", "", Epoch{1, kZero}, std::nullopt, 5, false, {}}}}},
        ReadCase{"page_named_twice_keeps_the_later",
                 message("Pages", 2,
                         {s("epoch"), epoch1(), s("pages"), {0x92, 0x92}, s("a"), {0xc4, 0x01, '1', 0x92}, s("a"),
                          {0xc4, 0x01, '2'}}),
                 {Reply{messages::Pages{"", "", Epoch{1, kZero}, std::nullopt, 0, false, pages({{"a", "2"}})}}}},
        ReadCase{"took_keys_share_the_slot_of_names",
                 message("TookKeys", 3,
                         {s("replica"), zero_node(), s("keys"), {0x91}, s("a"), s("names"), {0x91}, s("b")}),
                 {Pull{handoff::messages::TookKeys{"", kZero, {"b"}}}}},
        ReadCase{"empty_copy_map",
                 message("HandKeys", 2, {s("node"), zero_node(), s("keys"), {0x91, 0x80}}),
                 {Pull{handoff::messages::HandKeys{"", kZero, 0, 0, false, {messages::Copy{}}}}}},
        ReadCase{"copy_map_tolerant",
                 message("RangeKeys", 2,
                         {s("replica"), zero_node(), s("keys"), {0x91, 0x85}, s("promised"), {0x92}, s("Stamp"),
                          epoch1(), s("x"), {0x91, 0x01}, s("key"), s("a"), s("key"), s("b"), s("accepted"),
                          {0xc0}}),
                 {Pull{handoff::messages::RangeKeys{
                     "", kZero, 0, 0, 0, false, false,
                     {messages::Copy{"b", std::nullopt, Epoch{1, kZero}, {}, 0, false}}}}}},
        ReadCase{"range_with_extra_key",
                 message("PullRange", 2,
                         {s("node"), zero_node(), s("ranges"), {0x91, 0x83}, s("end"), {0x02}, s("z"), {0xc0},
                          s("start"), {0x01}}),
                 {Pull{handoff::messages::PullRange{"", kZero, 0, {{1, 2}}}}}},
        ReadCase{"epoch_map_with_extra_key_and_node_first",
                 message("Prepare", 1,
                         {s("epoch"), {0x83}, s("node"), zero_node(), s("x"), {0x90}, s("round"), {0x09}}),
                 {Request{messages::Prepare{"", "", Epoch{9, kZero}}}}}),
    [](const auto& info) { return std::string(info.param.name); });

class ReplicationWireRefuses : public ::testing::TestWithParam<testing::Refusal> {};

TEST_P(ReplicationWireRefuses, WithItsCase) {
  auto got = wire::decode(GetParam().bytes);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplicationWireRefuses,
    ::testing::Values(
        Refusal{"empty", {}, Malformed::truncated()},
        Refusal{"outer_not_an_array", {0x81}, Malformed::marker(0x81)},
        Refusal{"outer_array_of_three", cat({{0x93}, s("Prepare"), {0x80, 0xc0}}), Malformed::marker(0x00)},
        Refusal{"map_wanted", cat({{0x92}, s("Prepare"), {0x90}}), Malformed::marker(0x90)},
        Refusal{"entry_count_beyond_the_bytes", cat({{0x92}, s("Prepare"), {0xdf, 0xff, 0xff, 0xff, 0xff}}),
                Malformed::truncated()},
        Refusal{"unknown_name", message("Nope", 0, {}), Malformed::marker(0x00)},
        Refusal{"promise_without_replica", message("Promise", 1, {s("epoch"), epoch1()}), Malformed::truncated()},
        Refusal{"prepare_without_epoch", message("Prepare", 0, {}), Malformed::truncated()},
        Refusal{"bury_without_node", message("Bury", 1, {s("stamp"), stamp1()}), Malformed::truncated()},
        Refusal{"rejected_without_promised", message("Rejected", 1, {s("replica"), zero_node()}),
                Malformed::truncated()},
        Refusal{"accepted_without_stamp", message("Accepted", 1, {s("replica"), zero_node()}), Malformed::truncated()},
        Refusal{"epoch_without_round", message("Prepare", 1, {s("epoch"), {0x81}, s("node"), zero_node()}),
                Malformed::truncated()},
        Refusal{"empty_epoch_map", message("Prepare", 1, {s("epoch"), {0x80}}), Malformed::truncated()},
        Refusal{"stamp_without_version", message("Accept", 1, {s("stamp"), {0x81}, s("epoch"), epoch1()}),
                Malformed::truncated()},
        Refusal{"part_too_large",
                message("Pages", 2, {s("epoch"), epoch1(), s("part"), {0xcf, 0, 0, 0, 1, 0, 0, 0, 0}}),
                Malformed::truncated()},
        Refusal{"negative_part", message("Pages", 2, {s("epoch"), epoch1(), s("part"), {0xff}}),
                Malformed::marker(0x00)},
        Refusal{"negative_round", message("Prepare", 1, {s("epoch"), {0x82}, s("round"), {0xd0, 0x80}, s("node"),
                                                         zero_node()}),
                Malformed::marker(0x00)},
        Refusal{"final_not_a_bool", message("Accept", 2, {s("stamp"), stamp1(), s("final"), {0x01}}),
                Malformed::marker(0x01)},
        Refusal{"base_array_of_one", message("Accept", 2, {s("stamp"), stamp1(), s("base"), {0x91}, s("Stamp")}),
                Malformed::marker(0x00)},
        Refusal{"negative_size",
                message("Promise", 3, {s("epoch"), epoch1(), s("replica"), zero_node(), s("sizes"), {0x91, 0x92},
                                       s("a"), {0xff}}),
                Malformed::marker(0x00)},
        Refusal{"page_pair_of_three",
                message("Pages", 2, {s("epoch"), epoch1(), s("pages"), {0x91, 0x93}, s("a"), {0xc4, 0x00, 0xc0}}),
                Malformed::marker(0x00)},
        Refusal{"size_pair_of_one",
                message("Promise", 3, {s("epoch"), epoch1(), s("replica"), zero_node(), s("sizes"), {0x91, 0x91},
                                       s("a")}),
                Malformed::marker(0x00)},
        Refusal{"range_without_end", message("PullRange", 2, {s("node"), zero_node(), s("ranges"), {0x91, 0x81},
                                                                s("start"), {0x01}}),
                Malformed::truncated()},
        Refusal{"negative_transfer", message("PullRange", 2, {s("node"), zero_node(), s("transfer"), {0xff}}),
                Malformed::marker(0x00)},
        Refusal{"copy_not_a_map", message("HandKeys", 2, {s("node"), zero_node(), s("keys"), {0x91, 0x90}}),
                Malformed::marker(0x90)},
        Refusal{"promised_array_of_three",
                message("HandKeys", 2, {s("node"), zero_node(), s("keys"), {0x91, 0x81}, s("promised"), {0x93},
                                        s("Epoch"), epoch1(), {0xc0}}),
                Malformed::marker(0x00)},
        Refusal{"copy_part_too_large",
                message("HandKeys", 2, {s("node"), zero_node(), s("keys"), {0x91, 0x81}, s("part"),
                                        {0xcf, 0, 0, 0, 1, 0, 0, 0, 0}}),
                Malformed::truncated()},
        Refusal{"range_keys_without_replica", message("RangeKeys", 1, {s("transfer"), {0x01}}),
                Malformed::truncated()},
        Refusal{"took_keys_without_replica", message("TookKeys", 0, {}), Malformed::truncated()},
        Refusal{"pull_range_without_node", message("PullRange", 0, {}), Malformed::truncated()},
        Refusal{"name_not_a_str", message("Fetch", 1, {s("names"), {0x91, 0x01}}), Malformed::marker(0x01)},
        Refusal{"key_not_utf8", message("Prepare", 1, {{0xa2, 0xc3, 0x28}, {0xc0}}), Malformed::not_utf8()},
        Refusal{"incarnation_of_15_bytes",
                message("Prepare", 1,
                        {s("epoch"), {0x82}, s("round"), {0x01}, s("node"), {0x81}, s("incarnation"), {0xc4, 0x0f},
                         B(15, 0)}),
                Malformed::truncated()},
        Refusal{"ends_inside_a_value", message("Prepare", 1, {s("epoch"), {0x82}, s("round")}),
                Malformed::truncated()}),
    [](const auto& info) { return std::string(info.param.name); });

// Random, truncated and mutated payloads never crash, never read past the payload (the sanitised
// build checks that), and either fail or give a message that writes back into bytes it reads again.
TEST(ReplicationWire, Fuzz) {
  std::mt19937_64 rng(1015);
  const auto seeds = every_message();
  std::vector<B> corpus;
  for (const auto& m : seeds) corpus.push_back(wire::encode(m));
  for (int i = 0; i < 20'000; ++i) {
    B bytes = corpus[rng() % corpus.size()];
    switch (rng() % 4) {
      case 0:
        bytes.resize(rng() % (bytes.size() + 1));
        break;
      case 1:
        for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k) {
          bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
        }
        break;
      case 2:
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(rng() % bytes.size()),
                     static_cast<std::uint8_t>(rng()));
        break;
      default:
        bytes.resize(rng() % 64);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        break;
    }
    const testing::Exact exact(bytes);
    auto got = wire::decode(exact.view());
    if (got) {
      auto again = wire::decode(wire::encode(*got));
      ASSERT_TRUE(again);
      EXPECT_EQ(*again, *got);
    }
  }
}

}  // namespace
}  // namespace vorel::core::replication
