#include "core/collections/table_segment.hpp"

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorel::core::collections::table {
namespace {

using namespace testing;

const Target kInto = Target::entity("vorel.collections:table_segment.actor", "t/1");

// The first keys "k0", "k1", ... that belong to `id` under `modulus`.
std::vector<Bytes> keys_in(std::uint64_t modulus, std::uint64_t id, std::size_t n) {
  std::vector<Bytes> out;
  for (int i = 0; out.size() < n; ++i) {
    Bytes key = Bytes_of("k" + std::to_string(i));
    if (hashes(key) % modulus == id) out.push_back(key);
  }
  return out;
}

Bytes to(std::string_view op, Named fields) {
  fields.push_back({"reply_to", T(R)});
  return msg(op, fields);
}

Key with(Bucket bucket) { return Key(std::make_shared<Segment>(), bucket.pages()); }

TEST(TableSegment, KeyHashes) {
  EXPECT_EQ(hashes(view_of("abc")), 3'636'139'224u);
  EXPECT_EQ(hashes(view_of("a")), 1'090'035'257u);
  for (std::uint64_t modulus : {2, 4, 8}) {
    EXPECT_TRUE((Bucket{{}, modulus, 0, 0}.holds(view_of("abc")))) << modulus;
    EXPECT_TRUE((Bucket{{}, modulus, 1, 0}.holds(view_of("a")))) << modulus;
    EXPECT_FALSE((Bucket{{}, modulus, 1, 0}.holds(view_of("abc")))) << modulus;
  }
  EXPECT_FALSE((Bucket{{}, 1, -1, 0}.holds(view_of("abc")))) << "a negative id holds nothing";
  EXPECT_TRUE(Bucket{}.holds(view_of("abc"))) << "the initial bucket holds every key";
}

TEST(TableSegment, ListedGeneration) {
  EXPECT_EQ(listed_under({}), 0);
  EXPECT_EQ(listed_under({I(7), I(-2), I(9)}), 9);
  EXPECT_EQ(listed_under({I(-2)}), -2);
  EXPECT_EQ(listed_under({S("x"), Bytes{}, NIL, U(UINT64_MAX)}), 0) << "values that are not integers";
  EXPECT_EQ(listed_under({Bytes_of("x")}), 'x') << "a byte below 0x80 is an integer";
}

TEST(TableSegment, PagesAndTolerantReading) {
  const Bucket bucket{{{Bytes_of("k"), {Bytes_of("v")}}}, 4, 3, 9};
  const Parts parts = bucket.pages();
  EXPECT_EQ(parts, (Parts{{"entries", A({A({Bin("k"), A({Bin("v")})})})}, {"id", I(3)}, {"modulus", I(4)},
                          {"version", I(9)}}));
  EXPECT_EQ(Bucket::of(parts), bucket);
  EXPECT_EQ(Segment().initial(0.0), Bucket{}.pages());
  struct Case {
    std::string name;
    Parts parts;
    Bucket expected;
  };
  const std::vector<Case> cases = {
      {"no parts", {}, Bucket{}},
      {"modulus 0", {{"modulus", I(0)}}, Bucket{}},
      {"modulus -3", {{"modulus", I(-3)}}, Bucket{}},
      {"modulus above the range", {{"modulus", U(UINT64_MAX)}}, Bucket{}},
      {"id and version as str", {{"id", S("1")}, {"version", S("2")}}, Bucket{}},
      {"entries with a value that is no bin", {{"entries", A({A({Bin("k"), A({S("v")})})})}, {"id", I(2)}},
       Bucket{{}, 1, 2, 0}},
      {"an entry of three items", {{"entries", A({A({Bin("k"), A({}), NIL})})}}, Bucket{}},
  };
  for (const auto& c : cases) EXPECT_EQ(Bucket::of(c.parts), c.expected) << c.name;
}

TEST(TableSegment, EntriesForm) {
  const Entries entries{{Bytes_of("k1"), {Bytes_of("a"), Bytes_of("b")}}, {Bytes_of("k2"), {Bytes_of("c")}}};
  wire::Writer w;
  write_entries(w, entries);
  EXPECT_EQ(w.bytes(), A({A({Bin("k1"), A({Bin("a"), Bin("b")})}), A({Bin("k2"), A({Bin("c")})})}));
  wire::Reading r(w.bytes());
  EXPECT_EQ(read_entries(r), entries);
  const std::vector<Bytes> bad = {
      NIL, A({NIL}), A({A({S("k"), A({})})}), A({A({Bin("k"), Bin("v")})}), A({A({Bin("k")})}), {0x91, 0x92, 0xc4},
  };
  for (const auto& b : bad) {
    wire::Reading reading(b);
    EXPECT_EQ(read_entries(reading), std::nullopt);
  }
}

// Each case: the bucket before, a message, then the bucket after (none: not written) and the reply.
TEST(TableSegment, OperationsByCase) {
  const auto ks = keys_in(4, 1, 3);
  const Bytes k = ks[0];
  const Bucket four{{{ks[0], {Bytes_of("a")}}, {ks[1], {Bytes_of("b"), Bytes_of("c")}},
                     {ks[2], {Bytes_of("d"), Bytes_of("e"), Bytes_of("f"), Bytes_of("g")}}},
                    4, 1, 5};
  const Bytes other = keys_in(4, 2, 1)[0];
  const auto listed = [&](std::int64_t g) { return Bucket{{{k, {I(g)}}}, 4, 1, 5}; };
  const auto raised = [](Bucket b) {
    b.version += 1;
    return b;
  };
  struct Case {
    std::string name;
    Bucket before;
    Bytes message;
    std::optional<Bucket> after;
    Bytes reply;
  };
  const std::vector<Case> cases = {
      {"add to a fresh segment", Bucket{}, to("Add", {{"key", Bin("x")}, {"value", Bin("v")}}),
       Bucket{{{Bytes_of("x"), {Bytes_of("v")}}}, 1, 0, 1}, A({TRUE, FALSE})},
      {"add a value held", Bucket{{{Bytes_of("x"), {Bytes_of("v")}}}, 1, 0, 1},
       to("Add", {{"key", Bin("x")}, {"value", Bin("v")}}), std::nullopt, A({FALSE, FALSE})},
      {"add of a key of another segment", four, to("Add", {{"key", Bin(other)}, {"value", Bin("v")}}), std::nullopt,
       NIL},
      {"get of a key of another segment", four, to("Get", {{"key", Bin(other)}}), std::nullopt, NIL},
      {"get", four, to("Get", {{"key", Bin(ks[1])}}), std::nullopt, A({Bin("b"), Bin("c")})},
      {"get of an absent key", Bucket{}, to("Get", {{"key", Bin("x")}}), std::nullopt, A({})},
      {"remove an absent key", Bucket{}, to("Remove", {{"key", Bin("x")}}), std::nullopt, I(0)},
      {"remove a key", four, to("Remove", {{"key", Bin(ks[2])}}),
       raised(Bucket{{four.entries[0], four.entries[1]}, 4, 1, 5}), I(4)},
      {"remove one value", four, to("Remove", {{"key", Bin(ks[1])}, {"value", Bin("b")}}),
       raised(Bucket{{four.entries[0], {ks[1], {Bytes_of("c")}}, four.entries[2]}, 4, 1, 5}), I(1)},
      {"remove the last value removes the key", four, to("Remove", {{"key", Bin(ks[0])}, {"value", Bin("a")}}),
       raised(Bucket{{four.entries[1], four.entries[2]}, 4, 1, 5}), I(1)},
      {"remove a value not held", four, to("Remove", {{"key", Bin(ks[0])}, {"value", Bin("z")}}), std::nullopt, I(0)},
      {"remove with value nil removes the key", four, to("Remove", {{"key", Bin(ks[0])}, {"value", NIL}}),
       raised(Bucket{{four.entries[1], four.entries[2]}, 4, 1, 5}), I(1)},
      {"list below the listed generation", listed(7), to("List", {{"key", Bin(k)}, {"generation", I(5)}}),
       std::nullopt, A({FALSE, FALSE})},
      {"list at it writes nothing", listed(7), to("List", {{"key", Bin(k)}, {"generation", I(7)}}), std::nullopt,
       A({TRUE, FALSE})},
      {"list above it", listed(7), to("List", {{"key", Bin(k)}, {"generation", I(9)}}), raised(listed(9)),
       A({TRUE, FALSE})},
      {"list over values that are no integers", Bucket{{{k, {S("x"), NIL}}}, 4, 1, 5},
       to("List", {{"key", Bin(k)}, {"generation", I(0)}}), raised(listed(0)), A({TRUE, FALSE})},
      {"list a new key", Bucket{{}, 4, 1, 5}, to("List", {{"key", Bin(k)}, {"generation", I(-4)}}),
       raised(listed(-4)), A({TRUE, FALSE})},
      {"unlist below", listed(7), to("Unlist", {{"key", Bin(k)}, {"generation", I(6)}}), std::nullopt, FALSE},
      {"unlist at", listed(7), to("Unlist", {{"key", Bin(k)}, {"generation", I(7)}}), raised(Bucket{{}, 4, 1, 5}),
       TRUE},
      {"unlist an absent key", Bucket{{}, 4, 1, 5}, to("Unlist", {{"key", Bin(k)}, {"generation", I(7)}}),
       std::nullopt, FALSE},
      {"size", four, to("Size", {}), std::nullopt, A({I(4), I(7)})},
      {"scan at the id", four, to("Scan", {{"position", I(5)}}), std::nullopt,
       A({I(4), A({A({Bin(ks[0]), A({Bin("a")})}), A({Bin(ks[1]), A({Bin("b"), Bin("c")})}),
                   A({Bin(ks[2]), A({Bin("d"), Bin("e"), Bin("f"), Bin("g")})})})})},
      {"scan at another id", four, to("Scan", {{"position", I(6)}}), std::nullopt, NIL},
      {"scan at a negative position", four, to("Scan", {{"position", I(-3)}}), std::nullopt, NIL},
      {"clear", four, to("Clear", {}), raised(Bucket{{}, 4, 1, 5}), A({I(4), I(7)})},
      {"clear an empty segment", Bucket{{}, 4, 1, 5}, to("Clear", {}), std::nullopt, A({I(4), I(0)})},
      {"the version stops at the top", Bucket{{}, 1, 0, INT64_MAX}, to("Add", {{"key", Bin("x")}, {"value", Bin("v")}}),
       Bucket{{{Bytes_of("x"), {Bytes_of("v")}}}, 1, 0, INT64_MAX}, A({TRUE, FALSE})},
  };
  for (const auto& c : cases) {
    Key key = with(c.before);
    auto turn = key.turn(c.message);
    ASSERT_TRUE(turn) << c.name;
    if (c.after) {
      ASSERT_TRUE(turn->parts) << c.name;
      EXPECT_EQ(Bucket::of(*turn->parts), *c.after) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, c.reply}})) << c.name;
    EXPECT_FALSE(turn->asking || turn->delete_ || turn->wake) << c.name;
  }
}

TEST(TableSegment, CrowdedPast512Keys) {
  Bucket bucket;
  for (int i = 0; i < 512; ++i) bucket.entries.push_back({Bytes_of("k" + std::to_string(i)), {Bytes_of("v")}});
  Key key = with(bucket);
  EXPECT_EQ(key.message(to("Add", {{"key", Bin("k0")}, {"value", Bin("w")}})).sends[0].bytes, A({TRUE, FALSE}));
  EXPECT_EQ(key.message(to("Add", {{"key", Bin("new")}, {"value", Bin("v")}})).sends[0].bytes, A({TRUE, TRUE}));
  EXPECT_EQ(key.message(to("List", {{"key", Bin("k1")}, {"generation", I(200)}})).sends[0].bytes, A({TRUE, TRUE}));
}

TEST(TableSegment, SplitHandsTheMovingKeysOverBeforeLettingThemGo) {
  const auto even = keys_in(2, 0, 3);
  const auto odd = keys_in(2, 1, 2);
  Bucket bucket;
  for (const auto& k : {even[0], odd[0], even[1], odd[1], even[2]}) bucket.entries.push_back({k, {Bytes_of("v")}});
  Key key = with(bucket);
  const Bytes split = to("table_segment.Split", {{"into", T(kInto)}, {"modulus", I(2)}});
  auto ask = key.message(split);
  ASSERT_TRUE(ask.asking);
  EXPECT_EQ(ask.asking->target, kInto);
  const Entries moving{{odd[0], {Bytes_of("v")}}, {odd[1], {Bytes_of("v")}}};
  EXPECT_EQ(ask.asking->maker(caller(3)),
            msg("table_segment.Adopt", {{"reply_to", T(caller(3))}, {"entries", [&] {
                                          wire::Writer w;
                                          write_entries(w, moving);
                                          return w.take();
                                        }()},
                                        {"modulus", I(2)}, {"id", I(1)}, {"version", I(0)}}));
  EXPECT_TRUE(ask.sends.empty() && !ask.parts);
  EXPECT_EQ(Bucket::of(key.parts), bucket) << "nothing leaves before the new segment answers";

  auto done = key.step(Input::answer(split, NIL), 0.0);
  EXPECT_EQ(done.sends, (std::vector<Send>{{R, NIL}}));
  EXPECT_EQ(Bucket::of(key.parts),
            (Bucket{{{even[0], {Bytes_of("v")}}, {even[1], {Bytes_of("v")}}, {even[2], {Bytes_of("v")}}}, 2, 0, 1}));
  auto again = key.message(split);
  EXPECT_FALSE(again.asking) << "a Split already carried out answers at once";
  EXPECT_EQ(again.sends, (std::vector<Send>{{R, NIL}}));
  EXPECT_FALSE(again.parts);
}

TEST(TableSegment, SplitOfASegmentAlreadyThatFineOrOfNoModulus) {
  for (std::int64_t modulus : {4, 2, 0, -8}) {
    Key key = with(Bucket{{}, 4, 1, 3});
    auto turn = key.message(to("Split", {{"into", T(kInto)}, {"modulus", I(modulus)}}));
    EXPECT_FALSE(turn.asking) << modulus;
    EXPECT_EQ(turn.sends, (std::vector<Send>{{R, NIL}})) << modulus;
  }
  Key key = with(Bucket{{}, 4, 1, 3});
  auto turn = key.message(to("Split", {{"into", T(kInto)}, {"modulus", I(8)}}));
  ASSERT_TRUE(turn.asking);
  EXPECT_EQ(turn.asking->maker(R), msg("table_segment.Adopt", {{"reply_to", T(R)}, {"entries", A({})},
                                                               {"modulus", I(8)}, {"id", I(5)}, {"version", I(3)}}));
}

TEST(TableSegment, AdoptByCase) {
  const Bytes entries = A({A({Bin("k"), A({Bin("v")})})});
  struct Case {
    std::string name;
    Bucket before;
    std::int64_t modulus, version;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"a higher modulus", Bucket{}, 2, 0, true},
      {"the same modulus and a higher version", Bucket{{}, 2, 1, 0}, 2, 1, true},
      {"the same modulus and version", Bucket{{}, 2, 1, 0}, 2, 0, false},
      {"an older version", Bucket{{}, 2, 1, 5}, 2, 4, false},
      {"a lower modulus", Bucket{{}, 4, 1, 0}, 2, 9, false},
  };
  for (const auto& c : cases) {
    Key key = with(c.before);
    auto turn = key.message(to("Adopt", {{"entries", entries}, {"modulus", I(c.modulus)}, {"id", I(1)},
                                         {"version", I(c.version)}}));
    EXPECT_EQ(turn.sends, (std::vector<Send>{{R, NIL}})) << c.name;
    if (c.accepted) {
      ASSERT_TRUE(turn.parts) << c.name;
      EXPECT_EQ(Bucket::of(*turn.parts),
                (Bucket{{{Bytes_of("k"), {Bytes_of("v")}}}, static_cast<std::uint64_t>(c.modulus), 1, c.version}))
          << "the version stays as it came: " << c.name;
    } else {
      EXPECT_FALSE(turn.parts) << c.name;
    }
  }
}

TEST(TableSegment, RefusedByCase) {
  const std::string every = R"(: field "key" is given, but the op covers every key)";
  expect_refused(
      Key(std::make_shared<Segment>()),
      {
          {"no reply_to", msg("Size", {}), R"(Size: field "reply_to" is missing)"},
          {"size with a key", to("Size", {{"key", Bin("x")}}), "Size" + every},
          {"scan with a key", to("Scan", {{"key", Bin("x")}, {"position", I(0)}}), "Scan" + every},
          {"scan without position", to("Scan", {}), R"(Scan: field "position" is missing)"},
          {"clear with a key", to("table_segment.Clear", {{"key", Bin("x")}}), "table_segment.Clear" + every},
          {"add without value", to("Add", {{"key", Bin("x")}}), R"(Add: field "value" is missing)"},
          {"add with value nil", to("Add", {{"key", Bin("x")}, {"value", NIL}}), R"(Add: field "value" is missing)"},
          {"add without key", to("Add", {{"value", Bin("v")}}), R"(Add: field "key" is missing)"},
          {"get without key", to("Get", {}), R"(Get: field "key" is missing)"},
          {"remove without key", to("Remove", {{"value", Bin("v")}}), R"(Remove: field "key" is missing)"},
          {"list without generation", to("List", {{"key", Bin("x")}}), R"(List: field "generation" is missing)"},
          {"unlist without key", to("Unlist", {{"generation", I(1)}}), R"(Unlist: field "key" is missing)"},
          {"key as str", to("Get", {{"key", S("x")}}), R"(Get: field "key" is a str, not bytes)"},
          {"generation above the range", to("List", {{"key", Bin("x")}, {"generation", U(UINT64_MAX)}}),
           R"(List: field "generation" is 18446744073709551615, not an integer in the signed 64-bit range)"},
          {"split without into", to("Split", {{"modulus", I(2)}}), R"(Split: field "into" is missing)"},
          {"split without modulus", to("Split", {{"into", T(Target::entity("t", "1"))}}), R"(Split: field "modulus" is missing)"},
          // Reported fault: the segment asked a reply target, and the process aborted.
          {"split into a reply target", to("Split", {{"into", T(caller(3))}, {"modulus", I(2)}}),
           R"(Split: field "into" is a ref to a reply, not a ref to a key)"},
          {"split with into nil", to("Split", {{"into", NIL}, {"modulus", I(2)}}),
           R"(Split: field "into" is nil, not a ref to a key)"},
          {"adopt without version", to("Adopt", {{"entries", A({})}, {"modulus", I(2)}, {"id", I(1)}}),
           R"(Adopt: field "version" is missing)"},
          {"adopt with unreadable entries",
           to("Adopt", {{"entries", A({NIL})}, {"modulus", I(2)}, {"id", I(1)}, {"version", I(0)}}),
           R"(Adopt: field "entries" is an array, not [[key bytes, [value bytes, ...]], ...])"},
          {"a directory op", to("Segments", {}), R"(a table segment has no op "Segments")"},
          {"unknown op", to("Put", {{"key", Bin("x")}}), R"(a table segment has no op "Put")"},
      });
  Key key(std::make_shared<Segment>());
  EXPECT_EQ(key.native->turn(key.parts, Input::tick(), 0.0, key.names), std::nullopt);
}

TEST(TableSegment, DisposableOnlyAsInitial) {
  const Segment s;
  EXPECT_TRUE(s.disposable(s.initial(0.0), 0.0));
  Key key(std::make_shared<Segment>());
  key.message(to("Add", {{"key", Bin("x")}, {"value", Bin("v")}}));
  key.message(to("Clear", {}));
  EXPECT_TRUE(Bucket::of(key.parts).entries.empty());
  EXPECT_FALSE(s.disposable(key.parts, 0.0)) << "emptied, but its version was raised";
}

}  // namespace
}  // namespace vorel::core::collections::table
