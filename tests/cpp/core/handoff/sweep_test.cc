#include "core/handoff/sweep.hpp"

#include <gtest/gtest.h>

#include "testing/ids.hpp"
#include "core/placement/pin.hpp"

namespace vorel::core::handoff::sweep {
namespace {

using membership::Member;
using testing::id;

struct NoTransfers : placement::Transfers {
  bool receiving(const placement::Step&, std::string_view) const override { return false; }
};

// Node a among a, b and c, one replica per key.
class SweepTest : public ::testing::Test {
 protected:
  SweepTest() {
    counts.learn("T", 1);
    placement.update({Member{a, {"T"}}, Member{b, {"T"}}, Member{c, {"T"}}}, counts);
    mine = key_on(a, 0);
    mine2 = key_on(a, 1);
    theirs = key_on(b, 0);
  }

  // The n-th key (from 0) whose one replica is `node`.
  std::string key_on(const NodeId& node, int n) {
    for (int i = 0;; ++i) {
      auto key = std::to_string(i);
      if (placement.replicas("T", key, counts, transfers) == std::vector<NodeId>{node} && n-- == 0) return key;
    }
  }

  Where view(bool joined = true, bool serving = true) {
    return Where{placement, counts, transfers, a, joined, serving};
  }

  const NodeId a = id(1), b = id(2), c = id(3);
  placement::Placement placement{a};
  placement::Counts counts;
  NoTransfers transfers;
  std::string mine, mine2, theirs;
};

TEST_F(SweepTest, AttachesMarkedKeysThisNodeNowActsFor) {
  const std::vector<Kept> kept{{"T", mine2, true}, {"T", theirs, true}, {"T", mine, false}, {"T", mine, true}};
  const auto swept = sweep(kept, {}, view());
  EXPECT_EQ(swept.attach, (std::vector<Key>{{"T", mine2}, {"T", mine}}));
  // Already active here: nothing to attach.
  EXPECT_EQ(sweep(kept, {{"T", mine}}, view()).attach, (std::vector<Key>{{"T", mine2}}));
  EXPECT_TRUE(sweep(kept, {}, view(false)).attach.empty());
}

TEST_F(SweepTest, ReleasesActiveKeysThisNodeNoLongerActsFor) {
  const auto pinned_here = placement::pin(*a.address, "p");
  const std::set<Key> acting{{"T", mine}, {"T", theirs}, {"T", pinned_here}, {"T", placement::pin("gone:1", "q")}};
  // Listed in ascending order, as the set holds them.
  auto ascending = [](std::set<Key> keys) { return std::vector<Key>(keys.begin(), keys.end()); };
  EXPECT_EQ(sweep({}, acting, view()).release, ascending({{"T", placement::pin("gone:1", "q")}, {"T", theirs}}));
  // Cut off from the majority: only its pinned keys stay.
  EXPECT_EQ(sweep({}, acting, view(true, false)).release,
            ascending({{"T", placement::pin("gone:1", "q")}, {"T", mine}, {"T", theirs}}));
  // Not joined: nothing is acted for here.
  EXPECT_EQ(sweep({}, acting, view(false)).release.size(), acting.size());
}

TEST_F(SweepTest, HandsOverKeptKeysItNoLongerReplicates) {
  const auto pinned_elsewhere = placement::pin(*b.address, "p");
  const std::vector<Kept> kept{{"T", mine, false}, {"T", theirs, true}, {"T", pinned_elsewhere, false}};
  const auto swept = sweep(kept, {}, view());
  ASSERT_EQ(swept.handovers.size(), 1u);
  EXPECT_EQ(swept.handovers[0], (Handover{"T", theirs, {b}}));
}

TEST_F(SweepTest, WithoutARingEverythingIsKept) {
  placement::Placement lonely{a};
  const Where where{lonely, counts, transfers, a, true, true};
  const std::vector<Kept> kept{{"T", mine, true}, {"T", theirs, true}};
  const auto swept = sweep(kept, {{"T", mine}}, where);
  EXPECT_TRUE(swept.handovers.empty());
  EXPECT_TRUE(swept.attach.empty());
  EXPECT_EQ(swept.release, (std::vector<Key>{{"T", mine}}));
}

}  // namespace
}  // namespace vorel::core::handoff::sweep
