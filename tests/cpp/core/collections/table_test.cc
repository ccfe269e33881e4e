#include "core/collections/table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <deque>
#include <random>
#include <set>

#include "core/collections/table_segment.hpp"
#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

const Target kSplit = Target::entity("vorel.collections:table_segment.actor", "t/0");
const Target kInto = Target::entity("vorel.collections:table_segment.actor", "t/1");

Bytes grow(std::int64_t seen, const Target& to, std::optional<Target> split = kSplit, std::optional<Target> into = kInto) {
  Named fields{{"seen", I(seen)}, {"reply_to", T(to)}};
  if (split) fields.push_back({"split", T(*split)});
  if (into) fields.push_back({"into", T(*into)});
  return msg("table.Grow", fields);
}

Key at(std::int64_t count) { return Key(std::make_shared<Table>(), table::counted(count)); }

TEST(Table, InitialAndDisposable) {
  const Table t;
  EXPECT_EQ(t.initial(0.0), (Parts{{"segments", {0x01}}}));
  EXPECT_TRUE(t.disposable(t.initial(0.0), 0.0));
  EXPECT_FALSE(t.disposable(table::counted(2), 0.0));
}

TEST(Table, SegmentsAndUnreadableCounts) {
  for (const auto& [part, count] : std::vector<std::pair<Bytes, std::int64_t>>{
           {I(1), 1}, {I(7), 7}, {I(0), 1}, {I(-3), 1}, {U(UINT64_MAX), 1}, {S("2"), 1}, {Bytes{}, 1}}) {
    Key key(std::make_shared<Table>(), Parts{{"segments", part}});
    auto turn = key.turn(msg("Segments", {{"reply_to", T(R)}}));
    ASSERT_TRUE(turn);
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, I(count)}}));
    EXPECT_FALSE(turn->parts);
  }
}

TEST(Table, GrowAsksTheSegmentToSplitThenCountsIt) {
  Key key = at(1);
  const Bytes message = grow(1, R);
  auto ask = key.message(message);
  ASSERT_TRUE(ask.asking);
  EXPECT_EQ(ask.asking->target, kSplit);
  EXPECT_EQ(ask.asking->maker(caller(4)),
            msg("table_segment.Split", {{"reply_to", T(caller(4))}, {"into", T(kInto)}, {"modulus", I(2)}}));
  EXPECT_TRUE(ask.sends.empty() && !ask.parts);
  EXPECT_EQ(key.parts, table::counted(1)) << "not counted before the split is done";
  auto done = key.step(Input::answer(message, NIL), 0.0);
  EXPECT_EQ(done.sends, (std::vector<Send>{{R, I(2)}}));
  EXPECT_EQ(key.parts, table::counted(2));
}

TEST(Table, SplitModulusByCount) {
  const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {1, 2}, {2, 4}, {3, 4}, {4, 8}, {5, 8}, {6, 8}, {7, 8}, {8, 16}, {(1ll << 32) - 1, 1ll << 32}};
  for (const auto& [count, modulus] : cases) {
    Key key = at(count);
    auto turn = key.message(grow(count, R));
    ASSERT_TRUE(turn.asking) << count;
    EXPECT_EQ(turn.asking->maker(R), msg("table_segment.Split", {{"reply_to", T(R)}, {"into", T(kInto)},
                                                                 {"modulus", I(modulus)}}))
        << count;
  }
}

TEST(Table, GrowThatIsStaleOrTooFarIsAnsweredWithTheCount) {
  for (const auto& [count, seen] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {3, 2}, {3, 4}, {1ll << 32, 1ll << 32}, {INT64_MAX, INT64_MAX}}) {
    Key key = at(count);
    const Bytes message = grow(seen, R);
    for (const auto& input : {Input::message(message), Input::answer(message, NIL)}) {
      auto turn = key.step(input, 0.0);
      EXPECT_FALSE(turn.asking) << count;
      EXPECT_EQ(turn.sends, (std::vector<Send>{{R, I(count)}})) << count;
      EXPECT_FALSE(turn.parts) << count;
    }
  }
}

TEST(Table, RefusedByCase) {
  expect_refused(
      at(1),
      {
          {"grow without into", grow(1, R, kSplit, std::nullopt), R"(table.Grow: field "into" is missing)"},
          {"grow without split", grow(1, R, std::nullopt, kInto), R"(table.Grow: field "split" is missing)"},
          {"grow without seen", msg("Grow", {{"split", T(kSplit)}, {"into", T(kInto)}, {"reply_to", T(R)}}),
           R"(Grow: field "seen" is missing)"},
          {"into as nil", msg("Grow", {{"seen", I(1)}, {"split", T(kSplit)}, {"into", NIL}, {"reply_to", T(R)}}),
           R"(Grow: field "into" is nil, not a ref to a key)"},
          // Reported fault: the directory asked a reply target, and the process aborted.
          {"split a reply target", grow(1, R, caller(3), kInto),
           R"(table.Grow: field "split" is a ref to a reply, not a ref to a key)"},
          {"no reply_to", msg("Segments", {}), R"(Segments: field "reply_to" is missing)"},
          {"a segment op", msg("Add", {{"key", Bin("k")}, {"value", Bin("v")}, {"reply_to", T(R)}}),
           R"(a table has no op "Add")"},
          {"entries unreadable", msg("Segments", {{"entries", S("x")}, {"reply_to", T(R)}}),
           R"(Segments: field "entries" is a str, not [[key bytes, [value bytes, ...]], ...])"},
      });
  Key key = at(1);
  EXPECT_EQ(key.native->turn(key.parts, Input::tick(), 0.0, key.names), std::nullopt);
}

// A table used as its callers use it, through a network of keys that loses answers between them:
// keys are routed by linear hashing over the count the caller last saw; a segment that reports
// itself crowded makes the caller ask the directory to grow, and a Grow whose answer never comes
// is sent again until one does.
class Caller {
 public:
  Caller(Network& net, std::uint64_t seed) : net_(net), rng_(seed) {}

  // Whether the Grow answers of this caller's asks between keys are lost at random.
  bool lossy = false;

  void add(const Bytes& key, const Bytes& value) {
    for (;;) {
      const Bytes reply = ask(segment(route(key)), "Add", {{"key", Bin(key)}, {"value", Bin(value)}});
      if (reply == NIL) {
        refresh();
        continue;
      }
      ASSERT_EQ(reply.size(), 3u);
      if (reply[2] == msgpack::kTrue) grown();
      return;
    }
  }

  std::vector<Bytes> get(const Bytes& key) {
    const Bytes reply = ask(segment(route(key)), "Get", {{"key", Bin(key)}});
    std::vector<Bytes> out;
    wire::Reading r(reply);
    auto n = r.read_array_len();
    EXPECT_TRUE(n.has_value());
    for (std::uint64_t i = 0; n && i < *n; ++i) out.push_back(*r.bytes());
    return out;
  }

  std::int64_t count() const { return count_; }
  int grows = 0;
  int retries = 0;

  static Target directory() { return Target::entity("vorel.collections:table.actor", "t"); }
  static Target segment(std::int64_t n) {
    return Target::entity("vorel.collections:table_segment.actor", "t/" + std::to_string(n));
  }

  std::int64_t route(const Bytes& key) const {
    const std::uint32_t h = table::hashes(key);
    const int level = std::bit_width(static_cast<std::uint64_t>(count_)) - 1;
    const std::uint64_t low = std::uint64_t{1} << level;
    std::uint64_t s = h % (low << 1);
    if (s >= static_cast<std::uint64_t>(count_)) s = h % low;
    return static_cast<std::int64_t>(s);
  }

 private:
  Bytes ask(const Target& to, std::string_view op, Named fields, bool* answered = nullptr) {
    const Target reply = caller(next_++);
    fields.push_back({"reply_to", T(reply)});
    net_.deliver(to, msg(op, fields));
    auto answers = net_.answers(reply);
    if (answered) {
      *answered = !answers.empty();
    } else {
      EXPECT_EQ(answers.size(), 1u) << op;
    }
    return answers.empty() ? Bytes{} : answers[0];
  }

  void refresh() {
    wire::Reading r(ask(directory(), "Segments", {}));
    count_ = *r.int_();
  }

  void grown() {
    const std::int64_t seen = count_;
    const int level = std::bit_width(static_cast<std::uint64_t>(seen)) - 1;
    const std::int64_t split = seen - (std::int64_t{1} << level);
    for (;;) {
      // Lose the adoption's answer, the split's answer, or neither.
      if (lossy) {
        static const std::vector<std::deque<bool>> patterns = {{}, {true}, {false, true}};
        net_.losses = patterns[rng_() % patterns.size()];
      }
      bool answered = false;
      const Bytes reply = ask(directory(), "Grow", {{"seen", I(seen)}, {"split", T(segment(split))}, {"into", T(segment(seen))}},
                              &answered);
      net_.losses.clear();
      if (answered) {
        wire::Reading r(reply);
        count_ = *r.int_();
        ++grows;
        return;
      }
      ++retries;
    }
  }

  Network& net_;
  std::mt19937_64 rng_;
  std::int64_t count_ = 1;
  std::int64_t next_ = 1000;
};

struct Growth {
  std::string name;
  bool lossy;
};

class TableGrowth : public ::testing::TestWithParam<Growth> {};

TEST_P(TableGrowth, GrowsPastOneSegmentAndStillFindsEveryKey) {
  Network net;
  Caller table(net, 12);
  table.lossy = GetParam().lossy;
  std::vector<Bytes> keys;
  for (int i = 0; i < 2500; ++i) {
    keys.push_back(Bytes_of("key-" + std::to_string(i)));
    table.add(keys.back(), Bytes_of("v" + std::to_string(i)));
    if (i % 3 == 0) table.add(keys.back(), Bytes_of("w"));
  }
  EXPECT_GE(table.count(), 4) << "2500 keys fill more than four segments of 512";
  if (GetParam().lossy) {
    EXPECT_GT(table.retries, 0);
    EXPECT_TRUE(std::ranges::count(net.lost, "vorel.collections:table.actor") > 0) << "split answers lost";
    EXPECT_TRUE(std::ranges::count(net.lost, "vorel.collections:table_segment.actor") > 0) << "adopt answers lost";
  }
  for (int i = 0; i < 2500; ++i) {
    std::vector<Bytes> expected{Bytes_of("v" + std::to_string(i))};
    if (i % 3 == 0) expected.push_back(Bytes_of("w"));
    ASSERT_EQ(table.get(keys[static_cast<std::size_t>(i)]), expected) << i;
  }
  // Every key lives in exactly one segment, the one it is routed to.
  std::set<Bytes> seen;
  for (std::int64_t s = 0; s < table.count(); ++s) {
    ASSERT_TRUE(net.has(Caller::segment(s))) << s;
    const auto bucket = table::Bucket::of(net.key(Caller::segment(s)).parts);
    for (const auto& [key, values] : bucket.entries) {
      EXPECT_TRUE(seen.insert(key).second) << "a key in two segments";
      EXPECT_EQ(table.route(key), s);
    }
  }
  EXPECT_EQ(seen.size(), keys.size());
}

INSTANTIATE_TEST_SUITE_P(Answers, TableGrowth,
                         ::testing::Values(Growth{"AllArrive", false}, Growth{"SomeAreLost", true}),
                         [](const auto& info) { return info.param.name; });

// A Split whose adoption answer was lost, with a key added to the splitting segment before the
// Grow is sent again: the new segment takes the newer hand-over in place of the older one.
TEST(TableHandOver, ARepeatedAdoptOfANewerVersionReplacesTheOlderOne) {
  Network net;
  const Target dir = Caller::directory();
  const Target s0 = Caller::segment(0);
  const Target s1 = Caller::segment(1);
  std::vector<Bytes> moving;
  for (int i = 0; moving.size() < 2; ++i) {
    Bytes k = Bytes_of("m" + std::to_string(i));
    if (table::hashes(k) % 2 == 1) moving.push_back(k);
  }
  const Bytes first = moving[0];
  const Bytes second = moving[1];
  net.deliver(s0, msg("Add", {{"key", Bin(first)}, {"value", Bin("a")}, {"reply_to", T(R)}}));
  const Bytes grow_message = msg("Grow", {{"seen", I(1)}, {"split", T(s0)}, {"into", T(s1)}, {"reply_to", T(R)}});
  net.losses = {true};
  net.deliver(dir, grow_message);
  EXPECT_EQ(net.lost, (std::vector<std::string>{"vorel.collections:table_segment.actor"}));
  EXPECT_EQ(table::Bucket::of(net.key(s1).parts).version, 1) << "adopted at the version the split was asked at";
  EXPECT_EQ(table::Bucket::of(net.key(s0).parts).modulus, 1u) << "the splitting segment still holds everything";

  net.deliver(s0, msg("Add", {{"key", Bin(second)}, {"value", Bin("b")}, {"reply_to", T(R)}}));
  net.deliver(dir, grow_message);
  EXPECT_EQ(net.answers(R).back(), I(2));
  const auto adopted = table::Bucket::of(net.key(s1).parts);
  EXPECT_EQ(adopted.version, 2);
  EXPECT_EQ(adopted.entries,
            (table::Entries{{first, {Bytes_of("a")}}, {second, {Bytes_of("b")}}}));
  EXPECT_TRUE(table::Bucket::of(net.key(s0).parts).entries.empty());
}

}  // namespace
}  // namespace vorel::core::collections
