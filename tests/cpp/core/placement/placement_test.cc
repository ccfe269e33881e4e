#include "core/placement/placement.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>

#include "core/handoff/ranges.hpp"
#include "testing/ids.hpp"
#include "core/placement/pin.hpp"

namespace vorel::core::placement {
namespace {

using membership::Member;
using membership::Status;
using testing::id;
using testing::random_ids;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// The hand-off as placement sees it: the listed (step, key) pairs are still arriving.
struct Arriving : Transfers {
  std::vector<std::pair<Step, std::string>> keys;
  bool receiving(const Step& step, std::string_view key) const override {
    return std::any_of(keys.begin(), keys.end(), [&](const auto& k) { return k.first == step && k.second == key; });
  }
};

Member member(const NodeId& node, Status status = Status::Alive) { return Member{node, {"T"}, status}; }

std::vector<Member> alive(std::initializer_list<NodeId> ids) {
  std::vector<Member> out;
  for (const auto& x : ids) out.push_back(member(x));
  return out;
}

Ring ring_of(std::initializer_list<NodeId> ids) { return Ring::build(std::vector<NodeId>(ids), kTokens); }

Counts counted(std::uint64_t count) {
  Counts counts;
  counts.learn("T", count);
  return counts;
}

// A key whose first replica on the current ring is `owner`.
std::string key_first_on(const Placement& p, const NodeId& owner, const Counts& counts) {
  const Arriving none;
  for (int i = 0;; ++i) {
    auto key = std::to_string(i);
    if (p.replicas("T", key, counts, none).front() == owner) return key;
  }
}

class PlacementTest : public ::testing::Test {
 protected:
  const NodeId a = id(1), b = id(2), c = id(3);
  Placement p{a};
  Counts counts = counted(2);
  Arriving none;
};

TEST_F(PlacementTest, NothingIsPlacedBeforeTheFirstUpdate) {
  EXPECT_TRUE(p.replicas("T", "k", counts, none).empty());
  EXPECT_EQ(p.owner("T", "k", counts, none), std::nullopt);
  EXPECT_EQ(p.destination("T", "k", counts), std::nullopt);
  EXPECT_EQ(p.owner("T", pin(*a.address, "k"), counts, none), std::nullopt);
}

TEST_F(PlacementTest, PinnedKeysStayOnTheirNode) {
  p.update(alive({a, b, c}), counts);
  const auto key = pin(*b.address, "k");
  EXPECT_EQ(p.replicas("T", key, counts, none), std::vector<NodeId>{b});
  EXPECT_EQ(p.owner("T", key, counts, none), b);
  EXPECT_EQ(p.destination("T", key, counts), b);
  EXPECT_TRUE(p.replicas("T", pin("elsewhere:1", "k"), counts, none).empty());
  EXPECT_EQ(p.owner("T", pin("elsewhere:1", "k"), counts, none), std::nullopt);

  p.update({member(a), member(b, Status::Dead), member(c)}, counts);
  EXPECT_EQ(p.replicas("T", key, counts, none), std::vector<NodeId>{b});
  EXPECT_EQ(p.owner("T", key, counts, none), std::nullopt);
  EXPECT_EQ(p.destination("T", key, counts), std::nullopt);
}

TEST_F(PlacementTest, AdvertisedPrefersTheMostAvailableMember) {
  Incarnation low{}, high{};
  high.fill(9);
  const NodeId first{"h:1", low}, second{"h:1", high};
  struct Case {
    Status first, second;
    NodeId want;
  };
  const Case cases[] = {
      {Status::Alive, Status::Alive, first},     {Status::Suspect, Status::Alive, second},
      {Status::Leaving, Status::Suspect, second}, {Status::Dead, Status::Leaving, second},
      {Status::Left, Status::Dead, second},       {Status::Dead, Status::Dead, first},
  };
  for (const auto& k : cases) {
    p.update({member(second, k.second), member(first, k.first), member(c)}, counts);
    EXPECT_EQ(p.advertised("h:1"), k.want) << status_text(k.first) << " " << status_text(k.second);
  }
  EXPECT_EQ(p.advertised("h:2"), std::nullopt);
  p.update({member(NodeId{std::nullopt, low})}, counts);
  EXPECT_EQ(p.advertised(""), std::nullopt);
}

TEST_F(PlacementTest, ACountOfZeroPlacesNothing) {
  const auto zero = counted(0);
  EXPECT_TRUE(p.update(alive({a, b}), zero).empty());
  EXPECT_TRUE(p.replicas("T", "k", zero, none).empty());
  EXPECT_EQ(p.owner("T", "k", zero, none), std::nullopt);
}

TEST_F(PlacementTest, AbsentOrUnknownCountsMakeEveryMemberAReplica) {
  Counts unknown;
  unknown.give_up("U");
  p.update(alive({a, b, c}), unknown);
  EXPECT_EQ(p.replicas("T", "k", unknown, none).size(), 3u);
  EXPECT_EQ(p.replicas("U", "k", unknown, none).size(), 3u);
  EXPECT_FALSE(p.rings.contains("T"));
  EXPECT_TRUE(p.rings.contains("U"));
}

TEST_F(PlacementTest, AStatusChangeKeepsTheRingAndMovesOnlyOwners) {
  p.update(alive({a, b, c}), counts);
  const Ring before = *p.ring;
  const auto key = key_first_on(p, b, counts);
  const auto replicas = p.replicas("T", key, counts, none);
  EXPECT_TRUE(p.update({member(a), member(b, Status::Dead), member(c)}, counts).empty());
  EXPECT_EQ(*p.ring, before);
  EXPECT_EQ(p.replicas("T", key, counts, none), replicas);
  EXPECT_EQ(p.owner("T", key, counts, none), replicas[1]);
  EXPECT_EQ(p.destination("T", key, counts), replicas[1]);
  p.update({member(a), member(b, Status::Suspect), member(c)}, counts);
  EXPECT_EQ(p.owner("T", key, counts, none), b);
}

TEST_F(PlacementTest, ALoneNodeOwnsTheWholeRing) {
  const auto steps = p.update(alive({a}), counts);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].actor, "T");
  EXPECT_TRUE(steps[0].from.empty());
  EXPECT_EQ(steps[0].to, ring_of({a}));
  EXPECT_EQ(steps[0].ranges, (std::vector<Range>{{kMax, kMax}}));
  EXPECT_FALSE(p.clustered);
  EXPECT_EQ(p.owner("T", "anything", counts, none), a);
}

// On the node that was alone: it starts from the ring of the joiner, and gains its ranges there.
TEST_F(PlacementTest, AJoinGivesTheOldNodeOneStep) {
  const auto one = counted(1);
  p.update(alive({a}), one);
  p.steps["T"].clear();  // the hand-off released the first step
  const auto steps = p.update(alive({a, b}), one);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].from, ring_of({b}));
  EXPECT_EQ(steps[0].to, ring_of({a, b}));
  EXPECT_EQ(handoff::ranges::arcs(steps[0].ranges), handoff::ranges::arcs(ring_of({a, b}).ranges_of(a, 1)));
  EXPECT_TRUE(p.clustered);
  EXPECT_EQ(p.rings.at("T"), ring_of({a, b}));
  EXPECT_EQ(p.steps.at("T"), steps);
}

// On the joiner, whose first view already holds the old member: the step {A} to {A, B}.
TEST_F(PlacementTest, AJoinerStartsFromTheRingWithoutItself) {
  Placement joiner{b};
  const auto steps = joiner.update(alive({a, b}), counted(1));
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].from, ring_of({a}));
  EXPECT_EQ(steps[0].to, ring_of({a, b}));
  EXPECT_EQ(handoff::ranges::arcs(steps[0].ranges), handoff::ranges::arcs(ring_of({a, b}).ranges_of(b, 1)));
}

TEST_F(PlacementTest, SeveralChangesMakeOneStepPerGainingRing) {
  Counts one = counted(1);
  p.update(alive({a, b}), one);
  p.steps["T"].clear();
  const auto steps = p.update(alive({a, c, id(4)}), one);
  // Joiners first, then the leaver; only rings on which a gains something make a step.
  const auto rings = chain(ring_of({a, b}), ring_of({a, c, id(4)}), kTokens);
  ASSERT_EQ(rings.size(), 3u);
  std::vector<Step> want;
  Ring from = ring_of({a, b});
  for (const auto& r : rings) {
    auto gained = handoff::ranges::gained(from, r, a, 1);
    if (!gained.empty()) want.push_back(Step{"T", from, r, gained});
    from = r;
  }
  EXPECT_FALSE(want.empty());
  EXPECT_EQ(steps, want);
  EXPECT_EQ(p.rings.at("T"), ring_of({a, c, id(4)}));
}

// A join only takes ranges away from the old members; a leave gives them ranges.
TEST_F(PlacementTest, ANewChangeIsChainedAfterTheStepInFlight) {
  const auto one = counted(1);
  p.update(alive({a, b, c}), one);
  p.steps["T"].clear();
  const auto first = p.update(alive({a, b}), one);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].from, ring_of({a, b, c}));
  // The step is still in flight when b leaves too: the next step starts from its ring.
  const auto second = p.update(alive({a}), one);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].from, first[0].to);
  EXPECT_EQ(second[0].to, ring_of({a}));
  EXPECT_EQ(p.steps.at("T"), (std::vector<Step>{first[0], second[0]}));
}

TEST_F(PlacementTest, KeysStillArrivingArePlacedByTheRingBeforeTheirStep) {
  p.update(alive({a, b, c}), counts);
  p.steps["T"].clear();
  const auto steps = p.update(alive({a, b}), counts);
  ASSERT_EQ(steps.size(), 1u);
  const auto& step = steps.back();
  std::string key;
  for (int i = 0;; ++i) {
    key = std::to_string(i);
    if (step.from.replicas(token("T", key), 2) != step.to.replicas(token("T", key), 2)) break;
  }
  Arriving arriving;
  arriving.keys.emplace_back(step, key);
  EXPECT_EQ(p.replicas("T", key, counts, arriving), step.from.replicas(token("T", key), 2));
  EXPECT_EQ(p.replicas("T", key, counts, none), step.to.replicas(token("T", key), 2));
  // The destination already looks past the step.
  EXPECT_EQ(p.destination("T", key, counts), step.to.replicas(token("T", key), 2).front());
}

TEST_F(PlacementTest, AClientMakesNoStepsButFollowsTheRing) {
  Placement client{std::nullopt};
  EXPECT_TRUE(client.update(alive({a}), counts).empty());
  EXPECT_TRUE(client.update(alive({a, b}), counts).empty());
  EXPECT_EQ(client.rings.at("T"), ring_of({a, b}));
}

TEST_F(PlacementTest, LearnedCopiesTheRingOnlyOnceClustered) {
  p.update(alive({a}), counts);
  p.learned("U");
  EXPECT_FALSE(p.rings.contains("U"));
  p.update(alive({a, b}), counts);
  p.learned("U");
  EXPECT_EQ(p.rings.at("U"), ring_of({a, b}));
  p.update(alive({a, b, c}), counts);
  p.learned("U");
  EXPECT_EQ(p.rings.at("U"), ring_of({a, b})) << "a type with a ring keeps it";
}

TEST(Counts, GiveUpNeverOverridesAKnownCount) {
  Counts counts;
  counts.learn("A", 3);
  counts.give_up("A");
  EXPECT_EQ(counts.known("A"), 3u);
  counts.give_up("B");
  EXPECT_EQ(counts.known("B"), std::nullopt);
  EXPECT_TRUE(counts.entries().contains("B"));
  counts.learn("B", 2);
  EXPECT_EQ(counts.known("B"), 2u);
  EXPECT_EQ(counts.known("C"), std::nullopt);
}

// Every node computes the same replicas from the same member set, whatever the order it learnt
// the members in and whatever their statuses.
TEST(PlacementAgreement, SameMembersSameReplicas) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 10; ++round) {
    const auto ids = random_ids(rng, 2 + rng() % 8);
    std::vector<Member> list;
    for (const auto& x : ids) list.push_back(Member{x, {}, static_cast<Status>(rng() % 5)});
    std::vector<Placement> nodes;
    Counts counts = counted(3);
    for (const auto& me : ids) {
      auto shuffled = list;
      std::shuffle(shuffled.begin(), shuffled.end(), rng);
      nodes.emplace_back(me).update(shuffled, counts);
    }
    Arriving none;
    for (int k = 0; k < 50; ++k) {
      const auto key = std::to_string(rng());
      const auto want = nodes[0].replicas("T", key, counts, none);
      ASSERT_EQ(want.size(), std::min<std::size_t>(3, ids.size()));
      for (const auto& n : nodes) {
        EXPECT_EQ(n.replicas("T", key, counts, none), want);
        EXPECT_EQ(n.owner("T", key, counts, none), nodes[0].owner("T", key, counts, none));
      }
    }
  }
}

TEST(Acting, OnlyAJoinedServingNodeActsForItsUnpinnedKeys) {
  const NodeId me = id(1), other = id(2);
  const auto pinned_key = pin(*me.address, "k");
  struct Case {
    std::optional<NodeId> owner;
    std::string key;
    bool joined, serving;
    std::optional<NodeId> want;
  };
  const Case cases[] = {
      {me, "k", true, true, me},
      {me, "k", false, true, std::nullopt},
      {std::nullopt, "k", true, true, std::nullopt},
      {me, "k", true, false, std::nullopt},
      {me, pinned_key, true, false, me},
      {other, "k", true, false, other},
  };
  for (const auto& c : cases) EXPECT_EQ(acting(c.owner, c.key, me, c.joined, c.serving), c.want) << c.key;
}

}  // namespace
}  // namespace vorel::core::placement
