#include "core/placement/ring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>

#include "testing/ids.hpp"
#include "core/placement/pin.hpp"

namespace vorel::core::placement {
namespace {

using testing::id;
using testing::random_ids;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Incarnation counting() {
  Incarnation inc;
  for (int i = 0; i < 16; ++i) inc[i] = static_cast<std::uint8_t>(i);
  return inc;
}

std::set<NodeId> as_set(const std::vector<NodeId>& ids) { return {ids.begin(), ids.end()}; }

// Whether every ring invariant holds and the ring is the one its members build.
void expect_sound(const Ring& ring) {
  ASSERT_EQ(ring.tokens().size(), ring.members().size() * kTokens);
  EXPECT_TRUE(std::is_sorted(ring.tokens().begin(), ring.tokens().end()));
  EXPECT_TRUE(std::is_sorted(ring.members().begin(), ring.members().end(), ring_less));
  for (std::size_t i = 0; i < ring.tokens().size(); ++i) EXPECT_TRUE(ring.has(ring.owner(i)));
  EXPECT_EQ(ring, Ring::build(ring.members(), kTokens));
}

// Digests checked against an independent BLAKE2b implementation (digest size 8).
TEST(Digest, KnownVectors) {
  struct Case {
    std::string_view text;
    std::uint64_t value;
  };
  for (const auto& c : {Case{"abc", 0xd8bb14d833d59559}, Case{"", 0xe4a6a0577479b2b4},
                        Case{"counter/7", 0x1071da1ddbfc6c9c}}) {
    EXPECT_EQ(digest(c.text), c.value) << c.text;
  }
  EXPECT_EQ(token("counter", "7"), 0x1071da1ddbfc6c9cu);
}

TEST(Digest, KeyPositionJoinsTypeAndKeyWithASlash) { EXPECT_EQ(token("a/b", "c"), token("a", "b/c")); }

TEST(Digest, MemberTokensHashAddressUuidAndIndex) {
  const NodeId with{"10.0.0.1:7000", counting()};
  const NodeId without{std::nullopt, counting()};
  for (const auto& [node, address] : {std::pair{with, std::string("10.0.0.1:7000")}, std::pair{without, std::string("None")}}) {
    std::vector<std::uint64_t> expected;
    for (int i = 0; i < 128; ++i) {
      expected.push_back(digest(fmt::format("{}/00010203-0405-0607-0809-0a0b0c0d0e0f/{}", address, i)));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tokens_of(node, 128), expected) << address;
  }
  // Independent values of ".../0" with the address and ".../127" with none.
  auto has = [](const std::vector<std::uint64_t>& tokens, std::uint64_t t) {
    return std::find(tokens.begin(), tokens.end(), t) != tokens.end();
  };
  EXPECT_TRUE(has(tokens_of(with, 128), 0xce64610bde4beeec));
  EXPECT_TRUE(has(tokens_of(without, 128), 0xd7e23477fce3243c));
  EXPECT_FALSE(has(tokens_of(without, 127), 0xd7e23477fce3243c));
}

TEST(RingOrder, IncarnationFirstThenAddress) {
  Incarnation low{}, high{};
  high[0] = 1;
  EXPECT_TRUE(ring_less(NodeId{"z:1", low}, NodeId{"a:1", high}));
  EXPECT_TRUE(ring_less(NodeId{std::nullopt, low}, NodeId{"a:1", low}));
  EXPECT_TRUE(ring_less(NodeId{"a:1", low}, NodeId{"a:10", low}));
  // No address and an empty address tie on both keys; the order must still be strict.
  EXPECT_TRUE(ring_less(NodeId{std::nullopt, low}, NodeId{"", low}));
  EXPECT_FALSE(ring_less(NodeId{"", low}, NodeId{std::nullopt, low}));
}

TEST(Ring, EmptyRingPlacesNothing) {
  const auto ring = Ring::build({}, kTokens);
  EXPECT_TRUE(ring.empty());
  EXPECT_TRUE(ring.tokens().empty());
  for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{12345}, kMax}) {
    for (std::uint64_t n : {0, 1, 3, 1000}) EXPECT_TRUE(ring.replicas(t, n).empty());
  }
  EXPECT_TRUE(ring.ranges_of(id(1), 3).empty());
}

TEST(Ring, SameIdTwiceIsOneMember) {
  const std::vector<NodeId> ids{id(1), id(1)};
  const auto ring = Ring::build(ids, kTokens);
  EXPECT_EQ(ring.members(), std::vector<NodeId>{id(1)});
  EXPECT_EQ(ring.tokens().size(), kTokens);
}

TEST(Ring, SameMembersInAnyOrderGiveTheSameRing) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    auto ids = random_ids(rng, 1 + rng() % 12);
    const auto reference = Ring::build(ids, kTokens);
    expect_sound(reference);
    // Learnt in another order, some of them twice.
    const std::vector<NodeId> again(ids.begin(), ids.begin() + static_cast<long>(rng() % ids.size()));
    ids.insert(ids.end(), again.begin(), again.end());
    std::shuffle(ids.begin(), ids.end(), rng);
    const auto other = Ring::build(ids, kTokens);
    ASSERT_EQ(other, reference);
    for (int k = 0; k < 50; ++k) {
      const auto t = rng();
      EXPECT_EQ(other.replicas(t, 3), reference.replicas(t, 3));
    }
  }
}

TEST(Ring, LoneMemberReplicatesEverything) {
  const std::vector<NodeId> ids{id(1)};
  const auto ring = Ring::build(ids, kTokens);
  for (std::uint64_t t : {std::uint64_t{0}, ring.tokens()[5], ring.tokens()[5] + 1, kMax}) {
    for (std::uint64_t n : {1, 2, 128}) EXPECT_EQ(ring.replicas(t, n), ids);
  }
  const auto ranges = ring.ranges_of(id(1), 3);
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].start, ranges[0].end);
}

TEST(Ring, ReplicasWalkClockwiseFromTheKey) {
  const std::vector<NodeId> ids{id(1), id(2), id(3)};
  const auto ring = Ring::build(ids, kTokens);
  std::mt19937_64 rng(3);
  for (int k = 0; k < 100; ++k) {
    const auto t = rng();
    const auto all = ring.replicas(t, 5);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(as_set(all), as_set(ids));
    auto first = std::lower_bound(ring.tokens().begin(), ring.tokens().end(), t) - ring.tokens().begin();
    EXPECT_EQ(all[0], ring.owner(static_cast<std::size_t>(first) % ring.tokens().size()));
    EXPECT_EQ(ring.replicas(t, 2), (std::vector<NodeId>{all[0], all[1]}));
    EXPECT_TRUE(ring.replicas(t, 0).empty());
  }
  // Past the last token the walk starts again at the first; on a token, at that token.
  ASSERT_LT(ring.tokens().back(), kMax);
  EXPECT_EQ(ring.replicas(kMax, 1)[0], ring.owner(0));
  const auto i = ring.tokens().size() / 2;
  EXPECT_EQ(ring.replicas(ring.tokens()[i], 1)[0], ring.owner(i));
  EXPECT_EQ(ring.replicas(ring.tokens()[i] + 1, 1)[0], ring.owner(i + 1));
}

// No address and the address "None" hash to the same tokens: every token of the ring is there
// twice, which exercises the tie rules of build, replicas and applied.
TEST(Ring, EqualTokensFollowRingOrder) {
  const NodeId a{std::nullopt, counting()};
  const NodeId b{"None", counting()};
  const std::vector<NodeId> both{b, a};
  const auto ring = Ring::build(both, kTokens);
  ASSERT_EQ(ring.tokens().size(), 2 * kTokens);
  for (std::size_t i = 0; i < ring.tokens().size(); i += 2) {
    EXPECT_EQ(ring.tokens()[i], ring.tokens()[i + 1]);
    EXPECT_EQ(ring.owner(i), a);
    EXPECT_EQ(ring.owner(i + 1), b);
  }
  EXPECT_EQ(ring.replicas(ring.tokens()[10], 2), (std::vector<NodeId>{a, b}));
  const std::vector<NodeId> only_a{a}, only_b{b};
  EXPECT_EQ(Ring::build(only_a, kTokens).applied(b, kTokens), ring);
  EXPECT_EQ(Ring::build(only_b, kTokens).applied(a, kTokens), ring);
  EXPECT_EQ(ring.applied(a, kTokens), Ring::build(only_b, kTokens));
}

TEST(Ring, AppliedEqualsBuild) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 30; ++round) {
    auto ids = random_ids(rng, 1 + rng() % 10);
    const NodeId x = ids.back();
    ids.pop_back();
    const auto without = Ring::build(ids, kTokens);
    ids.push_back(x);
    const auto with = Ring::build(ids, kTokens);
    const auto added = without.applied(x, kTokens);
    ASSERT_EQ(added, with);
    expect_sound(added);
    EXPECT_EQ(added.applied(x, kTokens), without);
  }
}

// A ring built with another count than the one applied still loses every entry of the node.
TEST(Ring, RemovingFromARingOfAnotherCountLeavesNoStrayOwner) {
  const std::vector<NodeId> ids{id(1), id(2)};
  const auto ring = Ring::build(ids, 4).applied(id(2), kTokens);
  EXPECT_EQ(ring.members(), std::vector<NodeId>{id(1)});
  EXPECT_EQ(ring.tokens().size(), 4u);
  for (std::size_t i = 0; i < ring.tokens().size(); ++i) EXPECT_EQ(ring.owner(i), id(1));
}

TEST(Ring, RangesOfANonMemberAreEmpty) {
  const std::vector<NodeId> ids{id(1), id(2)};
  const auto ring = Ring::build(ids, kTokens);
  EXPECT_TRUE(ring.ranges_of(id(3), 1).empty());
  EXPECT_TRUE(ring.ranges_of(id(1), 0).empty());
}

// Every range a member is given holds exactly the tokens whose replicas include it.
TEST(Ring, RangesOfAgreeWithReplicas) {
  std::mt19937_64 rng(5);
  for (std::size_t members : {2, 3, 7}) {
    const auto ids = random_ids(rng, members);
    const auto ring = Ring::build(ids, kTokens);
    for (std::uint64_t n : {1, 2, 3, 8}) {
      std::vector<std::vector<Range>> ranges;
      for (const auto& node : ring.members()) ranges.push_back(ring.ranges_of(node, n));
      std::vector<std::uint64_t> probes{0, kMax};
      for (int k = 0; k < 300; ++k) probes.push_back(rng());
      for (int k = 0; k < 100; ++k) {
        const auto t = ring.tokens()[rng() % ring.tokens().size()];
        probes.insert(probes.end(), {t, t + 1, t - 1});
      }
      for (auto t : probes) {
        const auto want = as_set(ring.replicas(t, n));
        std::set<NodeId> got;
        for (std::size_t m = 0; m < ring.members().size(); ++m) {
          if (std::any_of(ranges[m].begin(), ranges[m].end(), [&](const Range& r) { return r.holds(t); })) {
            got.insert(ring.members()[m]);
          }
        }
        ASSERT_EQ(got, want) << "members " << members << " n " << n << " token " << t;
      }
    }
  }
}

// With one replica per token, the members' ranges tile the ring: their lengths add up to 2^64.
TEST(Ring, RangesOfEveryMemberTileTheRing) {
  std::mt19937_64 rng(9);
  const auto ids = random_ids(rng, 5);
  const auto ring = Ring::build(ids, kTokens);
  unsigned __int128 total = 0;
  for (const auto& node : ring.members()) {
    for (const auto& r : ring.ranges_of(node, 1)) {
      ASSERT_NE(r.start, r.end);
      total += static_cast<std::uint64_t>(r.end - r.start);
    }
  }
  EXPECT_TRUE(total == (static_cast<unsigned __int128>(1) << 64));
}

TEST(Chain, SameMembersNeedNoRing) {
  const std::vector<NodeId> ids{id(1), id(2)};
  const auto ring = Ring::build(ids, kTokens);
  EXPECT_TRUE(chain(ring, ring, kTokens).empty());
}

TEST(Chain, ReplacingOneMemberJoinsFirst) {
  const std::vector<NodeId> a{id(1)}, b{id(2)}, ab{id(1), id(2)};
  const auto rings = chain(Ring::build(a, kTokens), Ring::build(b, kTokens), kTokens);
  ASSERT_EQ(rings.size(), 2u);
  EXPECT_EQ(rings[0], Ring::build(ab, kTokens));
  EXPECT_EQ(rings[1], Ring::build(b, kTokens));
}

TEST(Chain, OneMemberChangePerRingJoinersThenLeaversInRingOrder) {
  std::mt19937_64 rng(13);
  for (int round = 0; round < 10; ++round) {
    const auto ids = random_ids(rng, 8);
    std::vector<NodeId> from_ids, to_ids;
    for (const auto& x : ids) {
      const auto r = rng() % 3;
      if (r != 0) from_ids.push_back(x);
      if (r != 1) to_ids.push_back(x);
    }
    const auto from = Ring::build(from_ids, kTokens);
    const auto to = Ring::build(to_ids, kTokens);
    const auto rings = chain(from, to, kTokens);
    std::vector<NodeId> changed;
    const Ring* prev = &from;
    for (const auto& r : rings) {
      std::vector<NodeId> diff;
      std::set_symmetric_difference(prev->members().begin(), prev->members().end(), r.members().begin(),
                                    r.members().end(), std::back_inserter(diff), ring_less);
      ASSERT_EQ(diff.size(), 1u);
      changed.push_back(diff[0]);
      expect_sound(r);
      prev = &r;
    }
    if (!rings.empty()) {
      EXPECT_EQ(rings.back(), to);
    }
    std::vector<NodeId> joiners, leavers;
    for (const auto& x : to.members()) {
      if (!from.has(x)) joiners.push_back(x);
    }
    for (const auto& x : from.members()) {
      if (!to.has(x)) leavers.push_back(x);
    }
    joiners.insert(joiners.end(), leavers.begin(), leavers.end());
    EXPECT_EQ(changed, joiners);
  }
}

TEST(Pinned, ReadsTheAddressOfAPinnedKey) {
  struct Case {
    std::string_view key;
    std::optional<std::string_view> address;
  };
  const Case cases[] = {
      {"@alpha:7000/k", "alpha:7000"},
      {"@[x:y]:7000/k", "[x:y]:7000"},
      {"@host:7000/", "host:7000"},
      {"@h@st:1/a/b", "h@st:1"},
      {"@:7000/k", std::nullopt},
      {"@host:/k", std::nullopt},
      {"@host:70a0/k", std::nullopt},
      {"@host/k", std::nullopt},
      {"@host:7000", std::nullopt},
      {"host:7000/k", std::nullopt},
      {"", std::nullopt},
      {"@", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(pinned(c.key), c.address) << c.key;
}

TEST(Pinned, PinRoundTrips) {
  EXPECT_EQ(pin("alpha:7000", "k"), "@alpha:7000/k");
  for (std::string_view address : {"alpha:7000", "[::1]:9", "a:b:1"}) {
    EXPECT_EQ(pinned(pin(address, "some/key")), address);
  }
}

}  // namespace
}  // namespace vorel::core::placement
