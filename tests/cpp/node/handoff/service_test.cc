#include "node/handoff/service.hpp"

#include <gtest/gtest.h>

#include "core/placement/pin.hpp"
#include "node/handoff/peers.hpp"

namespace vorel::node::handoff {
namespace {

using namespace testing;
using core::handoff::messages::HandKeys;
using core::handoff::messages::PullRange;
using core::handoff::messages::RangeKeys;
using core::handoff::messages::TookKeys;
using core::handoff::sweep::Handover;
using core::handoff::sweep::Kept;
using core::replication::messages::Copy;
using core::replication::sample::pages;
using core::replication::sample::stamp;
using service::Key;
using HandoffPeers = Peers;

core::Kind kind(std::uint64_t replicas, core::WriteLevel write = core::WriteLevel::Majority, bool pinned = false) {
  return core::Kind{"T", std::nullopt, std::nullopt, replicas, pinned, write};
}

std::vector<events::Event> started(std::string actor, events::Direction d) {
  return {events::Event{events::HandoffStarted{std::move(actor), d}}};
}
std::vector<events::Event> ended(std::string actor, events::Direction d) {
  return {events::Event{events::HandoffEnded{std::move(actor), d}}};
}

// ---- begin

struct BeginCase {
  std::string name;
  std::optional<core::Kind> kind;
  std::set<std::size_t> live;  // besides node 3, which begins
  bool held;
  bool moved;
  std::uint64_t transfers;
  std::set<std::size_t> asked;
};

class HandoffBegin : public Peers, public ::testing::WithParamInterface<BeginCase> {};

TEST_P(HandoffBegin, HoldsReleasesOrAsksTheLivePreviousMembers) {
  const auto& c = GetParam();
  std::set<NodeId> live{ids[3]};
  for (auto i : c.live) live.insert(ids[i]);
  at(3).knows(live);
  at(3).observed();
  const auto step = joining(3, {0, 1, 2});
  at(3).begin(step, c.kind ? &*c.kind : nullptr);

  EXPECT_EQ(at(3).moved, c.moved);
  EXPECT_EQ(at(3).transfers(), c.transfers);
  ASSERT_EQ(at(3).holds().size(), c.held ? 1u : 0u);
  if (c.held) {
    std::set<NodeId> asked;
    for (auto i : c.asked) asked.insert(ids[i]);
    EXPECT_EQ(at(3).holds()[0].transfer.asked, asked);
    EXPECT_TRUE(at(3).released.empty());
    // The first PullRange goes out at the next firing, which is due at once.
    EXPECT_EQ(at(3).due(), now);
    EXPECT_EQ(at(3).observed(), started("T", events::Direction::In));
  } else {
    EXPECT_EQ(at(3).released, std::vector<Step>{step});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandoffBegin,
    ::testing::Values(BeginCase{"pinned", kind(3, core::WriteLevel::Majority, true), {0, 1, 2}, false, false, 0, {}},
                      BeginCase{"nobody_live", kind(3), {}, false, true, 1, {}},
                      BeginCase{"one_dead", kind(3), {1, 2, 4}, true, false, 1, {1, 2}},
                      BeginCase{"unhosted", std::nullopt, {0, 1, 2}, true, false, 1, {0, 1, 2}}),
    [](const auto& info) { return info.param.name; });

TEST_F(HandoffPeers, PinnedStepChangesNothingTheObserverSees) {
  const auto k = kind(3, core::WriteLevel::Majority, true);
  at(3).observed();
  at(3).begin(joining(3, {0, 1, 2}), &k);
  EXPECT_TRUE(at(3).observed().empty());
}

// ---- thresholds

struct ThresholdCase {
  std::size_t members;  // of the previous ring
  std::optional<core::Kind> kind;
  std::uint64_t n;
  std::uint64_t threshold;
};

class HandoffThreshold : public Peers, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(HandoffThreshold, MeetsEveryWriteQuorumOfThePreviousRing) {
  const auto& c = GetParam();
  Step s;
  s.actor = "T";
  std::vector<NodeId> before(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(c.members));
  s.from = Ring::build(before, core::placement::kTokens);
  s.to = ring({0, 1, 2, 3, 4});
  s.ranges = {{5, 9}};
  // Node 4 begins, and asks nodes 0 and 1 at least, so that the Hold is kept.
  at(4).begin(s, c.kind ? &*c.kind : nullptr);
  if (c.members == 0) {
    ASSERT_EQ(at(4).released.size(), 1u);
    return;
  }
  ASSERT_EQ(at(4).holds().size(), 1u);
  EXPECT_EQ(at(4).holds()[0].transfer.n, c.n);
  EXPECT_EQ(at(4).holds()[0].transfer.threshold, c.threshold);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandoffThreshold,
                         ::testing::Values(ThresholdCase{3, kind(3), 3, 2},
                                           ThresholdCase{3, kind(3, core::WriteLevel::One), 3, 3},
                                           ThresholdCase{3, kind(3, core::WriteLevel::All), 3, 3},
                                           ThresholdCase{4, kind(3), 3, 2}, ThresholdCase{2, kind(3), 2, 2},
                                           ThresholdCase{4, kind(1), 1, 1}, ThresholdCase{3, kind(0), 0, 1},
                                           ThresholdCase{3, kind(0, core::WriteLevel::One), 0, 1},
                                           ThresholdCase{3, std::nullopt, 3, 2}, ThresholdCase{4, std::nullopt, 4, 3},
                                           ThresholdCase{0, kind(3), 0, 1}));

// ---- firing and resend delays

struct ResendCase {
  std::string name;
  bool push;  // HandKeys of a kept key, else PullRange of a Hold
};

class HandoffResend : public Peers, public ::testing::WithParamInterface<ResendCase> {};

TEST_P(HandoffResend, GapsGrowByTheBackoffUpToItsLimit) {
  const auto start = now;
  if (GetParam().push) {
    keep(0, "k", 1);
    at(0).give({Handover{"T", "k", {ids[1]}}}, replica(0), now);
  } else {
    at(3).knows({ids[0], ids[3]});
    at(3).begin(joining(3, {0, 1, 2}), nullptr);
  }
  const std::size_t i = GetParam().push ? 0 : 3;
  std::vector<double> sends;
  while (sends.size() < 10) {
    auto due = at(i).due();
    ASSERT_TRUE(due);
    // A firing before the due time sends nothing.
    now = *due - 1ms;
    fire(i);
    EXPECT_TRUE(at(i).outgoing.empty());
    now = *due;
    fire(i);
    ASSERT_EQ(at(i).outgoing.size(), 1u);
    at(i).outgoing.clear();
    sends.push_back(std::chrono::duration<double>(now - start).count());
  }
  const std::vector<double> expected{0, 0.1, 0.3, 0.7, 1.5, 3.1, 6.3, 12.7, 22.7, 32.7};
  ASSERT_EQ(sends.size(), expected.size());
  for (std::size_t n = 0; n < expected.size(); ++n) EXPECT_NEAR(sends[n], expected[n], 1e-6) << n;
}

INSTANTIATE_TEST_SUITE_P(Cases, HandoffResend, ::testing::Values(ResendCase{"pull", false}, ResendCase{"push", true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(HandoffPeers, FiringAsksOnlyThoseNotYetAnsweredAndReleasesWhenAllAnswered) {
  const auto step = joining(3, {0, 1, 2});
  const auto inside = key(step.ranges, 0);
  const auto outside = key(step.ranges, 0, false);
  const auto pinned = core::placement::pin("n1:7000", inside);
  for (auto k : {inside, outside, pinned}) keep(0, k, 2);
  at(3).begin(step, nullptr);
  fire(3);
  auto asks = take<PullRange>(3);
  ASSERT_EQ(asks.size(), 3u);
  EXPECT_EQ(asks[0].first, 0u);
  EXPECT_EQ(asks[0].second, (PullRange{"T", ids[3], 1, step.ranges}));
  EXPECT_EQ(asks[1].first, 1u);
  EXPECT_EQ(asks[2].first, 2u);

  // Node 2's answer is lost; the others arrive whole.
  for (auto& [to, ask] : asks) at(to).receive(Pull{ask}, replica(to));
  exchange([](std::size_t from, std::size_t, const Pull&) { return from == 2; });
  ASSERT_EQ(at(3).holds().size(), 1u);
  EXPECT_EQ(at(3).holds()[0].transfer.answered, (std::set<NodeId>{ids[0], ids[1]}));
  EXPECT_TRUE(at(3).moved);
  // Only the key inside the ranges came, and not the pinned one.
  EXPECT_EQ(version(3, inside), 2u);
  EXPECT_FALSE(version(3, outside));
  EXPECT_FALSE(version(3, pinned));

  now += 100ms;
  fire(3);
  asks = take<PullRange>(3);
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_EQ(asks[0].first, 2u);
  at(2).receive(Pull{asks[0].second}, replica(2));
  exchange();
  EXPECT_TRUE(at(3).holds().empty());
  EXPECT_EQ(at(3).released, std::vector<Step>{step});
}

TEST_F(HandoffPeers, HoldWhoseAskedNodesAllLeftLiveIsReleasedAtItsNextFiring) {
  const auto step = joining(3, {0, 1, 2});
  at(3).begin(step, nullptr);
  fire(3);
  at(3).outgoing.clear();
  at(3).knows({ids[3]});
  EXPECT_EQ(at(3).holds().size(), 1u);
  now += 100ms;
  fire(3);
  EXPECT_TRUE(at(3).holds().empty());
  EXPECT_TRUE(at(3).outgoing.empty());
  EXPECT_EQ(at(3).released, std::vector<Step>{step});
}

// ---- answering a pull

TEST_F(HandoffPeers, PullOfRangesHoldingNothingIsAnsweredByOneEmptyFinalPart) {
  at(0).receive(Pull{PullRange{"T", ids[3], 7, {{5, 9}}}}, replica(0));
  auto answers = take<RangeKeys>(0);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].first, 3u);
  EXPECT_EQ(answers[0].second, (RangeKeys{"T", ids[0], 7, 1, 0, true, false, {}}));
}

struct HandoffSmall : Peers {
  // Room for one copy of a short key per message.
  HandoffSmall() : Peers(2000) {}
};

TEST_F(HandoffSmall, AnswerLargerThanAMessageIsCutIntoNumberedParts) {
  const core::placement::Range all{7, 7};
  for (auto k : {"a", "b", "c"}) keep(0, k, 1);
  at(0).receive(Pull{PullRange{"T", ids[3], 1, {all}}}, replica(0));
  at(0).receive(Pull{PullRange{"T", ids[3], 1, {all}}}, replica(0));
  auto answers = take<RangeKeys>(0);
  ASSERT_EQ(answers.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    // A repeated pull gets a new stream.
    EXPECT_EQ(answers[i].second.stream, i / 3 + 1);
    EXPECT_EQ(answers[i].second.part, i % 3);
    EXPECT_EQ(answers[i].second.final_, i % 3 == 2);
    EXPECT_EQ(answers[i].second.keys.size(), 1u);
  }
}

TEST_F(HandoffPeers, AnswerOfANodeStillPullingOverlappingRangesSaysReceiving) {
  // Node 1 pulls ranges of T itself; node 2 pulls those of another type.
  auto own = joining(1, {0, 2, 3});
  at(1).begin(own, nullptr);
  auto other = own;
  other.actor = "U";
  at(2).begin(other, nullptr);
  const auto asked = own.ranges;
  at(1).receive(Pull{PullRange{"T", ids[4], 1, asked}}, replica(1));
  // A range sharing a single token with the Hold's overlaps it; one outside it does not.
  at(1).receive(Pull{PullRange{"T", ids[4], 1, {{asked[0].end - 1, asked[0].end}}}}, replica(1));
  const auto away = core::placement::token("T", key(asked, 0, false));
  at(1).receive(Pull{PullRange{"T", ids[4], 1, {{away - 1, away}}}}, replica(1));
  at(2).receive(Pull{PullRange{"T", ids[4], 1, asked}}, replica(2));
  auto answers = take<RangeKeys>(1);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_TRUE(answers[0].second.receiving);
  EXPECT_TRUE(answers[1].second.receiving);
  EXPECT_FALSE(answers[2].second.receiving);
  EXPECT_FALSE(take<RangeKeys>(2).at(0).second.receiving);
}

// The reported fault: an answer given while receiving finished the node without counting it, and
// the Hold was released before the threshold was met, making incomplete copies final.
TEST_F(HandoffPeers, ReceivingAnswerIsAskedAgainAndDoesNotReleaseTheHold) {
  const auto step = joining(3, {0, 1, 2});
  // Node 1 is itself still pulling what node 3 now asks of it.
  at(1).begin(joining(1, {0, 2}), nullptr);
  at(3).begin(step, nullptr);
  fire(3);
  exchange();
  ASSERT_EQ(at(3).holds().size(), 1u);
  const auto& t = at(3).holds()[0].transfer;
  EXPECT_EQ(t.finished, (std::set<NodeId>{ids[0], ids[1], ids[2]}));
  EXPECT_EQ(t.answered, (std::set<NodeId>{ids[0], ids[2]}));
  EXPECT_TRUE(at(3).released.empty());

  // Node 1 is asked again at the next firing, alone; once it answers whole the Hold is released.
  now += 100ms;
  fire(3);
  auto asks = take<PullRange>(3);
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_EQ(asks[0].first, 1u);
  at(1).fill(0);
  at(1).receive(Pull{asks[0].second}, replica(1));
  exchange();
  EXPECT_TRUE(at(3).holds().empty());
  EXPECT_EQ(at(3).released, std::vector<Step>{step});
}

// A node that answers before it knows the asker has joined may still act for the keys asked and
// confirm writes its answer misses.
TEST_F(HandoffPeers, AskerNotYetKnownIsAnsweredAsReceiving) {
  at(0).knows({ids[0], ids[1], ids[2]});
  at(0).receive(Pull{PullRange{"T", ids[3], 1, {{5, 9}}}}, replica(0));
  at(0).knows({ids.begin(), ids.end()});
  at(0).receive(Pull{PullRange{"T", ids[3], 1, {{5, 9}}}}, replica(0));
  auto answers = take<RangeKeys>(0);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_TRUE(answers[0].second.receiving);
  EXPECT_FALSE(answers[1].second.receiving);
}

// Nodes 0 and 1 each pull the whole ring from the other, as a pair does when a cluster forms.
TEST_F(HandoffPeers, NodesPullingOnlyFromEachOtherAnswerEachOtherWhole) {
  Step a{"T", ring({1}), ring({0, 1}), {{7, 7}}};
  Step b{"T", ring({0}), ring({0, 1}), {{7, 7}}};
  at(0).begin(a, nullptr);
  at(1).begin(b, nullptr);
  fire(0);
  fire(1);
  exchange();
  EXPECT_TRUE(at(0).holds().empty());
  EXPECT_TRUE(at(1).holds().empty());

  // A Hold that still waits for a third node does make the answer incomplete.
  Step c{"T", ring({0, 2}), ring({0, 1, 2}), {{7, 7}}};
  at(1).begin(c, nullptr);
  at(1).receive(Pull{PullRange{"T", ids[0], 9, {{7, 7}}}}, replica(1));
  EXPECT_TRUE(take<RangeKeys>(1).at(0).second.receiving);
}

TEST_F(HandoffPeers, AnswersGivenWhileReceivingCountOnceTheHoldRanOutOfPatience) {
  // Node 1 pulls from node 2, which never answers; node 3 pulls from node 1 alone.
  at(1).begin(Step{"T", ring({0, 2}), ring({0, 1, 2}), {{7, 7}}}, nullptr);
  at(3).knows({ids[1], ids[3]});
  const auto step = joining(3, {0, 1, 2});
  at(3).begin(step, nullptr);
  for (std::uint32_t ask = 1; ask < service::kPatience; ++ask) {
    now = *at(3).due();
    fire(3);
    exchange();
    ASSERT_EQ(at(3).holds().size(), 1u) << ask;
    EXPECT_EQ(at(3).holds()[0].asks, ask);
  }
  now = *at(3).due();
  fire(3);
  exchange();
  EXPECT_TRUE(at(3).holds().empty());
  EXPECT_EQ(at(3).released, std::vector<Step>{step});
  EXPECT_EQ(at(1).holds().size(), 1u);
}

// ---- receiving a pull's answer

TEST_F(HandoffPeers, StreamWithAGapDoesNotFinishItsNode) {
  const auto step = joining(3, {0, 1, 2});
  at(3).begin(step, nullptr);
  fire(3);
  at(3).outgoing.clear();
  auto copy = [](const char* k) { return Copy{k, stamp(1, core::testing::id(1), 1), std::nullopt, {}, 0, true}; };
  at(3).receive(Pull{RangeKeys{"T", ids[0], 1, 9, 0, false, false, {copy("a")}}}, replica(3));
  // Part 1 is lost; part 2 is the final one.
  at(3).receive(Pull{RangeKeys{"T", ids[0], 1, 9, 2, true, false, {copy("c")}}}, replica(3));
  EXPECT_TRUE(at(3).holds()[0].transfer.finished.empty());
  // What was complete is installed all the same.
  EXPECT_EQ(version(3, "a"), 1u);
  EXPECT_EQ(version(3, "c"), 1u);
}

TEST_F(HandoffPeers, ReleasedHoldDropsItsHalfReceivedStreamAndLaterParts) {
  const auto step = joining(3, {0, 1, 2});
  at(3).begin(step, nullptr);
  fire(3);
  at(3).outgoing.clear();
  const auto id1 = core::testing::id(1);
  at(3).receive(Pull{RangeKeys{"T", ids[0], 1, 9, 0, false, false,
                               {Copy{"a", stamp(1, id1, 1), std::nullopt, pages({{"x", "1"}}), 0, false}}}},
                replica(3));
  at(3).fill(0);
  at(3).receive(Pull{RangeKeys{"T", ids[0], 1, 9, 1, true, false,
                               {Copy{"a", stamp(1, id1, 1), std::nullopt, pages({{"x", "2"}}), 1, true}}}},
                replica(3));
  EXPECT_FALSE(version(3, "a"));
  // A stranger's answer and an unknown transfer are dropped alike.
  at(3).begin(step, nullptr);
  at(3).receive(Pull{RangeKeys{"T", ids[4], 2, 1, 0, true, false, {}}}, replica(3));
  at(3).receive(Pull{RangeKeys{"T", ids[0], 99, 1, 0, true, false, {}}}, replica(3));
  EXPECT_TRUE(at(3).holds()[0].transfer.finished.empty());
}

TEST_F(HandoffPeers, ArrivingKeysAreThoseOfAHeldStepBelowTheirThreshold) {
  const auto step = joining(3, {0, 1, 2});
  const auto inside = key(step.ranges, 0);
  at(3).begin(step, nullptr);
  EXPECT_TRUE(at(3).receiving(step, inside));
  EXPECT_TRUE(at(3).arriving("T", inside));
  EXPECT_FALSE(at(3).arriving("U", inside));
  EXPECT_FALSE(at(3).arriving("T", key(step.ranges, 0, false)));
  EXPECT_FALSE(at(3).arriving("T", core::placement::pin("n1:7000", inside)));
  auto other = step;
  other.ranges = {{1, 2}};
  EXPECT_FALSE(at(3).receiving(other, inside));
}

// ---- handing kept keys over

TEST_F(HandoffPeers, KeptKeyGoesToItsTargetsAndIsForgottenOnceAllTookIt) {
  keep(0, "k", 3);
  keep(0, "j", 1);
  at(0).give({Handover{"T", "k", {ids[1], ids[2]}}, Handover{"T", "j", {ids[1]}}}, replica(0), now);
  EXPECT_EQ(at(0).owed(), (std::vector<Key>{{"T", "j"}, {"T", "k"}}));
  EXPECT_EQ(at(0).observed(), started("T", events::Direction::Out));
  fire(0);
  auto hands = take<HandKeys>(0);
  ASSERT_EQ(hands.size(), 2u);
  // One stream per type and node, carrying every key owed to that node.
  EXPECT_EQ(hands[0].first, 1u);
  EXPECT_EQ(hands[0].second.keys.size(), 2u);
  EXPECT_EQ(hands[1].first, 2u);
  EXPECT_EQ(hands[1].second.keys.size(), 1u);
  for (auto& [to, m] : hands) at(to).receive(Pull{m}, replica(to));
  exchange();
  EXPECT_EQ(version(1, "k"), 3u);
  EXPECT_EQ(version(2, "k"), 3u);
  EXPECT_TRUE(at(1).moved);
  EXPECT_FALSE(replica(0).entry("T", "k"));
  EXPECT_FALSE(replica(0).entry("T", "j"));
  EXPECT_TRUE(at(0).handing().empty());
  EXPECT_FALSE(at(0).owing());
  EXPECT_EQ(at(0).observed(), ended("T", events::Direction::Out));
  // The next firing finds nothing owed and removes the timers, due or not.
  EXPECT_EQ(at(0).giving().size(), 2u);
  fire(0);
  EXPECT_TRUE(at(0).giving().empty());
}

struct TookCase {
  std::string name;
  std::vector<std::size_t> targets;
  std::vector<std::size_t> from;  // the nodes whose TookKeys arrive, in order
  std::set<std::size_t> dead;     // targets no longer live
  bool rewritten;                 // the copy changed before the last TookKeys
  bool dropped;
  std::set<std::size_t> took;  // when not dropped
};

class HandoffTook : public Peers, public ::testing::WithParamInterface<TookCase> {};

TEST_P(HandoffTook, DropsTheCopyOnlyWhenEveryLiveTargetTookItsUnchangedState) {
  const auto& c = GetParam();
  keep(0, "k", 1);
  std::vector<NodeId> targets;
  for (auto t : c.targets) targets.push_back(ids[t]);
  at(0).give({Handover{"T", "k", targets}}, replica(0), now);
  fire(0);
  at(0).outgoing.clear();
  std::set<NodeId> live{ids.begin(), ids.end()};
  for (auto d : c.dead) live.erase(ids[d]);
  at(0).knows(live);
  now += 1s;
  for (std::size_t n = 0; n < c.from.size(); ++n) {
    if (c.rewritten && n + 1 == c.from.size()) keep(0, "k", 2);
    at(0).receive(Pull{TookKeys{"T", ids[c.from[n]], {"k", "unknown"}}}, replica(0));
  }
  EXPECT_EQ(!replica(0).entry("T", "k"), c.dropped);
  EXPECT_EQ(!at(0).handing().contains({"T", "k"}), c.dropped);
  if (c.dropped) return;
  const auto& entry = at(0).handing().at({"T", "k"});
  std::set<NodeId> took;
  for (auto t : c.took) took.insert(ids[t]);
  EXPECT_EQ(entry.took, took);
  if (c.rewritten) {
    // Handed again at once to every target, with the state it has now.
    EXPECT_EQ(entry.stamp->version, 2u);
    for (const auto& t : targets) EXPECT_EQ(at(0).giving().at({"T", t}).next, now);
  } else {
    for (const auto& t : targets) EXPECT_LT(at(0).giving().at({"T", t}).next, now);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HandoffTook,
                         ::testing::Values(TookCase{"one_target", {1}, {1}, {}, false, true, {}},
                                           TookCase{"one_of_two", {1, 2}, {1}, {}, false, false, {1}},
                                           TookCase{"other_not_live", {1, 2}, {1}, {2}, false, true, {}},
                                           TookCase{"never_sent", {1}, {3}, {}, false, false, {}},
                                           TookCase{"both", {1, 2}, {2, 1}, {}, false, true, {}},
                                           TookCase{"rewritten", {1, 2}, {2, 1}, {}, true, false, {}}),
                         [](const auto& info) { return info.param.name; });

// A copy written again while it was being handed goes again before it is forgotten. TookKeys
// names no state: a confirmation of the old copy that arrives after the change (here a second
// one, for a stream that arrived twice) must not stand for the new one.
TEST_F(HandoffPeers, CopyWrittenAgainWhileHandedReachesTheTargetBeforeItIsForgotten) {
  keep(0, "k", 1, "old");
  at(0).give({Handover{"T", "k", {ids[1]}}}, replica(0), now);
  fire(0);
  auto hands = take<HandKeys>(0);
  at(1).receive(Pull{hands.at(0).second}, replica(1));
  at(1).receive(Pull{hands.at(0).second}, replica(1));
  auto took = take<TookKeys>(1);
  ASSERT_EQ(took.size(), 2u);
  keep(0, "k", 2, "new");
  for (const auto& [to, m] : took) at(0).receive(Pull{m}, replica(0));
  EXPECT_EQ(version(0, "k"), 2u);
  EXPECT_TRUE(at(0).handing().at({"T", "k"}).took.empty());
  EXPECT_EQ(at(0).observed(), started("T", events::Direction::Out));
  fire(0);
  exchange();
  EXPECT_EQ(version(1, "k"), 2u);
  EXPECT_EQ(replica(1).entry("T", "k")->pages, pages({{"s", "new"}}));
  EXPECT_FALSE(replica(0).entry("T", "k"));
  EXPECT_EQ(at(0).observed(), ended("T", events::Direction::Out));
}

// The reported fault: the receiver confirmed every completed copy, also one it did not install.
struct HeldCase {
  std::string name;
  std::optional<core::replication::Stamp> held;  // the receiver's state before
  std::optional<core::replication::Stamp> sent;  // the copy's
  bool confirmed;
};

class HandoffHeld : public Peers, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HandoffHeld, ReceiverConfirmsOnlyACopyWhoseStateItNowHolds) {
  const auto& c = GetParam();
  if (c.held) replica(1).install("T", Copy{"k", c.held, std::nullopt, pages({{"s", "held"}}), 0, true});
  at(1).receive(Pull{HandKeys{"T", ids[0], 1, 0, true, {Copy{"k", c.sent, std::nullopt, pages({{"s", "sent"}}), 0, true}}}},
                replica(1));
  auto took = take<TookKeys>(1);
  ASSERT_EQ(took.size(), c.confirmed ? 1u : 0u);
  if (c.confirmed) {
    EXPECT_EQ(took[0].second, (TookKeys{"T", ids[1], {"k"}}));
  }
  EXPECT_TRUE(at(1).moved);
}

const auto kX = core::testing::id(7);
const auto kOtherAddress = NodeId{std::string("elsewhere:1"), kX.incarnation};

INSTANTIATE_TEST_SUITE_P(Cases, HandoffHeld,
                         ::testing::Values(HeldCase{"installed", std::nullopt, stamp(2, kX, 1), true},
                                           HeldCase{"older_replaced", stamp(1, kX, 5), stamp(2, kX, 1), true},
                                           HeldCase{"same", stamp(2, kX, 1), stamp(2, kX, 1), true},
                                           HeldCase{"newer_kept", stamp(3, kX, 1), stamp(2, kX, 1), true},
                                           HeldCase{"unordered_kept", stamp(2, kOtherAddress, 1), stamp(2, kX, 1),
                                                    false},
                                           HeldCase{"stateless_copy", stamp(2, kX, 1), std::nullopt, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(HandoffPeers, StreamOfThreePartsIsConfirmedAsItsKeysComplete) {
  const auto s = stamp(1, ids[0], 1);
  auto part = [&](std::uint32_t n, bool last, std::vector<Copy> keys) {
    at(1).receive(Pull{HandKeys{"T", ids[0], 4, n, last, std::move(keys)}}, replica(1));
    return take<TookKeys>(1);
  };
  EXPECT_EQ(part(0, false, {Copy{"a", s, std::nullopt, pages({{"x", "1"}}), 0, true}}).at(0).second.keys,
            std::vector<std::string>{"a"});
  auto second = part(1, false,
                     {Copy{"b", s, std::nullopt, pages({{"x", "1"}}), 0, true},
                      Copy{"c", s, std::nullopt, pages({{"x", "1"}}), 0, false}});
  EXPECT_EQ(second.at(0).second.keys, std::vector<std::string>{"b"});
  EXPECT_EQ(part(2, true, {Copy{"c", s, std::nullopt, pages({{"x", "2"}}), 1, true}}).at(0).second.keys,
            std::vector<std::string>{"c"});
  EXPECT_EQ(replica(1).entry("T", "c")->pages, pages({{"x", "12"}}));
  // Nothing of the stream stays behind: a new stream's middle part completes nothing.
  EXPECT_TRUE(part(1, true, {Copy{"c", s, std::nullopt, pages({{"x", "3"}}), 1, true}}).empty());
}

TEST_F(HandoffPeers, EmptyStreamIsNotConfirmed) {
  at(1).receive(Pull{HandKeys{"T", ids[0], 4, 0, true, {}}}, replica(1));
  EXPECT_TRUE(at(1).outgoing.empty());
  EXPECT_FALSE(at(1).moved);
}

TEST_F(HandoffPeers, StreamOfAGiverNoLongerLiveIsDropped) {
  const auto s = stamp(1, ids[0], 1);
  at(1).receive(Pull{HandKeys{"T", ids[0], 4, 0, false, {Copy{"a", s, std::nullopt, pages({{"x", "1"}}), 0, false}}}},
                replica(1));
  at(1).knows({ids[1], ids[2]});
  at(1).knows({ids.begin(), ids.end()});
  at(1).receive(Pull{HandKeys{"T", ids[0], 4, 1, true, {Copy{"a", s, std::nullopt, pages({{"x", "2"}}), 1, true}}}},
                replica(1));
  EXPECT_FALSE(replica(1).entry("T", "a"));
  EXPECT_TRUE(at(1).outgoing.empty());
}

TEST_F(HandoffPeers, GiveFollowsTheSweep) {
  keep(0, "k", 1);
  at(0).give({Handover{"T", "k", {ids[1], ids[2]}}}, replica(0), now);
  fire(0);
  at(0).outgoing.clear();
  at(0).receive(Pull{TookKeys{"T", ids[1], {"k"}}}, replica(0));
  const auto timers = at(0).giving();

  // The same hand-overs again change nothing.
  now += 1s;
  at(0).give({Handover{"T", "k", {ids[1], ids[2]}}}, replica(0), now);
  EXPECT_EQ(at(0).handing().at({"T", "k"}).took, std::set<NodeId>{ids[1]});
  EXPECT_EQ(at(0).giving().at({"T", ids[2]}).next, timers.at({"T", ids[2]}).next);

  // Other targets: took is emptied and the current stamp taken; only the new pair is due now.
  keep(0, "k", 2);
  at(0).give({Handover{"T", "k", {ids[2], ids[3]}}}, replica(0), now);
  const auto& entry = at(0).handing().at({"T", "k"});
  EXPECT_TRUE(entry.took.empty());
  EXPECT_EQ(entry.stamp->version, 2u);
  EXPECT_EQ(at(0).giving().at({"T", ids[2]}).next, timers.at({"T", ids[2]}).next);
  EXPECT_EQ(at(0).giving().at({"T", ids[3]}).next, now);

  // Nothing listed: every Handing is forgotten, the copy stays, the timers go at the next firing.
  at(0).give({}, replica(0), now);
  EXPECT_TRUE(at(0).handing().empty());
  EXPECT_TRUE(replica(0).entry("T", "k"));
  fire(0);
  EXPECT_TRUE(at(0).giving().empty());
  EXPECT_TRUE(at(0).outgoing.empty());
}

TEST_F(HandoffPeers, KeysArrivingHereAreNotHandedAway) {
  // Placement puts a key still arriving by the ring before the change, which lists only its old
  // replicas: the sweep offers it back to them.
  const auto step = joining(3, {0, 1, 2});
  const auto inside = key(step.ranges, 0);
  const auto outside = key(step.ranges, 0, false);
  keep(3, inside, 1);
  keep(3, outside, 1);
  at(3).begin(step, nullptr);
  at(3).give({Handover{"T", inside, {ids[0]}}, Handover{"T", outside, {ids[0]}}}, replica(3), now);
  EXPECT_EQ(at(3).owed(), (std::vector<Key>{{"T", outside}}));
  // Unless this node leaves: then everything goes.
  at(3).leave();
  at(3).give({Handover{"T", inside, {ids[0]}}, Handover{"T", outside, {ids[0]}}}, replica(3), now);
  EXPECT_EQ(at(3).owed(), (std::vector<Key>{{"T", inside}, {"T", outside}}));
}

// The reported fault: a timer of a node that is not live kept a past deadline, and the event loop
// would have woken on every round until the member set changed.
TEST_F(HandoffPeers, TimerOfANodeNotLiveIsNotDue) {
  keep(0, "k", 1);
  at(0).give({Handover{"T", "k", {ids[1]}}}, replica(0), now);
  EXPECT_EQ(at(0).due(), now);
  at(0).knows({ids[0]});
  EXPECT_FALSE(at(0).due());
  EXPECT_FALSE(at(0).owing());
  now += 1s;
  fire(0);
  EXPECT_TRUE(at(0).outgoing.empty());
  // Back among the live, it is due where it was left.
  at(0).knows({ids.begin(), ids.end()});
  EXPECT_EQ(at(0).due(), now - 1s);
}

TEST_F(HandoffPeers, LeavingNodeSweepsAtOnceAndTakesNoHandOver) {
  EXPECT_FALSE(at(0).leaving());
  at(0).leave();
  EXPECT_TRUE(at(0).leaving());
  EXPECT_TRUE(at(0).moved);
  // Its giver keeps the key: unconfirmed, it stays owed until the giver learns of the leave.
  keep(1, "k", 1);
  at(1).give({Handover{"T", "k", {ids[0]}}}, replica(1), now);
  fire(1);
  exchange();
  EXPECT_FALSE(replica(0).entry("T", "k"));
  EXPECT_EQ(version(1, "k"), 1u);
  EXPECT_EQ(at(1).owed(), (std::vector<Key>{{"T", "k"}}));
  now += 1s;
  fire(1);
  exchange();
  EXPECT_EQ(version(1, "k"), 1u);
  EXPECT_FALSE(replica(0).entry("T", "k"));
}

TEST(HandoffDeparting, KeysGoToTheirReplicasOnTheRingWithoutTheLeavingMembers) {
  const auto a = core::testing::id(1), b = core::testing::id(2), c = core::testing::id(3),
             d = core::testing::id(4), e = core::testing::id(5);
  using core::membership::Member;
  using core::membership::Status;
  core::placement::Counts counts;
  counts.learn("T", 2);
  core::placement::Placement placement{a};
  placement.update({Member{a, {"T"}, Status::Leaving}, Member{b, {"T"}}, Member{c, {"T"}},
                    Member{d, {"T"}, Status::Leaving}, Member{e, {"T"}, Status::Suspect}},
                   counts);
  const auto without = Ring::build(std::vector<NodeId>{b, c, e}, core::placement::kTokens);
  std::vector<Kept> kept;
  for (int i = 0; i < 40; ++i) kept.push_back(Kept{"T", "k" + std::to_string(i), i % 2 == 0});
  kept.push_back(Kept{"T", core::placement::pin("n1:7000", "p"), false});
  kept.push_back(Kept{"U", "u", false});
  const auto out = service::departing(kept, placement, counts);
  ASSERT_EQ(out.size(), 41u);
  for (std::size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(out[i].key, kept[i].key);
    EXPECT_EQ(out[i].replicas, without.replicas(core::placement::token("T", kept[i].key), 2)) << i;
  }
  // A type of unknown count has every member that stays as replica.
  EXPECT_EQ(out[40].replicas, without.replicas(core::placement::token("U", "u"), 3));
}

TEST(HandoffDeparting, NothingGoesWhenNobodyStays) {
  const auto a = core::testing::id(1);
  core::placement::Counts counts;
  counts.learn("T", 1);
  core::placement::Placement placement{a};
  EXPECT_TRUE(service::departing(std::vector<Kept>{{"T", "k", false}}, placement, counts).empty());
  placement.update({core::membership::Member{a, {"T"}, core::membership::Status::Leaving}}, counts);
  EXPECT_TRUE(service::departing(std::vector<Kept>{{"T", "k", false}}, placement, counts).empty());
}

// ---- observer events

struct ReconcileCase {
  std::set<std::string> reported;
  std::set<std::string> now;
  std::vector<std::pair<bool, std::string>> events;  // (started, type)
};

class HandoffReconcile : public ::testing::TestWithParam<std::tuple<ReconcileCase, events::Direction>> {};

TEST_P(HandoffReconcile, StartsThenEndsInTypeOrder) {
  const auto& [c, direction] = GetParam();
  auto reported = c.reported;
  // Appended to what the list holds already.
  std::vector<events::Event> out = started("z", direction);
  service::reconcile(reported, c.now, direction, out);
  std::vector<events::Event> expected = started("z", direction);
  for (const auto& [start, type] : c.events) {
    auto one = start ? started(type, direction) : ended(type, direction);
    expected.insert(expected.end(), one.begin(), one.end());
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(reported, c.now);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandoffReconcile,
    ::testing::Combine(::testing::Values(ReconcileCase{{}, {}, {}}, ReconcileCase{{}, {"b", "a"}, {{true, "a"}, {true, "b"}}},
                                         ReconcileCase{{"a"}, {}, {{false, "a"}}},
                                         ReconcileCase{{"a", "c"}, {"b", "c"}, {{true, "b"}, {false, "a"}}},
                                         ReconcileCase{{"a"}, {"a"}, {}}),
                       ::testing::Values(events::Direction::In, events::Direction::Out)));

TEST_F(HandoffPeers, ObservedReportsPullsBeforePushesAndOnlyAfterAChange) {
  at(3).observed();
  EXPECT_TRUE(at(3).observed().empty());
  keep(3, "k", 1, "v", "U");
  at(3).give({Handover{"U", "k", {ids[0]}}}, replica(3), now);
  at(3).begin(joining(3, {0, 1, 2}), nullptr);
  std::vector<events::Event> both{events::Event{events::HandoffStarted{"T", events::Direction::In}},
                                  events::Event{events::HandoffStarted{"U", events::Direction::Out}}};
  EXPECT_EQ(at(3).observed(), both);
  EXPECT_TRUE(at(3).observed().empty());
  at(3).fill(0);
  EXPECT_TRUE(at(3).observed().empty());  // fill alone does not mark a change: the firing or message does
  fire(3);
  EXPECT_EQ(at(3).observed(), ended("T", events::Direction::In));
  // A target that leaves the live set ends the push without any message.
  at(3).knows({ids[3]});
  EXPECT_EQ(at(3).observed(), ended("U", events::Direction::Out));
}

}  // namespace
}  // namespace vorel::node::handoff
