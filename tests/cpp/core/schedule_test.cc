#include "core/schedule.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/pages.hpp"
#include "testing/bytes.hpp"

namespace vorel::core::schedule {
namespace {

using msgpack::Malformed;
using testing::cat;
using testing::str;
using B = Bytes;

const B kHead = cat({{0x92}, str("Schedules")});

// One map entry: the key as a str, then the value's bytes.
B entry(std::string_view key, const B& value) { return cat({str(key), value}); }

// One element map of the given entries.
B element(std::initializer_list<B> entries) {
  B out;
  msgpack::write_map(out, entries.size());
  for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
  return out;
}

B record_of(std::initializer_list<B> elements) {
  B out = cat({kHead, {0x81}, str("schedules")});
  msgpack::write_array(out, elements.size());
  for (const auto& e : elements) out.insert(out.end(), e.begin(), e.end());
  return out;
}

TEST(Schedule, EncodesTheWorkedRecord) {
  const std::vector<Schedule> one = {{"t", {0x01}, 5, std::nullopt}};
  const B expected = cat({{0x92}, str("Schedules"), {0x81}, str("schedules"), {0x91, 0x84}, str("name"), {0xa1, 0x74},
                          str("message"), {0xc4, 0x01, 0x01}, str("due"), {0x05}, str("every"), {0xc0}});
  EXPECT_EQ(encode(one), expected);
  auto back = decode(expected);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, one);
}

TEST(Schedule, IntegerForms) {
  struct Case {
    std::int64_t due;
    std::optional<std::uint64_t> every;
    B due_bytes, every_bytes;
  };
  const std::vector<Case> cases = {
      {-1, 60'000'000, {0xff}, {0xce, 0x03, 0x93, 0x87, 0x00}},
      {1'700'000'000'000'000, UINT64_MAX, {0xcf, 0x00, 0x06, 0x0a, 0x24, 0x18, 0x1e, 0x40, 0x00},
       {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {INT64_MIN, 0, {0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}, {0x00}},
  };
  for (const auto& c : cases) {
    const std::vector<Schedule> one = {{"t", {}, c.due, c.every}};
    const B expected = record_of({element(
        {entry("name", str("t")), entry("message", {0xc4, 0x00}), entry("due", c.due_bytes), entry("every", c.every_bytes)})});
    EXPECT_EQ(encode(one), expected) << c.due;
    auto back = decode(expected);
    ASSERT_TRUE(back.has_value()) << c.due;
    EXPECT_EQ(*back, one);
  }
}

TEST(Schedule, RoundTripsManyInOrder) {
  std::vector<Schedule> many;
  for (int i = 0; i < 20; ++i) {
    many.push_back({"s" + std::to_string(i), Bytes(static_cast<std::size_t>(i * 20), static_cast<std::uint8_t>(i)),
                    i * 1'000'003ll - 7, i % 2 ? std::optional<std::uint64_t>(i * 1000) : std::nullopt});
  }
  auto back = decode(encode(many));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, many);
  EXPECT_EQ(decode(encode({})), std::vector<Schedule>{});
}

TEST(Schedule, DecodeByCase) {
  const B name = entry("name", str("n"));
  const B message = entry("message", {0xc4, 0x01, 0x09});
  const B due = entry("due", {0x07});
  auto ok = [](std::vector<Schedule> list) -> msgpack::Result<std::vector<Schedule>> { return list; };
  auto bad = [](Malformed m) -> msgpack::Result<std::vector<Schedule>> { return std::unexpected(m); };
  const Schedule plain{"n", {0x09}, 7, std::nullopt};
  struct Case {
    std::string name;
    B bytes;
    msgpack::Result<std::vector<Schedule>> expected;
  };
  const std::vector<Case> cases = {
      {"missing every is none", record_of({element({name, message, due})}), ok({plain})},
      {"missing due", record_of({element({name, message})}), bad(Malformed::truncated())},
      {"missing name", record_of({element({message, due})}), bad(Malformed::truncated())},
      {"missing message", record_of({element({name, due})}), bad(Malformed::truncated())},
      {"due above the signed range", record_of({element({name, message, entry("due", {0xcf, 0x80, 0, 0, 0, 0, 0, 0, 0})})}),
       bad(Malformed::marker(0))},
      {"negative every", record_of({element({name, message, due, entry("every", {0xff})})}), bad(Malformed::marker(0))},
      {"every as a str", record_of({element({name, message, due, entry("every", str("x"))})}),
       bad(Malformed::marker(0xa1))},
      {"due as a float", record_of({element({name, message, entry("due", {0xcb, 0, 0, 0, 0, 0, 0, 0, 0})})}),
       bad(Malformed::marker(0xcb))},
      {"message as a str", record_of({element({name, entry("message", str("m")), due})}), bad(Malformed::marker(0xa1))},
      {"tagged State", cat({{0x92}, str("State"), {0x80}}), bad(Malformed::marker(0))},
      {"empty map", cat({kHead, {0x80}}), ok({})},
      {"element is a str", record_of({str("x")}), bad(Malformed::marker(0xa1))},
      {"element is nil", record_of({{0xc0}}), bad(Malformed::marker(0xc0))},
      {"schedules not an array", cat({kHead, {0x81}, str("schedules"), {0x05}}), bad(Malformed::marker(0x05))},
      {"schedules count over the bytes left", cat({kHead, {0x81}, str("schedules"), {0xdd, 0, 0x01, 0, 0}}),
       bad(Malformed::truncated())},
      {"element map count over the bytes left", record_of({{0xdf, 0xff, 0xff, 0xff, 0xff}}),
       bad(Malformed::truncated())},
      {"head of three", cat({{0x93}, str("Schedules"), {0x80, 0xc0}}), bad(Malformed::marker(0))},
      {"head not a map", cat({kHead, {0x90}}), bad(Malformed::marker(0x90))},
      {"further key in an element", record_of({element({name, entry("extra", {0x92, 0x01, 0x81, 0xa0, 0xc0}), message, due})}),
       ok({plain})},
      {"further key in the map", cat({kHead, {0x82}, str("more"), {0x91, 0xc3}, str("schedules"), {0x90}}), ok({})},
      {"key twice in an element: the last wins",
       record_of({element({name, message, due, entry("due", {0x08}), entry("every", {0x01}), entry("every", {0xc0}),
                           entry("name", str("m"))})}),
       ok({{"m", {0x09}, 8, std::nullopt}})},
      {"cut in an element", cat({kHead, {0x81}, str("schedules"), {0x91, 0x83}, name, message}),
       bad(Malformed::truncated())},
      {"trailing bytes are not looked at", cat({kHead, {0x80, 0xc1}}), ok({})},
  };
  for (const auto& c : cases) {
    auto got = decode(c.bytes);
    if (c.expected) {
      ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().text();
      EXPECT_EQ(*got, *c.expected) << c.name;
    } else {
      ASSERT_FALSE(got.has_value()) << c.name;
      EXPECT_EQ(got.error(), c.expected.error()) << c.name;
    }
  }
}

TEST(Schedule, RepeatedSchedulesKeyTakesTheLastArray) {
  // The array of a record as encode writes it: what follows the tag, the map header and its key.
  const auto array_of = [](const std::vector<Schedule>& list) {
    const B record = encode(list);
    return B(record.begin() + static_cast<std::ptrdiff_t>(kHead.size() + 1 + str("schedules").size()), record.end());
  };
  const B bytes = cat({kHead, {0x82},
                       entry("schedules", array_of({{"a", {}, 1, std::nullopt}, {"b", {}, 2, std::nullopt}})),
                       entry("schedules", array_of({{"c", {}, 3, 4}}))});
  auto got = decode(bytes);
  ASSERT_TRUE(got.has_value()) << got.error().text();
  EXPECT_EQ(*got, (std::vector<Schedule>{{"c", {}, 3, 4}}));
}

// The record kept encoded gives, after every change, the bytes of encoding the live schedules
// afresh, in the order of their numbers.
class EncodedTest : public ::testing::Test {
 public:
  void put(std::uint64_t number, Schedule s) {
    encoded.put(number, s);
    live.insert_or_assign(number, std::move(s));
  }
  void remove(std::uint64_t number) { EXPECT_EQ(encoded.remove(number), live.erase(number) == 1) << number; }
  void redue(std::uint64_t number, std::int64_t due) {
    auto it = live.find(number);
    EXPECT_EQ(encoded.redue(number, due), it != live.end()) << number;
    if (it != live.end()) it->second.due = due;
  }
  // `keep`: the page of this step is kept, and must still hold its bytes after every later change.
  void check(const std::string& step, bool keep = true) {
    std::vector<Schedule> in_order;
    for (const auto& [number, s] : live) in_order.push_back(s);
    B fresh = encode(in_order);
    Page page = encoded.page();
    ASSERT_EQ(page.size(), fresh.size()) << step;
    ASSERT_EQ(page, fresh) << step;
    ASSERT_EQ(encoded.size(), live.size()) << step;
    // Chunks stay near their size: no two neighbours would fit in one.
    ASSERT_LE(encoded.chunks(), 2 * fresh.size() / Encoded::kChunk + 2) << step;
    if (keep) kept.push_back({step, encoded.page(), std::move(fresh)});
  }
  void TearDown() override {
    for (const auto& [step, page, bytes] : kept) EXPECT_EQ(page, bytes) << "the page of " << step;
  }

  Encoded encoded;
  std::map<std::uint64_t, Schedule> live;
  struct Kept {
    std::string step;
    Page page;
    B bytes;
  };
  std::vector<Kept> kept;
};

TEST_F(EncodedTest, ChangesByCase) {
  struct Step {
    std::string name;
    std::function<void(EncodedTest&)> apply;
  };
  const std::vector<Step> steps = {
      {"empty", [](EncodedTest&) {}},
      {"appended", [](EncodedTest& t) { for (std::uint64_t n = 1; n <= 20; ++n) t.put(n * 2, {"s" + std::to_string(n), {1, 2}, 5, std::nullopt}); }},
      {"a smaller number lands in its place", [](EncodedTest& t) { t.put(7, {"back", Bytes(300, 9), -1, 60}); }},
      {"the same number replaced by a larger element", [](EncodedTest& t) { t.put(10, {"wider", Bytes(70000, 3), 5, 1}); }},
      {"removed first, middle and last", [](EncodedTest& t) { t.remove(2); t.remove(20); t.remove(40); }},
      {"removed again is nothing", [](EncodedTest& t) { t.remove(20); t.redue(20, 9); }},
      {"due grows from one byte to nine", [](EncodedTest& t) { t.redue(12, 1'700'000'000'000'000); }},
      {"due shrinks from nine bytes to one", [](EncodedTest& t) { t.redue(12, 3); }},
      {"due of the same size in place", [](EncodedTest& t) { t.redue(14, 6); }},
      {"due turns negative", [](EncodedTest& t) { t.redue(7, INT64_MIN); }},
      {"most removed, the rest compacted", [](EncodedTest& t) { for (std::uint64_t n = 4; n <= 30; n += 2) t.remove(n); }},
      {"a removed number put back", [](EncodedTest& t) { t.put(6, {"again", {}, 0, std::nullopt}); }},
      {"cleared", [](EncodedTest& t) { t.encoded.clear(); t.live.clear(); }},
      {"used after clearing", [](EncodedTest& t) { t.put(3, {"after", {4}, 8, 8}); }},
  };
  for (const auto& step : steps) {
    step.apply(*this);
    check(step.name);
  }
}

// Random changes, each checked against a fresh encoding, with small elements (many to a chunk)
// and large ones (a few to a chunk, some larger than one), so that chunks fill, split and join.
struct Random {
  std::size_t message;  // the largest message
  int rounds;
  // Removals and due changes out of 8 changes; the rest are puts.
  unsigned removals;

  friend void PrintTo(const Random& r, std::ostream* out) {
    *out << "messages up to " << r.message << " bytes, " << r.rounds << " rounds";
  }
};

class EncodedRandomTest : public EncodedTest, public ::testing::WithParamInterface<Random> {};

TEST_P(EncodedRandomTest, ChangesMatchAFreshEncodingAndKeptPagesKeepTheirBytes) {
  const Random r = GetParam();
  std::mt19937_64 rng(1106);
  const std::vector<std::int64_t> dues = {0, 127, -32, 255, 65535, -129, 1LL << 40, INT64_MAX, INT64_MIN};
  std::uint64_t next = 0;
  for (int round = 0; round < r.rounds; ++round) {
    const auto pick = [&] { return live.empty() ? next : std::next(live.begin(), static_cast<std::ptrdiff_t>(rng() % live.size()))->first; };
    const unsigned kind = static_cast<unsigned>(rng() % 8);
    if (kind < r.removals) {
      remove(pick());
    } else if (kind < r.removals + 2) {
      redue(pick(), dues[rng() % dues.size()]);
    } else if (kind == 7) {
      // A number already made: in its place among the others, replacing one or not.
      put(rng() % (next + 1), {"p" + std::to_string(round), Bytes(rng() % (r.message / 4 + 1), 1), dues[rng() % dues.size()], std::nullopt});
    } else {
      put(next++, {"n" + std::to_string(round), Bytes(rng() % (r.message + 1), static_cast<std::uint8_t>(round)),
                   dues[rng() % dues.size()], rng() % 2 ? std::optional<std::uint64_t>(rng()) : std::nullopt});
    }
    check("round " + std::to_string(round), round % 64 == 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncodedRandomTest,
                         ::testing::Values(Random{40, 3000, 2}, Random{3000, 1500, 3}, Random{40000, 300, 3}),
                         [](const auto& info) { return "message" + std::to_string(info.param.message); });

TEST_F(EncodedTest, ManyAppendedThenRemovedFromTheFrontKeepChunksFew) {
  for (std::uint64_t n = 0; n < 4000; ++n) put(n, {"s" + std::to_string(n), Bytes(20, 7), 1'700'000'000'000'000, std::nullopt});
  check("filled");
  EXPECT_GT(encoded.chunks(), 4U);
  for (std::uint64_t n = 0; n < 4000; n += 3) remove(n);
  check("every third removed");
  for (std::uint64_t n = 1; n < 3990; ++n) {
    if (n % 3 != 0) remove(n);
  }
  check("all but the last few removed");
  EXPECT_EQ(encoded.chunks(), 1U);
}

// Random, truncated and mutated records: never a crash, never a read past the slice.
TEST(Schedule, FuzzDecodeNeverReadsOutsideTheSlice) {
  std::mt19937_64 rng(106);
  const B seed = encode(std::vector<Schedule>{{"tick", {1, 2, 3}, 1'700'000'000'000'000, 60'000'000},
                                              {"once", Bytes(40, 5), -3, std::nullopt}});
  for (int round = 0; round < 20000; ++round) {
    const B input = testing::fuzz_input(rng, round, seed, 64);
    const testing::Exact exact(input);
    auto got = decode(exact.view());
    if (got) {
      ASSERT_LE(got->size(), input.size());
      for (const auto& s : *got) ASSERT_LE(s.name.size() + s.message.size(), input.size());
    }
  }
}

}  // namespace
}  // namespace vorel::core::schedule
