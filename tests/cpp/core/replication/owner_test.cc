#include "core/replication/owner.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include <fmt/format.h>

#include "core/replication/parts.hpp"
#include "core/replication/replica.hpp"
#include "core/replication/sample.hpp"

namespace vorel::core::replication {
namespace {

using messages::Reply;
using messages::Request;
using owner::Outcome;
using owner::Step;
using sample::node;
using sample::pages;
using sample::stamp;

struct QuorumCase {
  Level level;
  std::uint64_t replicas;
  owner::Quorums expected;
};

class OwnerQuorums : public ::testing::TestWithParam<QuorumCase> {};

TEST_P(OwnerQuorums, Arithmetic) {
  const auto& c = GetParam();
  EXPECT_EQ(owner::quorums(c.level, c.replicas), c.expected);
  Owner owner("t", "k", node(1), std::vector<NodeId>(c.replicas, node(2)), c.level, 1000, 0, Durable::none());
  EXPECT_EQ(owner.write_quorum, c.expected.write);
  EXPECT_EQ(owner.read_quorum, c.expected.read);
  // Above "one", a read quorum and a write quorum always share a replica.
  if (c.replicas > 0 && c.level != Level::One) {
    EXPECT_GT(c.expected.write + c.expected.read, c.replicas);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OwnerQuorums,
    ::testing::Values(QuorumCase{Level::One, 1, {1, 1}}, QuorumCase{Level::One, 2, {1, 1}},
                      QuorumCase{Level::One, 3, {1, 1}}, QuorumCase{Level::One, 4, {1, 1}},
                      QuorumCase{Level::One, 5, {1, 1}}, QuorumCase{Level::Majority, 1, {1, 1}},
                      QuorumCase{Level::Majority, 2, {2, 2}}, QuorumCase{Level::Majority, 3, {2, 2}},
                      QuorumCase{Level::Majority, 4, {3, 3}}, QuorumCase{Level::Majority, 5, {3, 3}},
                      QuorumCase{Level::All, 1, {1, 1}}, QuorumCase{Level::All, 2, {2, 1}},
                      QuorumCase{Level::All, 3, {3, 1}}, QuorumCase{Level::All, 4, {4, 1}},
                      QuorumCase{Level::All, 5, {5, 1}}, QuorumCase{Level::Majority, 0, {1, 1}},
                      QuorumCase{Level::All, 0, {0, 1}}));

// An owner and real replicas wired together: requests go to the replicas, replies come back, until
// nothing is left to send. `drop` loses a request on its way.
struct Cluster {
  explicit Cluster(std::size_t n, Level level = Level::Majority, std::uint64_t budget = 1000,
                   Durable durable = Durable::none())
      : owner("t", "k", node(1), nodes_of(n), level, budget, 0, durable) {
    for (const auto& id : owner.replicas) replicas.emplace(id, Replica(id, budget));
  }

  static std::vector<NodeId> nodes_of(std::size_t n) {
    std::vector<NodeId> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(node(static_cast<std::uint8_t>(11 + i)));
    return out;
  }

  const NodeId& at(std::size_t i) const { return owner.replicas[i]; }
  Replica& replica(std::size_t i) { return replicas.at(owner.replicas[i]); }

  // Runs the sends to quiescence; gives the outcomes and store requests the owner produced.
  void run(std::vector<Send> sends) {
    std::deque<Send> queue(sends.begin(), sends.end());
    while (!queue.empty()) {
      Send send = std::move(queue.front());
      queue.pop_front();
      sent.push_back(send);
      if (drop && drop(send)) continue;
      auto reply = replicas.at(send.to).receive(send.request, receiving.contains(send.to));
      if (!reply) continue;
      Step step = owner.receive(std::move(*reply));
      take(std::move(step), queue);
    }
  }

  void apply(Step step) {
    std::deque<Send> queue;
    take(std::move(step), queue);
    run(std::vector<Send>(queue.begin(), queue.end()));
  }

  void take(Step step, std::deque<Send>& queue) {
    for (auto& s : step.requests) queue.push_back(std::move(s));
    if (step.storage) storage.push_back(std::move(*step.storage));
    if (step.outcome) outcomes.push_back(std::move(*step.outcome));
  }

  // Activates and confirms so that later writes have a base.
  void activated(std::optional<Pages> initial) {
    run(*owner.activate(std::move(initial), owner.replicas.size()));
    if (!storage.empty() && storage.back() == Storage{Storage::Load{}}) apply(owner.loaded(std::nullopt));
    ASSERT_FALSE(outcomes.empty());
    ASSERT_TRUE(std::holds_alternative<Outcome::Activated>(outcomes.back().value));
    clear();
  }

  void clear() {
    outcomes.clear();
    storage.clear();
    sent.clear();
  }

  Owner owner;
  std::map<NodeId, Replica> replicas;
  std::set<NodeId> receiving;
  std::function<bool(const Send&)> drop;
  std::vector<Outcome> outcomes;
  std::vector<Storage> storage;
  std::vector<Send> sent;
};

Outcome activated(Pages state, bool created) { return Outcome{Outcome::Activated{std::move(state), created}}; }
const Outcome kSaved{Outcome::Saved{}};
const Outcome kMissing{Outcome::Missing{}};
const Outcome kFenced{Outcome::Fenced{}};
const Outcome kInsufficient{Outcome::Insufficient{}};

template <class T>
const T& request_of(const Send& s) {
  return std::get<T>(s.request.variant);
}

Reply promise(const Owner& o, const NodeId& from, std::optional<Stamp> accepted, Pages state, bool receiving = false) {
  messages::Sizes sizes;
  for (const auto& [name, content] : state) sizes.emplace_back(name, content.size());
  return Reply{messages::Promise{"t", "k", o.epoch, from, accepted, std::move(sizes), std::move(state), receiving}};
}

TEST(OwnerActivate, NothingAnywhereCreatesFromTheInitialState) {
  Cluster c(3);
  c.run(*c.owner.activate(pages({{".", "x"}}), 3));
  ASSERT_EQ(c.outcomes, std::vector<Outcome>{activated(pages({{".", "x"}}), true)});
  const auto& written = *c.owner.last;
  EXPECT_EQ(written.stamp, (Stamp{Epoch{1, node(1)}, 1}));
  EXPECT_EQ(written.base, std::nullopt);
  EXPECT_EQ(written.pages, pages({{".", "x"}, {"@active", ""}}));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(c.replica(i).entry("t", "k")->pages, written.pages);
}

TEST(OwnerActivate, NothingAnywhereAndNoInitialStateIsMissing) {
  Cluster c(3);
  c.run(*c.owner.activate(std::nullopt, 3));
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kMissing});
  EXPECT_FALSE(c.owner.phase);
}

TEST(OwnerActivate, TakesTheLatestStateAsAChange) {
  Cluster c(3);
  c.replica(0).install("t", messages::Copy{"k", stamp(4, node(7), 9), std::nullopt, pages({{"a", "old"}}), 0, true});
  c.replica(1).install("t", messages::Copy{"k", stamp(5, node(6), 3), std::nullopt, pages({{"a", "new"}}), 0, true});
  c.owner.highest = 5;
  c.run(*c.owner.activate(pages({{"a", "initial"}}), 3));
  ASSERT_EQ(c.outcomes, std::vector<Outcome>{activated(pages({{"a", "new"}}), false)});
  EXPECT_EQ(c.owner.last->base, stamp(5, node(6), 3));
  EXPECT_EQ(c.owner.last->stamp, (Stamp{Epoch{6, node(1)}, 4}));
  // The replica that held the latest state got only "@active"; the others asked for the whole.
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(c.replica(i).entry("t", "k")->pages, pages({{"a", "new"}, {"@active", ""}})) << i;
  }
}

TEST(OwnerActivate, LatestTombstoneCreatesOrIsMissing) {
  for (const bool with_initial : {true, false}) {
    Cluster c(3);
    c.replica(2).install("t", messages::Copy{"k", stamp(3, node(6), 2), std::nullopt, messages::tombstone(), 0, true});
    c.replica(0).install("t", messages::Copy{"k", stamp(3, node(6), 1), std::nullopt, pages({{"a", "1"}}), 0, true});
    c.owner.highest = 3;
    c.run(*c.owner.activate(with_initial ? std::optional(pages({{"a", "i"}})) : std::nullopt, 3));
    if (with_initial) {
      EXPECT_EQ(c.outcomes, std::vector<Outcome>{activated(pages({{"a", "i"}}), true)});
      EXPECT_EQ(c.owner.last->base, std::nullopt);
    } else {
      EXPECT_EQ(c.outcomes, std::vector<Outcome>{kMissing});
    }
  }
}

TEST(OwnerActivate, FetchesAStateTooLargeForThePromises) {
  Cluster c(2, Level::Majority, 60);
  const Pages big = pages({{"a", std::string(30, 'x')}, {"b", std::string(30, 'y')}});
  const Stamp held = stamp(2, node(6), 5);
  for (std::size_t i = 0; i < 2; ++i) c.replica(i).install("t", messages::Copy{"k", held, std::nullopt, big, 0, true});
  c.owner.highest = 2;
  c.run(*c.owner.activate(std::nullopt, 2));
  ASSERT_EQ(c.outcomes, std::vector<Outcome>{activated(big, false)});
  std::vector<std::uint32_t> fetched;
  for (const auto& s : c.sent) {
    if (const auto* f = std::get_if<messages::Fetch>(&s.request.variant)) {
      EXPECT_EQ(s.to, c.at(0));
      EXPECT_EQ(f->names, (messages::Names{"a", "b"}));
      fetched.push_back(f->part);
    }
  }
  EXPECT_EQ(fetched, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(c.owner.last->base, held);
}

TEST(OwnerActivate, PagesOfAnotherStateEndFenced) {
  Cluster c(1, Level::Majority, 60);
  const Pages big = pages({{"a", std::string(50, 'x')}});
  c.replica(0).install("t", messages::Copy{"k", stamp(2, node(6), 5), std::nullopt, big, 0, true});
  c.owner.highest = 2;
  auto sends = *c.owner.activate(std::nullopt, 1);
  auto step = c.owner.receive(*c.replica(0).receive(sends[0].request, false));
  ASSERT_EQ(step.requests.size(), 1u);
  ASSERT_TRUE(std::holds_alternative<owner::Fetching>(*c.owner.phase));
  // Another write reaches the source before it answers.
  c.replica(0).install("t", messages::Copy{"k", stamp(2, node(6), 6), std::nullopt, big, 0, true});
  step = c.owner.receive(*c.replica(0).receive(step.requests[0].request, false));
  EXPECT_EQ(step.outcome, kFenced);
  EXPECT_FALSE(c.owner.phase);
}

TEST(OwnerDecide, WaitsForWantedThenDecidesByTheReadQuorum) {
  struct Case {
    bool second_receiving;
    bool forced;
    std::optional<Outcome> outcome;  // after two of three promises
  };
  for (const auto& k : {Case{false, false, std::nullopt}, Case{false, true, activated(pages({{"a", "1"}}), true)},
                        Case{true, true, kInsufficient}, Case{true, false, std::nullopt}}) {
    Cluster c(3);
    auto sends = *c.owner.activate(pages({{"a", "1"}}), 3);
    EXPECT_EQ(c.owner.receive(promise(c.owner, c.at(0), std::nullopt, {})), Step{});
    EXPECT_EQ(c.owner.receive(promise(c.owner, c.at(1), std::nullopt, {}, k.second_receiving)), Step{});
    EXPECT_TRUE(c.owner.receiving() == k.second_receiving);
    if (!k.forced) {
      EXPECT_TRUE(std::holds_alternative<owner::Promising>(*c.owner.phase));
      continue;
    }
    auto step = c.owner.decide(true);
    c.apply(step);
    EXPECT_EQ(c.outcomes.empty() ? std::nullopt : std::optional(c.outcomes.front()), k.outcome);
  }
}

TEST(OwnerDecide, NoReplicasIsInsufficient) {
  for (const bool forced : {false, true}) {
    Cluster c(0);
    EXPECT_TRUE(c.owner.activate(pages({{"a", "1"}}), 1)->empty());
    EXPECT_EQ(c.owner.decide(forced).outcome, kInsufficient);
  }
}

TEST(OwnerDecide, ReceivingPromisesCountTowardWantedOnly) {
  Cluster c(3);
  c.receiving = {c.at(0), c.at(1), c.at(2)};
  c.run(*c.owner.activate(pages({{"a", "1"}}), 3));
  // Every replica answered and none may count: waiting longer would not help, but they are receiving.
  EXPECT_TRUE(c.outcomes.empty());
  EXPECT_TRUE(c.owner.receiving());
  EXPECT_EQ(c.owner.decide(true).outcome, kInsufficient);
}

// A store record against the replicas' latest state of the same term: its version decides.
TEST(OwnerLoaded, StoreRecordAgainstTheReplicas) {
  struct Case {
    const char* name;
    Stamp record;
    bool record_wins;
  };
  const NodeId writer = node(6);
  const NodeId bare{std::nullopt, writer.incarnation};
  for (const auto& k : {Case{"later_round", stamp(6, bare, 1), true}, Case{"earlier_round", stamp(4, bare, 9), false},
                        Case{"same_term_newer_version", stamp(5, bare, 4), true},
                        Case{"same_term_same_version", stamp(5, bare, 3), false},
                        Case{"same_term_older_version", stamp(5, bare, 2), false}}) {
    SCOPED_TRACE(k.name);
    Cluster c(3, Level::Majority, 1000, Durable::write());
    for (std::size_t i = 0; i < 2; ++i) {
      c.replica(i).install("t", messages::Copy{"k", stamp(5, writer, 3), std::nullopt, pages({{"a", "replicas"}}), 0,
                                               true});
    }
    c.owner.highest = 9;
    c.run(*c.owner.activate(std::nullopt, 3));
    ASSERT_EQ(c.storage, std::vector<Storage>{Storage{Storage::Load{}}});
    c.storage.clear();
    c.apply(c.owner.loaded(Stored{pages({{"a", "store"}}), k.record}));
    ASSERT_EQ(c.outcomes.size(), 1u);
    if (k.record_wins) {
      EXPECT_EQ(c.outcomes[0], activated(pages({{"a", "store"}}), false));
      EXPECT_EQ(c.owner.last->base, std::nullopt);
      EXPECT_EQ(c.owner.last->stamp.version, 1u);
      EXPECT_TRUE(c.storage.empty());
    } else {
      EXPECT_EQ(c.outcomes[0], activated(pages({{"a", "replicas"}}), false));
      EXPECT_EQ(c.owner.last->base, stamp(5, writer, 3));
      // The store is behind the replicas' state unless it holds that very version.
      const bool behind = Stamp::stored_before(k.record, stamp(5, writer, 3));
      EXPECT_EQ(c.storage.size(), behind ? 1u : 0u);
    }
  }
}

TEST(OwnerLoaded, RecordOfThisTermOrLaterOpensARoundAboveIt) {
  Cluster c(3, Level::Majority, 1000, Durable::write());
  c.run(*c.owner.activate(std::nullopt, 3));
  const Epoch asked = c.owner.epoch;
  ASSERT_EQ(c.storage.size(), 1u);
  const Stored record{pages({{"a", "s"}}), Stamp{Epoch{asked.round + 3, NodeId{}}, 2}};
  auto step = c.owner.loaded(record);
  EXPECT_EQ(step.requests.size(), 3u);
  EXPECT_EQ(c.owner.epoch.round, asked.round + 4);
  c.apply(std::move(step));
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{activated(pages({{"a", "s"}}), false)});
  // An answer nobody waits for changes nothing.
  EXPECT_EQ(c.owner.loaded(std::nullopt), Step{});
}

TEST(OwnerWrite, ChangesAgainstTheLastConfirmedWrite) {
  Cluster c(3, Level::Majority, 40);
  c.activated(pages({{"a", "1"}, {"c", "3"}}));
  c.run(*c.owner.save(pages({{"a", "1"}, {"b", std::string(40, '2')}})));
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kSaved});
  EXPECT_EQ(c.owner.last->changed, pages({{"b", std::string(40, '2')}}));
  EXPECT_EQ(c.owner.last->dropped, messages::Names{"c"});
  std::vector<const messages::Accept*> to_first;
  for (const auto& s : c.sent) {
    if (s.to == c.at(0)) to_first.push_back(&request_of<messages::Accept>(s));
  }
  ASSERT_GE(to_first.size(), 2u);
  for (const auto* a : to_first) {
    EXPECT_EQ(a->base, c.owner.last->base);
    EXPECT_EQ(a->dropped, a->final_ ? messages::Names{"c"} : messages::Names{});
  }
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(c.replica(i).entry("t", "k")->pages, pages({{"@active", ""}, {"a", "1"}, {"b", std::string(40, '2')}}));
  }
}

TEST(OwnerWrite, NeedFullSendsTheWholeStateToThatReplicaOnly) {
  Cluster c(3);
  c.activated(pages({{"a", "1"}}));
  c.replica(2).drop("t", "k");
  c.run(*c.owner.save(pages({{"a", "2"}})));
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kSaved});
  std::vector<Send> whole;
  for (const auto& s : c.sent) {
    if (!request_of<messages::Accept>(s).base) whole.push_back(s);
  }
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].to, c.at(2));
  EXPECT_EQ(request_of<messages::Accept>(whole[0]).pages, pages({{"@active", ""}, {"a", "2"}}));
  // A NeedFull for a stamp no longer in flight is ignored.
  const Stamp old{c.owner.epoch, c.owner.version - 1};
  EXPECT_EQ(c.owner.receive(Reply{messages::NeedFull{"t", "k", old, c.at(0)}}), Step{});
}

TEST(OwnerWrite, ReceivingReplicasDoNotConfirm) {
  Cluster c(3);
  c.activated(pages({{"a", "1"}}));
  auto sends = *c.owner.save(pages({{"a", "2"}}));
  const Stamp written = c.owner.inflight->stamp;
  EXPECT_EQ(c.owner.receive(Reply{messages::Accepted{"t", "k", written, c.at(0), false}}), Step{});
  EXPECT_EQ(c.owner.receive(Reply{messages::Accepted{"t", "k", written, c.at(1), true}}), Step{});
  EXPECT_TRUE(c.owner.receiving());
  EXPECT_EQ(c.owner.receive(Reply{messages::Accepted{"t", "k", written, c.at(2), true}}).outcome, kInsufficient);
  EXPECT_FALSE(c.owner.phase);
}

// A lost Accept is sent again to every replica that has not confirmed the write.
TEST(OwnerWrite, ResendReachesTheReplicasThatDidNotConfirm) {
  Cluster c(3);
  c.activated(pages({{"a", "1"}}));
  c.drop = [&](const Send& s) { return s.to != c.at(0); };
  c.run(*c.owner.save(pages({{"a", "2"}})));
  EXPECT_TRUE(c.outcomes.empty());
  c.drop = nullptr;
  c.sent.clear();
  c.run(c.owner.resend());
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kSaved});
  for (const auto& s : c.sent) EXPECT_NE(s.to, c.at(0));
  EXPECT_TRUE(c.owner.resend().empty());
}

TEST(OwnerWrite, DeleteWritesTheTombstoneWhole) {
  Cluster c(3, Level::Majority, 1000, Durable::after(Duration{5, 0}));
  c.activated(pages({{"a", "1"}}));
  c.run(c.owner.delete_());
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kSaved});
  EXPECT_EQ(c.storage, (std::vector<Storage>{Storage{Storage::Save{Stored{std::nullopt, c.owner.last->stamp}}}}));
  for (const auto& s : c.sent) EXPECT_FALSE(request_of<messages::Accept>(s).base);
  EXPECT_EQ(c.replica(0).deleted("t", "k"), c.owner.last->stamp);
}

TEST(OwnerWrite, DurableSaveLeavesOutTheActiveMark) {
  Cluster c(3, Level::Majority, 1000, Durable::write());
  c.run(*c.owner.activate(pages({{"a", "1"}}), 3));
  c.apply(c.owner.loaded(std::nullopt));
  ASSERT_EQ(c.outcomes, std::vector<Outcome>{activated(pages({{"a", "1"}}), true)});
  // A key created from its initial state is saved with its first write, not before.
  ASSERT_EQ(c.storage, std::vector<Storage>{Storage{Storage::Load{}}});
  c.clear();
  c.run(*c.owner.save(pages({{"a", "2"}})));
  EXPECT_EQ(c.storage, (std::vector<Storage>{Storage{Storage::Save{Stored{pages({{"a", "2"}}), c.owner.last->stamp}}}}));
}

TEST(OwnerReprepare, ChangedReplicasPrepareBeforeTheWrite) {
  Cluster c(3);
  c.activated(pages({{"a", "1"}}));
  const auto round = c.owner.epoch.round;
  c.owner.reprepare = 3;
  auto sends = *c.owner.save(pages({{"a", "2"}}));
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<messages::Prepare>(sends[0].request.variant));
  EXPECT_EQ(c.owner.epoch.round, round + 1);
  c.run(std::move(sends));
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kSaved});
  EXPECT_EQ(c.replica(1).entry("t", "k")->pages, pages({{"@active", ""}, {"a", "2"}}));
}

TEST(OwnerReprepare, AnotherOwnersLaterWriteFences) {
  Cluster c(3);
  c.activated(pages({{"a", "1"}}));
  // Another owner wrote after this one, in a higher round.
  for (std::size_t i = 0; i < 3; ++i) {
    c.replica(i).install("t", messages::Copy{"k", stamp(c.owner.epoch.round + 1, node(5), 1), std::nullopt,
                                             pages({{"a", "other"}}), 0, true});
  }
  c.owner.highest = c.owner.epoch.round + 1;
  c.owner.reprepare = 3;
  c.run(c.owner.delete_());
  EXPECT_EQ(c.outcomes, std::vector<Outcome>{kFenced});
  EXPECT_EQ(c.replica(0).entry("t", "k")->pages, pages({{"a", "other"}}));
}

TEST(OwnerRejected, OwnEpochChangesNothingAHigherOneFences) {
  Cluster c(3);
  auto sends = *c.owner.activate(std::nullopt, 3);
  const Epoch own = c.owner.epoch;
  EXPECT_EQ(c.owner.receive(Reply{messages::Rejected{"t", "k", c.at(0), own}}), Step{});
  EXPECT_TRUE(c.owner.phase);
  const Epoch higher{own.round + 4, node(5)};
  EXPECT_EQ(c.owner.receive(Reply{messages::Rejected{"t", "k", c.at(0), higher}}).outcome, kFenced);
  EXPECT_FALSE(c.owner.phase);
  auto again = *c.owner.activate(std::nullopt, 3);
  EXPECT_EQ(c.owner.epoch.round, higher.round + 1);
}

TEST(OwnerCheck, PageNameMustLeaveRoomForData) {
  Owner owner("t", "k", node(1), Cluster::nodes_of(1), Level::One, 100, 0, Durable::none());
  const std::string fits(83, 'n');      // budget - 17
  const std::string too_long(84, 'n');  // budget - 16
  EXPECT_TRUE(owner.activate(Pages{{fits, {}}}, 1));
  auto refused = owner.activate(Pages{{too_long, {}}}, 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text,
            fmt::format("t/k: the field \"{}\" has a name of 84 bytes, which leaves no room for its data in the 100 "
                        "bytes a message has for the state; raise `Limits.message` on every node and client",
                        too_long));
  // A message limit at or below the headroom leaves no budget: every state is refused, none sent.
  Owner starved("t", "k", node(1), Cluster::nodes_of(1), Level::One, parts::budget(60'000), 0, Durable::none());
  auto none = starved.activate(Pages{{"a", {}}}, 1);
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().text.find("in the 0 bytes a message has"), std::string::npos);
  EXPECT_FALSE(starved.phase);
  auto quoted = owner.next(Pages{{std::string("a\"b\n") + std::string(90, 'x'), {}}});
  ASSERT_FALSE(quoted);
  EXPECT_NE(quoted.error().text.find("\"a\\\"b\\n"), std::string::npos);
}

TEST(OwnerLatest, FirstOfUnorderedStampsWins) {
  const NodeId a{"a:1", Incarnation{}}, b{"b:1", Incarnation{}};
  std::map<NodeId, owner::Promised> promises;
  promises[node(11)] = owner::Promised{node(11), stamp(5, a, 3), {}, {}, false};
  promises[node(12)] = owner::Promised{node(12), stamp(5, b, 9), {}, {}, false};
  promises[node(13)] = owner::Promised{node(13), std::nullopt, {}, {}, false};
  EXPECT_EQ(owner::latest_of(promises), stamp(5, a, 3));
  promises[node(14)] = owner::Promised{node(14), stamp(4, b, 90), {}, {}, false};
  EXPECT_EQ(owner::latest_of(promises), stamp(5, a, 3));
  EXPECT_EQ(owner::latest_of({}), std::nullopt);
}

TEST(OwnerOutcome, DebugForms) {
  EXPECT_EQ(activated(pages({{"a", "1"}, {"b", ""}}), true).debug(), "Activated { state: [\"a\", \"b\"], created: true }");
  EXPECT_EQ(kMissing.debug(), "Missing");
  EXPECT_EQ(kSaved.debug(), "Saved");
  EXPECT_EQ(kFenced.debug(), "Fenced");
  EXPECT_EQ(kInsufficient.debug(), "Insufficient");
}

}  // namespace
}  // namespace vorel::core::replication
