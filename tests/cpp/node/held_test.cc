// Several nodes' loop states wired through an in-memory network under a virtual clock. The
// fixture plays each node's event loop: it applies commands and envelopes, flushes after each,
// carries the envelopes to their nodes and runs each node's deadline work when it is due.
#include "node/held.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/routing/wire.hpp"
#include "node/loop.hpp"
#include "node/nodes.hpp"
#include "testing/ids.hpp"

namespace vorel::node {
namespace {

namespace wire = core::routing::wire;
using core::Bytes;
using core::Command;
using core::Deliver;
using core::Duration;
using core::NodeId;
using core::Outcome;
using core::Start;
using core::Target;
using core::membership::Member;
using core::membership::Status;
using core::placement::Counts;
using core::placement::Placement;
using core::routing::Routed;
using core::testing::id;
using std::chrono::milliseconds;
using testing::Kept;
using testing::Listed;
using testing::Recorder;

struct NoTransfers : core::placement::Transfers {
  bool receiving(const core::placement::Step&, std::string_view) const override { return false; }
};

Counts counts() {
  Counts c;
  c.learn("T", 1);
  return c;
}

struct Sent {
  Instant at;
  NodeId to;
  std::string name;
  Bytes payload;
};

// One node: its loop state over a transport that keeps what it sends.
struct Sim {
  Sim(const NodeId& own, const Instant& now, Duration timeout)
      : wire(own), host(std::make_shared<Recorder>()), publish(watch::channel<MemberList>({}).first) {
    auto listed = std::make_unique<Listed>();
    members = listed.get();
    replication::service::Replication replication(own, 4096, timeout, Duration{30, 0});
    held = std::make_unique<Held>(testing::handle(own, wire.pool()), host, std::move(listed), Placement{own}, counts(),
                                  Handoff(own, 4096, core::Backoff{2.0, Duration{0, 100'000'000}, Duration{10, 0}},
                                          [&now] { return now; }),
                                  std::move(replication), std::map<std::string, core::Kind, std::less<>>{},
                                  Duration{5, 0});
    held->clock = [&now] { return now; };
  }

  Kept wire;
  Listed* members = nullptr;
  std::shared_ptr<Recorder> host;
  std::unique_ptr<Held> held;
  watch::Sender<MemberList> publish;
  std::optional<oneshot::Sender<Joining>> join;
  std::vector<Sent> sent;

  const net::endpoint::Sender& sender() const { return wire.sender(); }
  testing::Seen seen() { return host->read([](const testing::Seen& s) { return s; }); }
};

class Network : public ::testing::Test {
 protected:
  const NodeId a = id(1), b = id(2), c = id(3);
  Instant now{std::chrono::hours(1)};
  Duration timeout{5, 0};
  std::map<NodeId, std::unique_ptr<Sim>> nodes;
  std::deque<Sent> wire_;
  // Envelopes for which it answers true are lost on the way.
  std::function<bool(const Sent&)> lost;

  void SetUp() override {
    for (const auto& n : {a, b, c}) nodes.emplace(n, std::make_unique<Sim>(n, now, timeout));
    see({a, b, c});
    // The first placement holds every key until its pull is answered.
    run(milliseconds(0));
  }

  Sim& at(const NodeId& n) { return *nodes.at(n); }
  testing::Seen seen(const NodeId& n) { return at(n).seen(); }

  // What the loop does after every event: flush, and the envelopes go on the wire.
  void settle(const NodeId& n) {
    auto& s = at(n);
    flush(s.sender(), *s.held, s.publish, s.join);
    for (auto& e : s.wire.take()) {
      s.sent.push_back(Sent{now, e.to, e.name, e.payload});
      wire_.push_back(Sent{now, std::move(e.to), std::move(e.name), std::move(e.payload)});
    }
  }

  void see(const NodeId& n, std::vector<NodeId> members, Status status = Status::Alive) {
    std::vector<Member> list;
    for (auto& m : members) list.push_back(Member{m, {"T"}, m == n ? Status::Alive : status});
    at(n).members->see(std::move(list));
    settle(n);
  }
  void see(std::vector<NodeId> members) {
    for (const auto& n : {a, b, c}) see(n, members);
  }

  void ask(const NodeId& n, Ask command) {
    ASSERT_TRUE(asked(at(n).sender(), *at(n).held, std::move(command), 0.0));
    settle(n);
  }
  void route(const NodeId& n, Command command) { ask(n, Ask{Ask::Route{std::move(command)}}); }
  void cancel(const NodeId& n, wire::Cancel cancel) { ask(n, Ask{Ask::Cancel{std::move(cancel)}}); }
  void answer(const NodeId& n, Target target, Outcome outcome) {
    ask(n, Ask{Ask::Answer{std::move(target), std::move(outcome)}});
  }

  void deliver() {
    while (!wire_.empty()) {
      auto e = std::move(wire_.front());
      wire_.pop_front();
      if (lost && lost(e)) continue;
      received(at(e.to).sender(), *at(e.to).held, e.name, e.payload, 0.0);
      settle(e.to);
    }
  }

  // Delivers everything, then moves the clock on to `span` later, running each node's deadline
  // work when it is due.
  void run(milliseconds span) {
    const auto end = now + span;
    deliver();
    for (;;) {
      std::optional<Instant> next;
      for (auto& [n, s] : nodes) {
        if (auto due = earliest(*s->held); due && (!next || *due < *next)) next = due;
      }
      if (!next || *next > end) break;
      now = std::max(now, *next);
      for (auto& [n, s] : nodes) {
        if (auto due = earliest(*s->held); due && *due <= now) {
          operations(s->sender(), *s->held);
          settle(n);
        }
      }
      deliver();
    }
    now = end;
  }

  // A key whose owner is `owner` among `members`.
  static std::string key_owned_by(const NodeId& owner, std::vector<NodeId> members) {
    Placement p;
    std::vector<Member> list;
    for (auto& m : members) list.push_back(Member{m, {"T"}, Status::Alive});
    p.update(list, counts());
    for (int i = 0;; ++i) {
      auto key = std::to_string(i);
      if (p.owner("T", key, counts(), NoTransfers{}) == owner) return key;
    }
  }

  Command ask_from(const NodeId& asker, std::int64_t ask, const std::string& key) {
    return Deliver{"T", key, {0x0a}, Target::reply(asker, ask), {}};
  }
  Command tell(const std::string& key) { return Deliver{"T", key, {0x0b}, std::nullopt, {}}; }

  std::vector<Routed> routed_to(const NodeId& from, const NodeId& to) {
    std::vector<Routed> out;
    for (const auto& s : at(from).sent) {
      if (s.to != to || s.name != "actors") continue;
      auto message = wire::decode(s.payload);
      if (message && std::holds_alternative<Routed>(message->variant)) out.push_back(std::get<Routed>(message->variant));
    }
    return out;
  }

  // The ask with id 1 from a came back to a as unreached, and `reporter` reported the tell of the
  // key dropped with `reason`.
  void expect_refused(const NodeId& reporter, const std::string& key, std::string_view reason) {
    EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome::unreached("T", key)}}));
    EXPECT_EQ(seen(reporter).dropped(), (std::vector<std::pair<std::string, std::string>>{{key, std::string(reason)}}));
  }
};

TEST_F(Network, CommandsReachTheOwnerAndAnswersTheAsker) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  route(a, Start{"T", key, Bytes{0x01}});
  run(milliseconds(0));
  EXPECT_EQ(seen(c).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key), Start{"T", key, Bytes{0x01}}}));
  EXPECT_TRUE(seen(b).handed.empty());
  EXPECT_EQ(at(a).held->remote.size(), 1u);

  const Outcome value{Outcome::Value{{0x2a}}};
  answer(c, Target::reply(a, 1), value);
  run(milliseconds(0));
  EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, value}}));
  EXPECT_TRUE(at(a).held->remote.empty());
}

TEST_F(Network, AKeyOfThisNodeTravelsThroughItsOwnInbound) {
  const auto key = key_owned_by(a, {a, b, c});
  const auto before = at(a).sent.size();
  route(a, ask_from(a, 1, key));
  ASSERT_EQ(at(a).sent.size(), before + 1);
  EXPECT_EQ(at(a).sent.back().to, a);
  // The ask is recorded against this very node until its answer comes.
  ASSERT_EQ(at(a).held->remote.count(1), 1u);
  EXPECT_EQ(at(a).held->remote.at(1).node, a);
  EXPECT_TRUE(seen(a).handed.empty());
  run(milliseconds(0));
  EXPECT_EQ(seen(a).handed, std::vector<Command>{ask_from(a, 1, key)});
  answer(a, Target::reply(a, 1), Outcome{Outcome::Value{{0x01}}});
  EXPECT_TRUE(at(a).held->remote.empty());
  EXPECT_EQ(seen(a).settled.size(), 1u);
}

TEST_F(Network, CommandsWaitUntilTheNodeJoinsThenGoInOrder) {
  const auto key = key_owned_by(b, {a, b, c});
  at(a).members->is_joined = false;
  route(a, ask_from(a, 1, key));
  run(milliseconds(200));
  route(a, tell(key));
  run(milliseconds(200));
  EXPECT_TRUE(seen(b).handed.empty());
  EXPECT_EQ(at(a).held->waiting.count, 2u);

  at(a).members->is_joined = true;
  run(milliseconds(10));
  EXPECT_EQ(seen(b).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key)}));
  EXPECT_EQ(at(a).held->waiting.count, 0u);
}

TEST_F(Network, CommandsThatFindNoPlaceExpireWithTheirTexts) {
  const auto key = key_owned_by(b, {a, b, c});
  at(a).members->is_joined = false;
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(4990));
  EXPECT_TRUE(seen(a).settled.empty());
  run(milliseconds(20));
  expect_refused(a, key, "no owner took the message within the write timeout");
  EXPECT_EQ(at(a).held->waiting.count, 0u);
}

TEST_F(Network, NoMemberHostsTheType) {
  see(a, {a, b, c}, Status::Dead);
  const auto key = key_owned_by(b, {a, b, c});
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  expect_refused(a, key, "no member hosts T");
}

TEST_F(Network, AKeyWhoseOwnerHasNotJoinedWaitsThereInOrder) {
  const auto key = key_owned_by(b, {a, b, c});
  at(b).members->is_joined = false;
  route(a, ask_from(a, 1, key));
  run(milliseconds(100));
  EXPECT_TRUE(seen(b).handed.empty());
  EXPECT_EQ(at(b).held->waiting.count, 1u);
  // A command that arrives while the key's commands still wait queues behind them.
  at(b).members->is_joined = true;
  route(a, tell(key));
  run(milliseconds(0));
  EXPECT_TRUE(seen(b).handed.empty());
  run(milliseconds(10));
  EXPECT_EQ(seen(b).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key)}));
}

// A's view lacks c, so it sends c's key to b, which returns it.
class WrongOwners : public Network {
 protected:
  std::string key;
  Instant start = now;

  void SetUp() override {
    Network::SetUp();
    Placement three, two;
    three.update({{a, {"T"}}, {b, {"T"}}, {c, {"T"}}}, counts());
    two.update({{a, {"T"}}, {b, {"T"}}}, counts());
    for (int i = 0; key.empty(); ++i) {
      auto k = std::to_string(i);
      if (three.owner("T", k, counts(), NoTransfers{}) == c && two.owner("T", k, counts(), NoTransfers{}) == b) key = k;
    }
    see(a, {a, b});
    run(milliseconds(0));
    start = now;
  }

  std::vector<milliseconds> sends_to_b() {
    std::vector<milliseconds> out;
    for (const auto& s : at(a).sent) {
      if (s.to == b && s.name == "actors") out.push_back(std::chrono::duration_cast<milliseconds>(s.at - start));
    }
    return out;
  }
};

TEST_F(WrongOwners, RetryWithBackoffThenReachTheOwner) {
  route(a, ask_from(a, 1, key));
  run(milliseconds(300));
  // Each retry waits for the next examination after its delay: 10, 20, 40, 80, 160 ms.
  EXPECT_EQ(sends_to_b(), (std::vector<milliseconds>{milliseconds(0), milliseconds(10), milliseconds(30),
                                                      milliseconds(70), milliseconds(150)}));
  EXPECT_TRUE(seen(b).handed.empty());
  ASSERT_EQ(at(a).held->waiting.count, 1u);
  EXPECT_EQ(at(a).held->waiting.parked.begin()->second.front().routed.attempt, 6u);

  see(a, {a, b, c});
  run(milliseconds(400));
  EXPECT_EQ(seen(c).handed, std::vector<Command>{ask_from(a, 1, key)});
  answer(c, Target::reply(a, 1), Outcome{Outcome::Value{{0x01}}});
  run(milliseconds(0));
  EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome{Outcome::Value{{0x01}}}}}));
}

TEST_F(WrongOwners, GiveUpOnceTheDelaysPassTheWriteTimeout) {
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(10'000));
  expect_refused(a, key, "the nodes did not agree on the owner of the key within the write timeout");
  // The first send and ten retries: the eleventh return is given up.
  EXPECT_EQ(sends_to_b().size(), 22u);
  EXPECT_EQ(at(a).held->waiting.count, 0u);
  EXPECT_TRUE(seen(c).handed.empty());
}

TEST_F(WrongOwners, ALeavingNodeBacksOffAndCountsToo) {
  ask(a, Ask{Ask::Leave{}});
  EXPECT_TRUE(at(a).members->leaving);
  route(a, tell(key));
  // a learns of c before b's return arrives; the return still waits out its delay and counts.
  see(a, {a, b, c});
  run(milliseconds(0));
  EXPECT_TRUE(seen(c).handed.empty());
  run(milliseconds(10));
  EXPECT_EQ(seen(c).handed, std::vector<Command>{tell(key)});
  const auto to_c = routed_to(a, c);
  ASSERT_EQ(to_c.size(), 1u);
  EXPECT_EQ(to_c[0].attempt, 2u);
}

TEST_F(WrongOwners, ALeavingNodeGivesUpWhileViewsDisagree) {
  ask(a, Ask{Ask::Leave{}});
  route(a, tell(key));
  run(milliseconds(10'000));
  EXPECT_EQ(seen(a).dropped(), (std::vector<std::pair<std::string, std::string>>{
                                   {key, "the nodes did not agree on the owner of the key within the write timeout"}}));
  EXPECT_EQ(routed_to(a, b).size(), 11u);
}

TEST_F(Network, CancelsReachTheOwner) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  run(milliseconds(0));
  const wire::Cancel gone{"T", key, Target::reply(a, 1)};
  cancel(a, gone);
  run(milliseconds(0));
  EXPECT_EQ(seen(c).cancelled, std::vector<wire::Cancel>{gone});
  EXPECT_TRUE(at(a).held->remote.empty());
}

TEST_F(Network, ACancelledParkedAskNeverLeaves) {
  const auto key = key_owned_by(b, {a, b, c});
  at(a).members->is_joined = false;
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  route(a, ask_from(a, 2, key));
  cancel(a, wire::Cancel{"T", key, Target::reply(a, 1)});
  EXPECT_TRUE(wire_.empty());
  at(a).members->is_joined = true;
  run(milliseconds(10));
  EXPECT_EQ(seen(b).handed, (std::vector<Command>{tell(key), ask_from(a, 2, key)}));
  EXPECT_TRUE(seen(b).cancelled.empty());
}

TEST_F(Network, ALeavingOwnerRefusesItsKeys) {
  const auto key = key_owned_by(c, {a, b, c});
  ask(c, Ask{Ask::Leave{}});
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(0));
  EXPECT_TRUE(seen(c).handed.empty());
  expect_refused(c, key, "the node is shutting down");
}

TEST_F(Network, AFullRoomRefusesMore) {
  const auto key = key_owned_by(b, {a, b, c});
  at(a).members->is_joined = false;
  for (std::uint64_t i = 0; i < routing::waiting::kLimit; ++i) {
    ASSERT_TRUE(asked(at(a).sender(), *at(a).held, Ask{Ask::Route{tell(key)}}, 0.0));
  }
  route(a, tell(key));
  route(a, ask_from(a, 1, key));
  expect_refused(a, key, "100000 messages wait on this node for their keys already");
  EXPECT_EQ(at(a).held->waiting.count, routing::waiting::kLimit);
}

// Asks sent to a node that is gone, dead or left, are answered here rather than waiting out
// their whole timeout.
class Forsaken : public Network, public ::testing::WithParamInterface<std::optional<Status>> {};

TEST_P(Forsaken, AsksToALostNodeAreSettledUnreached) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  route(a, ask_from(a, 2, key_owned_by(b, {a, b, c})));
  ASSERT_EQ(at(a).held->remote.size(), 2u);
  // c is listed with its new status, or not listed at all once it has left.
  if (GetParam()) {
    auto list = at(a).members->list;
    for (auto& m : list) {
      if (m.node == c) m.status = *GetParam();
    }
    at(a).members->see(std::move(list));
    settle(a);
  } else {
    see(a, {a, b});
  }
  EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome::unreached("T", key)}}));
  EXPECT_EQ(at(a).held->remote.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Gone, Forsaken, ::testing::Values(std::optional<Status>(Status::Dead), std::nullopt),
                         [](const auto& info) { return info.param ? std::string("Dead") : std::string("Left"); });

TEST_F(Network, AnUnreachableNodeIsForsakenWhenMembershipGivesItUp) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  ask(a, Ask{Ask::Peer{PeerReport{PeerReport::Kind::Unreachable, c}}});
  EXPECT_TRUE(seen(a).settled.empty());
  at(a).members->unreached_gives_up = true;
  ask(a, Ask{Ask::Peer{PeerReport{PeerReport::Kind::Unreachable, c}}});
  EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome::unreached("T", key)}}));
  ask(a, Ask{Ask::Peer{PeerReport{PeerReport::Kind::Lost, c}}});
  EXPECT_EQ(seen(a).count<events::ConnectionLost>(), 1u);
}

TEST_F(Network, RepliesForUnknownAsksStillSettle) {
  received(at(a).sender(), *at(a).held, "replies", wire::encode_answer(9, Outcome::missing("T", "k")), 0.0);
  EXPECT_EQ(seen(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{9, Outcome::missing("T", "k")}}));
  // Undecodable envelopes and unknown names are dropped without a word.
  received(at(a).sender(), *at(a).held, "replies", Bytes{0xc1}, 0.0);
  received(at(a).sender(), *at(a).held, "actors", Bytes{0xc1}, 0.0);
  received(at(a).sender(), *at(a).held, "unknown", Bytes{0x90}, 0.0);
  EXPECT_EQ(seen(a).settled.size(), 1u);
}

TEST_F(Network, AWrongOwnerMakesTheMembersAskAgain) {
  const auto key = key_owned_by(c, {a, b, c});
  Routed routed{tell(key), a, 1};
  received(at(a).sender(), *at(a).held, "actors", wire::encode(wire::Message{wire::WrongOwner{routed}}), 0.0);
  EXPECT_EQ(at(a).members->refreshes, 1u);
}

// Commands that change what the node knows of actor types, and the answers of queries.
class Commands : public Network {
 protected:
  Held& held() { return *at(a).held; }
  static core::Kind kind(std::string name, std::uint64_t replicas) {
    return core::Kind{std::move(name), std::nullopt, std::nullopt, replicas, false, core::WriteLevel::Majority};
  }
};

TEST_F(Commands, LearnTellsCountsOnceAndReplacesTheKind) {
  ask(a, Ask{Ask::Learn{kind("U", 2)}});
  EXPECT_EQ(held().counts.known("U"), 2u);
  auto again = kind("U", 5);
  again.write_timeout = Duration{1, 0};
  ask(a, Ask{Ask::Learn{again}});
  EXPECT_EQ(held().counts.known("U"), 2u);
  EXPECT_EQ(held().kinds.at("U"), again);
  EXPECT_EQ(held().timeout("U"), (Duration{1, 0}));
  EXPECT_EQ(held().timeout("V"), timeout);

  // Given up and learned later, a type is still told to the counts.
  ask(a, Ask{Ask::GiveUp{"W"}});
  EXPECT_EQ(held().counts.known("W"), std::nullopt);
  ask(a, Ask{Ask::Learn{kind("W", 3)}});
  EXPECT_EQ(held().counts.known("W"), 3u);
  // Giving up a learned type changes nothing.
  ask(a, Ask{Ask::GiveUp{"U"}});
  EXPECT_EQ(held().counts.known("U"), 2u);
}

TEST_F(Commands, AttachedElsewhereIsReleasedButKept) {
  const auto mine = key_owned_by(a, {a, b, c});
  const auto theirs = key_owned_by(b, {a, b, c});
  ask(a, Ask{Ask::Attached{"T", mine}});
  ask(a, Ask{Ask::Attached{"T", theirs}});
  EXPECT_EQ(seen(a).released, (std::vector<Key>{{"T", theirs}}));
  EXPECT_EQ(held().acting, (std::set<Key>{{"T", mine}, {"T", theirs}}));
  ask(a, Ask{Ask::Detached{"T", theirs}});
  EXPECT_EQ(held().acting, (std::set<Key>{{"T", mine}}));
}

TEST_F(Commands, HandedAndAbandon) {
  // Without a waiter, Abandon changes nothing.
  ask(a, Ask{Ask::Abandon{}});
  EXPECT_EQ(seen(a).count<events::Abandoned>(), 0u);
  auto [first, first_rx] = oneshot::channel<std::vector<Key>>();
  auto [second, second_rx] = oneshot::channel<std::vector<Key>>();
  // Nothing is owed, so the flush after the command answers the waiter at once.
  ask(a, Ask{Ask::Handed{std::move(first)}});
  EXPECT_EQ(first_rx.status(), oneshot::Status::Ready);
  EXPECT_EQ(first_rx.take(), std::vector<Key>{});
  // A second waiter replaces one still held: its receiver sees the sender gone.
  auto [held_one, held_rx] = oneshot::channel<std::vector<Key>>();
  held().handed = std::move(held_one);
  ASSERT_TRUE(asked(at(a).sender(), held(), Ask{Ask::Handed{std::move(second)}}, 0.0));
  EXPECT_EQ(held_rx.status(), oneshot::Status::Closed);
  ASSERT_TRUE(asked(at(a).sender(), held(), Ask{Ask::Abandon{}}, 0.0));
  EXPECT_EQ(second_rx.take(), std::vector<Key>{});
  EXPECT_EQ(seen(a).count<events::Abandoned>(), 0u);
}

TEST_F(Commands, QueriesAnswerWhatThisNodeSees) {
  const auto key = key_owned_by(b, {a, b, c});
  auto [placed, placed_rx] = oneshot::channel<Placed>();
  ask(a, Ask{Ask::Placed{"T", key, std::move(placed)}});
  EXPECT_EQ(placed_rx.take(), (Placed{b, {b}}));

  auto [kept, kept_rx] = oneshot::channel<std::vector<core::replication::replica::Kept>>();
  ask(a, Ask{Ask::Kept{std::move(kept)}});
  EXPECT_EQ(kept_rx.take(), std::vector<core::replication::replica::Kept>{});

  // A type nobody hosts fails its activation, and the observer hears of it.
  see(a, {});
  auto [activated, activated_rx] = oneshot::channel<ActivateResult>();
  ask(a, Ask{Ask::Activate{"T", key, std::nullopt, std::move(activated)}});
  auto result = activated_rx.take();
  ASSERT_TRUE(result && !*result);
  EXPECT_EQ(result->error().text, "no member hosts T");
  EXPECT_EQ(seen(a).count<events::WriteFailed>(), 1u);
  EXPECT_EQ(std::get<events::WriteFailed>(seen(a).events.back().variant).write, false);
}

TEST_F(Commands, AroundCountsLiveReplicas) {
  ask(a, Ask{Ask::Learn{kind("R", 3)}});
  auto around = held().around("R", "k");
  ASSERT_TRUE(around);
  EXPECT_EQ(around->replicas.size(), 3u);
  EXPECT_EQ(around->wanted, 3u);
  EXPECT_EQ(around->level, core::replication::Level::Majority);
  EXPECT_FALSE(around->durable.any());
  see(a, {a, b, c}, Status::Dead);
  EXPECT_EQ(held().around("R", "k")->wanted, 1u);
  // A type absent from the kinds writes at majority, without the store.
  EXPECT_EQ(held().around("T", "k")->level, core::replication::Level::Majority);
}

// A leaving node hands its kept keys to the ring without it, and its leave waits for them; keys
// still owed when the leave gives up are reported and handed back to the leave.
class Leaving : public Network {
 protected:
  std::string key;

  void SetUp() override {
    Network::SetUp();
    key = key_owned_by(b, {a, b, c});
    auto [activated, activated_rx] = oneshot::channel<ActivateResult>();
    ask(b, Ask{Ask::Activate{"T", key, core::Pages{}, std::move(activated)}});
    run(milliseconds(0));
    auto held = activated_rx.take();
    ASSERT_TRUE(held && *held && **held);
    auto [written, written_rx] = oneshot::channel<CommitResult>();
    ask(b, Ask{Ask::Commit{"T", key, (**held)->generation, core::Pages{{"s", Bytes{0x01}}}, false, std::move(written)}});
    run(milliseconds(0));
    auto done = written_rx.take();
    ASSERT_TRUE(done && *done);
    ASSERT_TRUE(at(b).held->replication.replica.entry("T", key));
  }

  // Asks b to leave and to answer once nothing is owed.
  oneshot::Receiver<std::vector<Key>> leave() {
    ask(b, Ask{Ask::Leave{}});
    auto [waiter, handed] = oneshot::channel<std::vector<Key>>();
    ask(b, Ask{Ask::Handed{std::move(waiter)}});
    return std::move(handed);
  }
};

TEST_F(Leaving, TheWaiterIsAnsweredOnceTheKeysAreTaken) {
  auto handed = leave();
  run(milliseconds(1000));
  EXPECT_EQ(handed.take(), std::vector<Key>{});
  EXPECT_FALSE(at(b).held->replication.replica.entry("T", key));
  std::size_t keeping = 0;
  for (const auto& n : {a, c}) keeping += at(n).held->replication.replica.entry("T", key) != nullptr;
  EXPECT_EQ(keeping, 1u);
}

TEST_F(Leaving, WhatIsStillOwedIsReportedWhenTheLeaveGivesUp) {
  lost = [&](const Sent& s) { return s.name == "replication" && s.to != b; };
  auto handed = leave();
  run(milliseconds(1000));
  EXPECT_EQ(handed.status(), oneshot::Status::Waiting);
  ask(b, Ask{Ask::Abandon{}});
  EXPECT_EQ(handed.take(), (std::vector<Key>{{"T", key}}));
  EXPECT_EQ(seen(b).count<events::Abandoned>(), 1u);
  const auto& events = seen(b).events;
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const events::Event& e) {
    return e == events::Event{events::Abandoned{"T", {key}}};
  }));
  // The copy stays with the node that could not hand it over.
  EXPECT_TRUE(at(b).held->replication.replica.entry("T", key));
}

TEST(Abandoned, GroupsByTypeInOrder) {
  const auto made = events::abandoned({{"b", "k1"}, {"a", "k2"}, {"b", "k0"}});
  EXPECT_EQ(made, (std::vector<events::Event>{events::Event{events::Abandoned{"a", {"k2"}}},
                                              events::Event{events::Abandoned{"b", {"k1", "k0"}}}}));
  EXPECT_TRUE(events::abandoned({}).empty());
}

}  // namespace
}  // namespace vorel::node
