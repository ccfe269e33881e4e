#include "core/store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testing/bytes.hpp"

namespace vorel::core {
namespace {

using msgpack::Malformed;
using replication::Epoch;
using replication::Stamp;
using testing::cat;
using testing::str;
using B = Bytes;

Stamp local(std::uint64_t round, std::uint64_t version) { return Stamp{Epoch{round, NodeId{}}, version}; }

Pages pages(std::initializer_list<std::pair<const std::string, Bytes>> entries) { return Pages(entries.begin(), entries.end()); }

// ---- Stored ----

TEST(Stored, StateBytesOfTwoPages) {
  const Stored record{pages({{"b", {}}, {"a", {0x01}}}), local(1, 1)};
  const B expected = cat({{0x92}, str("State"), {0x81}, str("pages"), {0x92},
                          {0x92, 0xa1, 0x61, 0xc4, 0x01, 0x01}, {0x92, 0xa1, 0x62, 0xc4, 0x00}});
  EXPECT_EQ(record.state_bytes(), expected);
}

TEST(Stored, StateBytesOfNoPagesAndOfADeletion) {
  EXPECT_EQ((Stored{Pages{}, local(1, 1)}.state_bytes()),
            cat({{0x92}, str("State"), {0x81}, str("pages"), {0x90}}));
  EXPECT_EQ((Stored{std::nullopt, local(1, 1)}.state_bytes()), std::nullopt);
}

TEST(Stored, VersionBytesSortAsStamps) {
  const store::Version v = store::version_of(local(1, 2));
  store::Version expected{};
  expected[7] = 1;
  expected[31] = 2;
  EXPECT_EQ(v, expected);

  Incarnation high{};
  high[0] = 0xff;
  Incarnation low{};
  low[15] = 1;
  // Ascending in stamp order: round, then incarnation, then version; each byte compares unsigned.
  const std::vector<Stamp> ascending = {
      local(0, UINT64_MAX),
      local(1, 2),
      Stamp{Epoch{1, NodeId{"z:1", low}}, 0},
      Stamp{Epoch{1, NodeId{std::nullopt, high}}, 0},
      Stamp{Epoch{1, NodeId{std::nullopt, high}}, 0x80},
      local(2, 0),
      local(0x100, 0),
      local(UINT64_MAX, 0),
  };
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(store::version_of(ascending[i - 1]), store::version_of(ascending[i])) << i;
    EXPECT_TRUE(Epoch::order(ascending[i - 1].epoch, ascending[i].epoch) < 0 ||
                ascending[i - 1].version < ascending[i].version)
        << i;
  }
}

TEST(Stored, RoundTrips) {
  Incarnation inc;
  for (int i = 0; i < 16; ++i) inc[i] = static_cast<std::uint8_t>(0xf0 + i);
  const Stamp stamp{Epoch{0x0102030405060708ull, NodeId{"host:1", inc}}, 0xa0b0c0d0e0f00010ull};
  const Stamp without_address{Epoch{stamp.epoch.round, NodeId{std::nullopt, inc}}, stamp.version};
  for (const auto& state : {std::optional<Pages>{}, std::optional<Pages>{Pages{}},
                            std::optional<Pages>{pages({{"@schedules", {1, 2}}, {"x", Bytes(300, 7)}, {"é", {}}})}}) {
    const Stored record{state, stamp};
    const auto bytes = record.state_bytes();
    const store::Version version = record.version_bytes();
    auto back = Stored::read(version, bytes ? std::optional<ByteView>(*bytes) : std::nullopt);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->state, state);
    EXPECT_EQ(back->version, without_address) << "the address is not stored";
  }
}

TEST(Stored, ReadByCase) {
  const store::Version version = store::version_of(local(3, 4));
  const B head = cat({{0x92}, str("State")});
  struct Case {
    std::string name;
    B version;
    B state;
    msgpack::Result<Pages> expected;
  };
  const B good_version(version.begin(), version.end());
  const std::vector<Case> cases = {
      {"31-byte version", B(31, 0), cat({head, {0x80}}), std::unexpected(Malformed::truncated())},
      {"33-byte version", B(33, 0), cat({head, {0x80}}), std::unexpected(Malformed::truncated())},
      {"another tag", good_version, cat({{0x92}, str("Schedules"), {0x80}}), std::unexpected(Malformed::marker(0))},
      {"empty pages", good_version, cat({head, {0x81}, str("pages"), {0x90}}), Pages{}},
      {"no pages key", good_version, cat({head, {0x80}}), Pages{}},
      {"further key skipped", good_version,
       cat({head, {0x82}, str("extra"), {0x92, 0x91, 0xc0, 0xa1, 'z'}, str("pages"), {0x91, 0x92}, str("p"),
            {0xc4, 0x01, 0x09}}),
       pages({{"p", {9}}})},
      {"name twice keeps the later bytes", good_version,
       cat({head, {0x81}, str("pages"), {0x92, 0x92}, str("p"), {0xc4, 0x01, 0x01}, {0x92}, str("p"),
            {0xc4, 0x01, 0x02}}),
       pages({{"p", {2}}})},
      {"repeated pages key: the last value wins", good_version,
       cat({head, {0x82}, str("pages"), {0x91, 0x92}, str("a"), {0xc4, 0x00}, str("pages"), {0x91, 0x92}, str("b"),
            {0xc4, 0x00}}),
       pages({{"b", {}}})},
      {"page element of three items", good_version,
       cat({head, {0x81}, str("pages"), {0x91, 0x93}, str("p"), {0xc4, 0x00}, str("q")}),
       std::unexpected(Malformed::marker(0))},
      {"page element of one item", good_version, cat({head, {0x81}, str("pages"), {0x91, 0x91}, str("p")}),
       std::unexpected(Malformed::marker(0))},
      {"page element count over the bytes left", good_version,
       cat({head, {0x81}, str("pages"), {0x91, 0x9f}, str("p")}), std::unexpected(Malformed::truncated())},
      {"pages count over the bytes left", good_version, cat({head, {0x81}, str("pages"), {0xdd, 0, 0, 1, 0}}),
       std::unexpected(Malformed::truncated())},
      {"page bytes as str", good_version, cat({head, {0x81}, str("pages"), {0x91, 0x92}, str("p"), str("v")}),
       std::unexpected(Malformed::marker(0xa1))},
      {"page name not utf-8", good_version,
       cat({head, {0x81}, str("pages"), {0x91, 0x92, 0xa1, 0xff, 0xc4, 0x00}}),
       std::unexpected(Malformed::not_utf8())},
      {"pages not an array", good_version, cat({head, {0x81}, str("pages"), {0xc0}}),
       std::unexpected(Malformed::marker(0xc0))},
      {"cut in the middle", good_version, cat({head, {0x81}, str("pages"), {0x91, 0x92}, str("p")}),
       std::unexpected(Malformed::truncated())},
      {"trailing bytes are not looked at", good_version, cat({head, {0x80, 0xc1, 0xc1}}), Pages{}},
  };
  for (const auto& c : cases) {
    auto got = Stored::read(c.version, ByteView(c.state));
    if (c.expected) {
      ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().text();
      EXPECT_EQ(got->state, *c.expected) << c.name;
      EXPECT_EQ(got->version, local(3, 4)) << c.name;
    } else {
      ASSERT_FALSE(got.has_value()) << c.name;
      EXPECT_EQ(got.error(), c.expected.error()) << c.name;
    }
  }
}

TEST(Stored, ReadOfADeletion) {
  const Stored deletion{std::nullopt, local(5, 6)};
  EXPECT_EQ(deletion.state_bytes(), std::nullopt);
  auto back = Stored::read(deletion.version_bytes(), std::nullopt);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, deletion);
}

// Random, truncated and mutated state bytes: never a crash, never a read past the slice.
TEST(Stored, FuzzReadNeverReadsOutsideTheSlice) {
  std::mt19937_64 rng(105);
  const Stored seed_record{pages({{"a", {1, 2, 3}}, {"bb", Bytes(20, 4)}, {"@s", {}}}), local(2, 9)};
  const B seed = *seed_record.state_bytes();
  const store::Version version = seed_record.version_bytes();
  for (int round = 0; round < 20000; ++round) {
    B input = testing::fuzz_input(rng, round, seed, 48);
    if (round % 3 == 0 && !input.empty()) input[0] = 0x92;  // random bytes that begin as a record
    const testing::Exact exact(input);
    auto got = Stored::read(version, exact.view());
    if (got) {
      ASSERT_TRUE(got->state.has_value());
      for (const auto& [name, bytes] : *got->state) ASSERT_LE(name.size() + bytes.size(), input.size());
    }
  }
}

// ---- LocalStore ----

TEST(LocalStore, WritesStampInOrder) {
  LocalStore table;
  EXPECT_EQ(table.write("A", "k", pages({{"p", {1}}}), true, false), local(1, 1));
  EXPECT_EQ(table.write("A", "k", pages({{"p", {2}}}), true, false), local(1, 2));
  EXPECT_EQ(table.write("A", "k", pages({{"p", {3}}}), false, false), local(1, 3));
  EXPECT_EQ(table.write("A", "other", {}, true, false), local(1, 1)) << "each key counts its own writes";
  EXPECT_EQ(table.write("B", "k", {}, true, false), local(1, 1)) << "the actor type is part of the name";
}

TEST(LocalStore, NamesDoNotRunTogether) {
  LocalStore table;
  (void)table.write("ab", "c", {}, true, false);
  EXPECT_FALSE(table.knows("a", "bc"));
  EXPECT_TRUE(table.knows("ab", "c"));
}

TEST(LocalStore, RestoreByCase) {
  const Pages stored_pages = pages({{"s", {7}}});
  const Pages initial = pages({{"i", {1}}});
  struct Case {
    std::string name;
    std::optional<Stored> stored;
    std::optional<Pages> initial;
    std::optional<store::Held> expected;
    std::optional<Stamp> next_write;  // none: the table stays without a record
  };
  const std::vector<Case> cases = {
      {"stored pages, round 7", Stored{stored_pages, local(7, 3)}, std::nullopt, store::Held{stored_pages, 0, false},
       local(8, 1)},
      {"stored pages win over initial pages", Stored{stored_pages, local(7, 3)}, initial,
       store::Held{stored_pages, 0, false}, local(8, 1)},
      {"nothing anywhere", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"initial pages only", std::nullopt, initial, store::Held{initial, 0, true}, local(1, 1)},
      {"stored deletion without initial pages", Stored{std::nullopt, local(4, 2)}, std::nullopt, std::nullopt,
       std::nullopt},
      {"stored deletion with initial pages", Stored{std::nullopt, local(4, 2)}, initial,
       store::Held{initial, 0, true}, local(5, 1)},
      {"stored round at the top does not wrap", Stored{stored_pages, local(UINT64_MAX, 3)}, std::nullopt,
       store::Held{stored_pages, 0, false}, local(UINT64_MAX, 1)},
  };
  for (const auto& c : cases) {
    LocalStore table;
    EXPECT_EQ(table.restore("A", "k", c.stored, c.initial), c.expected) << c.name;
    EXPECT_EQ(table.knows("A", "k"), c.next_write.has_value()) << c.name;
    if (c.next_write) {
      EXPECT_EQ(table.write("A", "k", {}, true, false), *c.next_write) << c.name;
    }
  }
}

TEST(LocalStore, RestoreOfAKnownRecordIgnoresTheStore) {
  LocalStore table;
  (void)table.write("A", "k", pages({{"mine", {1}}}), false, false);
  const auto held = table.restore("A", "k", Stored{pages({{"theirs", {2}}}), local(9, 9)}, pages({{"init", {}}}));
  EXPECT_EQ(held, (store::Held{pages({{"mine", {1}}}), 0, false}));
  EXPECT_EQ(table.write("A", "k", {}, true, false), local(1, 2)) << "the round stays the table's";
}

// A durable key after its deletion: a tombstone until the store has forgotten it.
class Tombstone : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)table.write("A", "k", pages({{"p", {1}}}), true, false);
    deletion = table.write("A", "k", {}, false, true);
  }
  LocalStore table;
  Stamp deletion;
};

TEST_F(Tombstone, IsKeptUntilPurgedWithItsOwnStamp) {
  EXPECT_EQ(deletion, local(1, 2));
  EXPECT_TRUE(table.knows("A", "k"));
  EXPECT_EQ(table.kept(), (std::vector<LocalStore::Kept>{{"A", "k", true}}));
  struct Case {
    std::string name;
    Stamp stamp;
  };
  Incarnation other{};
  other[3] = 1;
  for (const auto& c : std::vector<Case>{{"other version", local(1, 1)},
                                         {"other round", local(2, 2)},
                                         {"with an address", Stamp{Epoch{1, NodeId{"h:1", {}}}, 2}},
                                         {"another incarnation", Stamp{Epoch{1, NodeId{std::nullopt, other}}, 2}}}) {
    table.purge("A", "k", c.stamp);
    EXPECT_TRUE(table.knows("A", "k")) << c.name;
  }
  table.purge("A", "k", deletion);
  EXPECT_FALSE(table.knows("A", "k"));
  EXPECT_TRUE(table.kept().empty());
}

TEST_F(Tombstone, RestoreWithoutInitialPagesGivesNothingAndChangesNothing) {
  EXPECT_EQ(table.restore("A", "k", Stored{pages({{"s", {}}}), local(9, 1)}, std::nullopt), std::nullopt);
  EXPECT_TRUE(table.knows("A", "k"));
  table.purge("A", "k", deletion);
  EXPECT_FALSE(table.knows("A", "k")) << "the tombstone kept its stamp";
}

TEST_F(Tombstone, RevivedByInitialPagesIsNoLongerPurged) {
  const Pages initial = pages({{"i", {5}}});
  EXPECT_EQ(table.restore("A", "k", std::nullopt, initial), (store::Held{initial, 0, true}));
  table.purge("A", "k", deletion);
  EXPECT_TRUE(table.knows("A", "k"));
  EXPECT_EQ(table.kept(), (std::vector<LocalStore::Kept>{{"A", "k", false}}));
}

TEST_F(Tombstone, IsDueWithoutState) {
  EXPECT_TRUE(table.unsaved("A", "k"));
  EXPECT_EQ(table.due("A", "k"), (Stored{std::nullopt, deletion}));
}

TEST_F(Tombstone, WrittenAgainIsNoLongerPurged) {
  (void)table.write("A", "k", pages({{"p", {2}}}), true, false);
  table.purge("A", "k", deletion);
  EXPECT_TRUE(table.knows("A", "k"));
}

TEST(LocalStore, DueMarksThroughWritesAndSaves) {
  LocalStore table;
  EXPECT_FALSE(table.unsaved("A", "k")) << "no record, nothing to mark";
  EXPECT_EQ(table.due("A", "k"), std::nullopt);
  EXPECT_FALSE(table.knows("A", "k")) << "asking about a key adds no record";

  (void)table.write("A", "k", pages({{"p", {1}}}), true, false);
  EXPECT_EQ(table.due("A", "k"), std::nullopt) << "a write alone marks nothing due";
  EXPECT_TRUE(table.unsaved("A", "k"));
  EXPECT_FALSE(table.unsaved("A", "k"));
  // A further write keeps the mark; the save that follows takes the pages as they are then.
  (void)table.write("A", "k", pages({{"p", {2}}}), true, false);
  EXPECT_EQ(table.due("A", "k"), (Stored{pages({{"p", {2}}}), local(1, 2)}));
  EXPECT_EQ(table.due("A", "k"), std::nullopt);
  EXPECT_TRUE(table.unsaved("A", "k")) << "after the save a new mark can be set";
}

TEST(LocalStore, DeleteForgetsWhateverTheRecordHolds) {
  LocalStore table;
  (void)table.write("A", "k", {}, false, true);
  (void)table.unsaved("A", "k");
  table.delete_("A", "k");
  EXPECT_FALSE(table.knows("A", "k"));
  EXPECT_EQ(table.due("A", "k"), std::nullopt);
  table.delete_("A", "k");
  EXPECT_EQ(table.write("A", "k", {}, true, false), local(1, 1)) << "a new record starts over";
}

// Only an inactive record saved exactly as it stands leaves: anything newer or still owed to the
// store keeps it.
TEST(LocalStore, SavedLetsGoOnlyAnInactiveRecordTheStoreHasAsItIs) {
  struct Case {
    const char* name;
    bool open;
    bool deleted;
    bool due;
    bool later_stamp;
    bool forgotten;
  };
  const Case cases[] = {
      {"inactive, saved as it is", false, false, false, false, true},
      {"active", true, false, false, false, false},
      {"a tombstone", false, true, false, false, false},
      {"a save still due", false, false, true, false, false},
      {"written again since", false, false, false, true, false},
  };
  for (const Case& c : cases) {
    LocalStore table;
    const Stamp saved = table.write("A", "k", pages({{"p", {1}}}), c.open, c.deleted);
    if (c.later_stamp) (void)table.write("A", "k", pages({{"p", {2}}}), c.open, c.deleted);
    if (c.due) (void)table.unsaved("A", "k");
    table.saved("A", "k", saved);
    EXPECT_EQ(table.knows("A", "k"), !c.forgotten) << c.name;
  }
  LocalStore empty;
  empty.saved("A", "k", local(1, 1));
  EXPECT_FALSE(empty.knows("A", "k"));
}

TEST(LocalStore, KeptListsEveryRecord) {
  LocalStore table;
  (void)table.write("A", "1", {}, true, false);
  (void)table.write("A", "2", {}, false, true);
  (void)table.write("B", "1", {}, true, false);
  auto kept = table.kept();
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return std::tie(a.actor, a.key) < std::tie(b.actor, b.key);
  });
  EXPECT_EQ(kept, (std::vector<LocalStore::Kept>{{"A", "1", false}, {"A", "2", true}, {"B", "1", false}}));
}

}  // namespace
}  // namespace vorel::core
