#include "core/membership/table.hpp"

#include <gtest/gtest.h>

#include "core/membership/support.hpp"

namespace vorel::core::membership {
namespace {

using table::Record;
using table::Status;
using table::Transition;
using testing::node;
using testing::record;

constexpr double kDeadAfter = 10.0;

MemberTable fresh(std::optional<double> remove_after = std::nullopt, std::set<std::string> types = {"a", "c"}) {
  return MemberTable(node(0), std::move(types), kDeadAfter, remove_after);
}

struct MergeCase {
  const char* name;
  Status held;
  std::uint64_t held_inc;
  Status got;
  std::uint64_t got_inc;
  bool accepted;
};

class MergePrecedence : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergePrecedence, AcceptsOrIgnores) {
  const auto& c = GetParam();
  MemberTable t = fresh();
  t.set(record(node(1), c.held_inc, c.held), 1.0);
  t.take_transitions();

  auto result = t.merge(record(node(1), c.got_inc, c.got), 2.0);
  if (c.accepted) {
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, record(node(1), c.got_inc, c.got));
    EXPECT_EQ(*t.find(node(1)), *result);
    EXPECT_EQ(t.changed_at(node(1)), 2.0);
    std::vector<Transition> expected;
    if (c.got != c.held) expected.push_back({node(1), c.got, c.held});
    EXPECT_EQ(t.take_transitions(), expected);
  } else {
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(*t.find(node(1)), record(node(1), c.held_inc, c.held));
    EXPECT_EQ(t.changed_at(node(1)), 1.0);
    EXPECT_TRUE(t.take_transitions().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    MemberTable, MergePrecedence,
    ::testing::Values(MergeCase{"LeftBeatsHigherIncarnation", Status::Alive, 9, Status::Left, 3, true},
                      MergeCase{"NothingBeatsLeft", Status::Left, 3, Status::Alive, 9, false},
                      MergeCase{"NewerLeftOverLeft", Status::Left, 3, Status::Left, 4, true},
                      MergeCase{"OlderLeftOverLeft", Status::Left, 4, Status::Left, 3, false},
                      MergeCase{"HigherIncarnationWins", Status::Dead, 2, Status::Alive, 3, true},
                      MergeCase{"LowerIncarnationLoses", Status::Alive, 3, Status::Dead, 2, false},
                      MergeCase{"SuspectOverAlive", Status::Alive, 5, Status::Suspect, 5, true},
                      MergeCase{"SuspectOverLeaving", Status::Leaving, 5, Status::Suspect, 5, true},
                      MergeCase{"LeavingOverAlive", Status::Alive, 5, Status::Leaving, 5, true},
                      MergeCase{"DeadOverSuspect", Status::Suspect, 5, Status::Dead, 5, true},
                      MergeCase{"AliveUnderSuspect", Status::Suspect, 5, Status::Alive, 5, false},
                      MergeCase{"SuspectUnderDead", Status::Dead, 5, Status::Suspect, 5, false},
                      MergeCase{"SameRecordIgnored", Status::Alive, 5, Status::Alive, 5, false}),
    [](const auto& info) { return info.param.name; });

TEST(MemberTable, StartsWithItsOwnRecord) {
  MemberTable t = fresh();
  EXPECT_EQ(t.own(), record(node(0), 0, Status::Alive, {"a", "c"}));
  EXPECT_EQ(t.records().size(), 1u);
  EXPECT_EQ(t.changed_at(node(0)), 0.0);
  EXPECT_TRUE(t.take_transitions().empty());
}

TEST(MemberTable, UnknownNodesAreLearned) {
  MemberTable t = fresh();
  EXPECT_EQ(t.merge(record(node(1), 0, Status::Suspect), 1.0), record(node(1), 0, Status::Suspect));
  // A node first learned of as left is stored but never reported.
  EXPECT_EQ(t.merge(record(node(2), 0, Status::Left), 1.0), record(node(2), 0, Status::Left));
  EXPECT_EQ(t.take_transitions(), (std::vector<Transition>{{node(1), Status::Suspect, std::nullopt}}));
  EXPECT_EQ(t.records().size(), 3u);
}

TEST(MemberTable, RefutesRumoursAboutItself) {
  struct Case {
    Status own;
    Record rumour;
    std::optional<Record> result;
  };
  const std::vector<Case> cases = {
      // The refutation is the rumour's incarnation plus one, keeping the own types and status.
      {Status::Alive, record(node(0), 4, Status::Suspect), record(node(0), 5, Status::Alive, {"a", "c"})},
      {Status::Leaving, record(node(0), 7, Status::Dead), record(node(0), 8, Status::Leaving, {"a", "c"})},
      // An older rumour loses by precedence.
      {Status::Alive, record(node(0), 3, Status::Suspect), std::nullopt},
      // The own live record changes only through know and mark.
      {Status::Alive, record(node(0), 9, Status::Alive), std::nullopt},
      {Status::Alive, record(node(0), 9, Status::Leaving), std::nullopt},
  };
  for (const auto& c : cases) {
    MemberTable t = fresh();
    t.set(record(node(0), 4, c.own, {"a", "c"}), 0.0);
    auto result = t.merge(c.rumour, 3.0);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(t.own(), c.result.value_or(record(node(0), 4, c.own, {"a", "c"})));
  }
}

TEST(MemberTable, LeftAboutItselfIsStored) {
  MemberTable t = fresh();
  EXPECT_EQ(t.merge(record(node(0), 0, Status::Left), 1.0), record(node(0), 0, Status::Left));
  EXPECT_EQ(t.own().status, Status::Left);
  EXPECT_EQ(t.take_transitions(), (std::vector<Transition>{{node(0), Status::Left, Status::Alive}}));
  // The own record is never forgotten.
  t.expire(1000.0);
  EXPECT_NE(t.find(node(0)), nullptr);
}

TEST(MemberTable, KnowAddsTypes) {
  MemberTable t = fresh();
  EXPECT_FALSE(t.know({}, 1.0).has_value());
  EXPECT_FALSE(t.know({"a"}, 1.0).has_value());
  EXPECT_EQ(t.own().incarnation, 0u);
  EXPECT_EQ(t.know({"b"}, 2.0), record(node(0), 1, Status::Alive, {"a", "b", "c"}));
  EXPECT_EQ(t.changed_at(node(0)), 2.0);
}

TEST(MemberTable, MarkSetsTheOwnStatus) {
  MemberTable t = fresh();
  EXPECT_EQ(t.mark(Status::Leaving, 1.0), record(node(0), 0, Status::Leaving, {"a", "c"}));
  EXPECT_EQ(t.mark(Status::Leaving, 2.0).status, Status::Leaving);
  EXPECT_EQ(t.changed_at(node(0)), 2.0);
  EXPECT_EQ(t.take_transitions(), (std::vector<Transition>{{node(0), Status::Leaving, Status::Alive}}));
}

TEST(MemberTable, AdmitRetiresEarlierRunsAtTheAddress) {
  MemberTable t = fresh();
  t.merge(record(node(1, 1), 2, Status::Alive), 1.0);
  t.merge(record(node(1, 2), 0, Status::Alive), 1.0);
  t.merge(record(node(2), 0, Status::Alive), 1.0);
  t.take_transitions();
  auto changed = t.admit(record(node(1, 3), 0, Status::Alive), 2.0);
  ASSERT_EQ(changed.size(), 3u);
  EXPECT_EQ(changed[0], record(node(1, 3), 0, Status::Alive));
  std::set<std::pair<int, std::uint64_t>> earlier;
  for (std::size_t i = 1; i < changed.size(); ++i) {
    EXPECT_EQ(changed[i].status, Status::Left);
    earlier.insert({changed[i].node.incarnation[14], changed[i].incarnation});
  }
  EXPECT_EQ(earlier, (std::set<std::pair<int, std::uint64_t>>{{1, 2}, {2, 0}}));
  EXPECT_EQ(t.find(node(2))->status, Status::Alive);
}

TEST(MemberTable, SuspectBecomesDeadAfterDeadAfter) {
  MemberTable t = fresh();
  t.merge(record(node(1), 0, Status::Suspect), 5.0);
  EXPECT_TRUE(t.expire(14.9).empty());
  EXPECT_EQ(t.expire(15.0), (std::vector<Record>{record(node(1), 0, Status::Dead)}));
  EXPECT_EQ(t.changed_at(node(1)), 15.0);
  t.take_transitions();
  EXPECT_TRUE(t.expire(100.0).empty());  // no remove_after: dead stays dead
  EXPECT_EQ(t.find(node(1))->status, Status::Dead);
}

TEST(MemberTable, DeadBecomesLeftOnlyWithAMajority) {
  // 6 records that have not left, one of them dead; the rest alive or suspect.
  for (int alive : {3, 4}) {
    MemberTable t = fresh(20.0);
    t.merge(record(node(1), 0, Status::Dead), 0.0);
    for (int k = 2; k <= 5; ++k) t.merge(record(node(k), 0, k <= alive ? Status::Alive : Status::Leaving), 0.0);
    t.merge(record(node(9), 0, Status::Left), 0.0);
    auto changed = t.expire(19.9);
    EXPECT_TRUE(changed.empty());
    changed = t.expire(20.0);
    if (alive == 4) {
      EXPECT_EQ(changed, (std::vector<Record>{record(node(1), 0, Status::Left)})) << alive;
    } else {
      EXPECT_TRUE(changed.empty()) << alive;  // 2 × 3 is not above 6
    }
  }
}

TEST(MemberTable, LeftRecordsAreForgottenAfterAMinute) {
  MemberTable t = fresh();
  t.merge(record(node(1), 0, Status::Left), 10.0);
  t.expire(69.9);
  EXPECT_NE(t.find(node(1)), nullptr);
  EXPECT_TRUE(t.expire(70.0).empty());
  EXPECT_EQ(t.find(node(1)), nullptr);
  EXPECT_FALSE(t.changed_at(node(1)).has_value());
  EXPECT_TRUE(t.take_transitions().empty());
}

TEST(MemberTable, AForgottenMemberDoesNotComeBack) {
  // A node cut off for longer than the minute still holds the departed member as it last knew it.
  MemberTable t = fresh();
  t.merge(record(node(1), 3, Status::Alive), 0.0);
  t.merge(record(node(1), 3, Status::Left), 10.0);
  t.expire(70.0);
  ASSERT_EQ(t.find(node(1)), nullptr);
  t.take_transitions();
  for (auto status : {Status::Alive, Status::Suspect, Status::Dead, Status::Left}) {
    EXPECT_FALSE(t.merge(record(node(1), 9, status), 80.0).has_value());
  }
  EXPECT_TRUE(t.admit(record(node(1), 9, Status::Alive), 80.0).empty());
  EXPECT_EQ(t.find(node(1)), nullptr);
  EXPECT_TRUE(t.take_transitions().empty());
  // A new run at the same address is another member.
  EXPECT_TRUE(t.merge(record(node(1, 1), 0, Status::Alive), 80.0).has_value());
}

}  // namespace
}  // namespace vorel::core::membership
