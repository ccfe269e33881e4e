#include "core/handoff/ranges.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "testing/ids.hpp"

namespace vorel::core::handoff::ranges {
namespace {

using placement::kTokens;
using placement::Range;
using placement::Ring;
using testing::id;
using testing::random_ids;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Ring ring_of(std::initializer_list<NodeId> ids) { return Ring::build(std::vector<NodeId>(ids), kTokens); }

bool held(const std::vector<Range>& ranges, std::uint64_t t) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const Range& r) { return r.holds(t); });
}

TEST(Arcs, RangesBecomeSortedHalfOpenArcs) {
  struct Case {
    std::vector<Range> ranges;
    std::vector<Arc> arcs;
  };
  const Case cases[] = {
      {{{5, 5}}, {{0, kTop}}},
      {{{5, 9}}, {{6, 10}}},
      {{{9, 5}}, {{0, 6}, {10, kTop}}},
      {{{kMax, 3}}, {{0, 4}, {kTop, kTop}}},
      {{{3, kMax}}, {{4, kTop}}},
      {{{20, 30}, {1, 2}}, {{2, 3}, {21, 31}}},
      {{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(arcs(c.ranges), c.arcs);
}

TEST(Arcs, DifferenceKeepsWhatTheCutsMiss) {
  struct Case {
    std::vector<Arc> a, b, out;
  };
  const Case cases[] = {
      {{{0, 10}}, {}, {{0, 10}}},
      {{{0, 10}}, {{0, 10}}, {}},
      {{{0, 10}}, {{2, 4}, {6, 8}}, {{0, 2}, {4, 6}, {8, 10}}},
      {{{5, 10}}, {{0, 6}, {9, 20}}, {{6, 9}}},
      {{{0, 5}, {10, 15}}, {{3, 12}}, {{0, 3}, {12, 15}}},
      {{{0, kTop}}, {{0, 4}, {kTop, kTop}}, {{4, kTop}}},
      {{{kTop, kTop}}, {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(minus(c.a, c.b), c.out);
}

TEST(Arcs, BackToRangesJoiningTheEnds) {
  struct Case {
    std::vector<Arc> arcs;
    std::vector<Range> ranges;
  };
  const Case cases[] = {
      {{}, {}},
      {{{0, kTop}}, {{kMax, kMax}}},
      {{{0, 10}, {kTop - 5, kTop}}, {{kMax - 5, 9}}},
      {{{0, 10}, {20, 30}, {kTop - 5, kTop}}, {{kMax - 5, 9}, {19, 29}}},
      {{{0, 10}}, {{kMax, 9}}},
      {{{10, kTop}}, {{9, kMax}}},
      {{{6, 10}, {20, 30}}, {{5, 9}, {19, 29}}},
  };
  for (const auto& c : cases) EXPECT_EQ(from_arcs(c.arcs), c.ranges);
}

TEST(Gained, NothingWhenTheRingStays) {
  const auto ring = ring_of({id(1), id(2), id(3)});
  EXPECT_TRUE(gained(ring, ring, id(1), 2).empty());
}

TEST(Gained, ALoneNewcomerGainsTheWholeRing) {
  EXPECT_EQ(gained(Ring{}, ring_of({id(1)}), id(1), 1), (std::vector<Range>{{kMax, kMax}}));
}

TEST(Gained, ANonMemberGainsNothing) {
  EXPECT_TRUE(gained(Ring{}, ring_of({id(1), id(2)}), id(3), 2).empty());
}

// A token is gained exactly when the node replicates it on the new ring and did not on the old.
TEST(Gained, MatchesTheReplicasOnBothRings) {
  std::mt19937_64 rng(17);
  for (int round = 0; round < 12; ++round) {
    const auto ids = random_ids(rng, 2 + rng() % 6);
    const std::vector<NodeId> fewer(ids.begin(), ids.end() - 1);
    const auto small = Ring::build(fewer, kTokens);
    const auto big = Ring::build(ids, kTokens);
    const std::uint64_t n = 1 + rng() % 3;
    // A join gives the newcomer and some old members ranges; a leave gives the others ranges.
    for (const auto& [before, after] : {std::pair{&small, &big}, std::pair{&big, &small}}) {
      for (const auto& node : ids) {
        const auto got = gained(*before, *after, node, n);
        std::vector<std::uint64_t> probes{0, kMax};
        for (int k = 0; k < 200; ++k) probes.push_back(rng());
        for (const auto* r : {before, after}) {
          for (int k = 0; k < 40 && !r->tokens().empty(); ++k) {
            const auto t = r->tokens()[rng() % r->tokens().size()];
            probes.insert(probes.end(), {t, t + 1});
          }
        }
        for (auto t : probes) {
          const auto now = after->replicas(t, n);
          const auto then = before->replicas(t, n);
          const bool want = std::find(now.begin(), now.end(), node) != now.end() &&
                            std::find(then.begin(), then.end(), node) == then.end();
          ASSERT_EQ(held(got, t), want) << "token " << t;
        }
      }
    }
  }
}

class TransferTest : public ::testing::Test {
 protected:
  TransferTest() {
    transfer.actor = "T";
    transfer.previous = ring_of({id(1), id(2), id(3)});
    transfer.n = 3;
    transfer.threshold = 2;
    transfer.asked = {id(1), id(2), id(3)};
    // Half the ring, away from the token 0.
    transfer.ranges = {{0x1000, 0x8000000000000000}};
  }
  Transfer transfer;
};

TEST_F(TransferTest, NotArrivingOutsideItsRanges) {
  transfer.threshold = 5;
  EXPECT_FALSE(transfer.receiving(0x10));
  EXPECT_FALSE(transfer.receiving(0x1000));
  EXPECT_FALSE(transfer.receiving(kMax));
  transfer.ranges.clear();
  EXPECT_FALSE(transfer.receiving(0x2000));
}

TEST_F(TransferTest, ArrivingUntilThresholdReplicasHaveAnswered) {
  const std::uint64_t t = 0x4000000000000000;
  EXPECT_TRUE(transfer.receiving(t));
  transfer.finished = {id(1), id(2)};
  transfer.answered = {id(1)};
  EXPECT_TRUE(transfer.receiving(t)) << "a finished node that was itself receiving does not count";
  transfer.answered.insert(id(2));
  EXPECT_FALSE(transfer.receiving(t));
}

TEST_F(TransferTest, WithoutPreviousReplicasOnlyAThresholdKeepsItArriving) {
  transfer.previous = Ring{};
  transfer.threshold = 1;
  EXPECT_TRUE(transfer.receiving(0x2000));
  transfer.threshold = 0;
  EXPECT_FALSE(transfer.receiving(0x2000));
}

TEST_F(TransferTest, PendingIsAskedMinusFinished) {
  transfer.finished = {id(2)};
  EXPECT_EQ(transfer.pending(), (std::set<NodeId>{id(1), id(3)}));
  transfer.finished = transfer.asked;
  EXPECT_TRUE(transfer.pending().empty());
}

}  // namespace
}  // namespace vorel::core::handoff::ranges
