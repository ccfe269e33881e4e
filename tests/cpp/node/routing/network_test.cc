// Several nodes' routing wired through an in-memory network under a virtual clock. The fixture
// plays the part of each node's event loop: it carries out the steps, sends the bytes, and looks
// at the waiting room every 10 ms while anything is parked.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/placement/placement.hpp"
#include "core/routing/wire.hpp"
#include "node/routing/service.hpp"
#include "node/routing/waiting.hpp"
#include "testing/ids.hpp"

namespace vorel::node::routing {
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
using core::testing::id;
using std::chrono::milliseconds;

struct NoTransfers : core::placement::Transfers {
  bool receiving(const core::placement::Step&, std::string_view) const override { return false; }
};

struct Envelope {
  NodeId to;
  std::string channel;
  Bytes payload;
};

struct Sent {
  Instant at;
  NodeId to;
  wire::Message message;
};

struct Node {
  Routing routing;
  waiting::Waiting room;
  Placement view;
  bool joined = true;
  // Keys whose place a test fixes, as a hand-off in flight would.
  std::map<std::string, Place> forced;
  // What the host was given.
  std::vector<Command> handed;
  std::vector<std::pair<std::int64_t, Outcome>> settled;
  std::vector<std::pair<Command, std::string>> dropped;
  std::vector<wire::Cancel> cancelled;
  std::vector<Sent> sent;
};

Counts counts() {
  Counts c;
  c.learn("T", 1);
  return c;
}

class Network : public ::testing::Test {
 protected:
  const NodeId a = id(1), b = id(2), c = id(3);
  Instant now{std::chrono::hours(1)};
  Duration timeout{5, 0};
  std::map<NodeId, Node> nodes;
  std::deque<Envelope> wire_;

  void SetUp() override {
    for (const auto& n : {a, b, c}) {
      nodes[n].routing.own = n;
      nodes[n].view = Placement{n};
    }
    see({a, b, c});
  }

  void see(const NodeId& at, std::vector<NodeId> members, Status status = Status::Alive) {
    std::vector<Member> list;
    for (auto& m : members) list.push_back(Member{m, {"T"}, status});
    nodes.at(at).view.update(list, counts());
  }
  void see(std::vector<NodeId> members) {
    for (const auto& n : {a, b, c}) see(n, members);
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

  Place place(const NodeId& at, const std::string& actor, const std::string& key) {
    auto& n = nodes.at(at);
    if (auto f = n.forced.find(key); f != n.forced.end()) return f->second;
    if (!n.joined) return Place::wait();
    const auto owner = n.view.owner(actor, key, counts(), NoTransfers{});
    if (core::placement::acting(owner, key, at, true, true) == at) return Place::here();
    const auto destination = core::placement::acting(n.view.destination(actor, key, counts()), key, at, true, true);
    if (!destination) return Place::nobody();
    if (*destination == at) return Place::wait();
    return Place::there(*destination);
  }

  static std::pair<std::string, std::string> key_of(const Command& command) {
    return std::visit([](const auto& x) { return std::pair{x.actor, x.key}; }, command);
  }

  void answer(const NodeId& at, const Target& target, Outcome outcome) {
    const auto* reply = target.as_reply();
    if (reply == nullptr) return;
    if (reply->node == at) {
      nodes.at(at).settled.emplace_back(reply->id, std::move(outcome));
      return;
    }
    wire_.push_back(Envelope{reply->node, "replies", wire::encode_answer(reply->id, outcome)});
  }

  void act(const NodeId& at, Step step) {
    auto& n = nodes.at(at);
    if (auto* send = std::get_if<Step::Send>(&step.value)) {
      n.sent.push_back(Sent{now, send->to, send->message});
      wire_.push_back(Envelope{send->to, "actors", wire::encode(send->message)});
    } else if (auto* hand = std::get_if<Step::Hand>(&step.value)) {
      n.handed.push_back(hand->command);
    } else if (auto* park = std::get_if<Step::Park>(&step.value)) {
      if (n.room.count < n.room.limit) {
        n.room.keep(park->routed, now, park->delay, timeout);
      } else {
        auto reason = room_full(n.room.count);
        auto [actor, key] = key_of(park->routed.command);
        act(at, Step{Step::Answer{park->routed.command, reason, Outcome::unreached(actor, key)}});
      }
    } else if (auto* cancel = std::get_if<Step::Cancel>(&step.value)) {
      n.room.cancel(cancel->cancel);
      n.cancelled.push_back(cancel->cancel);
    } else {
      auto& ans = std::get<Step::Answer>(step.value);
      const auto* deliver = std::get_if<Deliver>(&ans.command);
      if (deliver != nullptr && deliver->reply) {
        answer(at, *deliver->reply, ans.outcome);
      } else {
        n.dropped.emplace_back(ans.command, ans.reason);
      }
    }
  }

  // What the embedding side's route command does.
  void route(const NodeId& at, Command command) {
    auto& n = nodes.at(at);
    Routed routed{std::move(command), at, 1};
    const auto [actor, key] = key_of(routed.command);
    if (n.room.holds(actor, key)) return act(at, Step{Step::Park{std::move(routed), Duration{}}});
    act(at, n.routing.route(std::move(routed), place(at, actor, key)));
  }

  // What the embedding side's cancel command does.
  void cancel(const NodeId& at, const wire::Cancel& cancel) {
    if (nodes.at(at).room.cancel(cancel)) return;
    const auto p = place(at, cancel.actor, cancel.key);
    if (std::holds_alternative<Place::Nobody>(p.value)) return;
    const auto* there = std::get_if<Place::There>(&p.value);
    act(at, Step{Step::Send{wire::Message{cancel}, there != nullptr ? there->node : at}});
  }

  void received(const NodeId& at, const Envelope& e) {
    auto& n = nodes.at(at);
    if (e.channel == "replies") {
      auto reply = wire::decode_answer(e.payload);
      ASSERT_TRUE(reply);
      n.settled.push_back(std::move(*reply));
      return;
    }
    auto message = wire::decode(e.payload);
    ASSERT_TRUE(message);
    std::string actor, key;
    if (const auto* cancel = std::get_if<wire::Cancel>(&message->variant)) {
      actor = cancel->actor, key = cancel->key;
    } else {
      const auto& routed = std::holds_alternative<Routed>(message->variant)
                               ? std::get<Routed>(message->variant)
                               : std::get<wire::WrongOwner>(message->variant).routed;
      std::tie(actor, key) = key_of(routed.command);
    }
    const auto p = place(at, actor, key);
    if (std::holds_alternative<Place::Here>(p.value) && std::holds_alternative<Routed>(message->variant) &&
        n.room.holds(actor, key)) {
      return act(at, Step{Step::Park{std::move(std::get<Routed>(message->variant)), Duration{}}});
    }
    act(at, n.routing.receive(std::move(*message), p, timeout));
  }

  void examine(const NodeId& at) {
    auto& n = nodes.at(at);
    for (const auto& k : n.room.keys()) {
      const auto p = place(at, k.actor, k.key);
      for (auto& out : n.room.release(k.actor, k.key, p.waits(), now)) {
        if (out.expired) {
          auto command = std::move(out.routed.command);
          act(at, Step{Step::Answer{std::move(command), std::string(kExpired), Outcome::unreached(k.actor, k.key)}});
        } else {
          act(at, n.routing.route(std::move(out.routed), p));
        }
      }
    }
    n.room.since = now;
  }

  void deliver() {
    while (!wire_.empty()) {
      auto e = std::move(wire_.front());
      wire_.pop_front();
      received(e.to, e);
    }
  }

  // Delivers everything, then moves the clock on to `span` later, examining each room when due.
  void run(milliseconds span) {
    const auto end = now + span;
    deliver();
    for (;;) {
      std::optional<Instant> next;
      for (auto& [id, n] : nodes) {
        if (n.room.count > 0 && (!next || *n.room.since + waiting::kExamineEvery < *next)) {
          next = *n.room.since + waiting::kExamineEvery;
        }
      }
      if (!next || *next > end) break;
      now = *next;
      for (auto& [id, n] : nodes) {
        if (n.room.count > 0 && *n.room.since + waiting::kExamineEvery <= now) examine(id);
      }
      deliver();
    }
    now = end;
  }

  Command ask_from(const NodeId& asker, std::int64_t ask, const std::string& key) {
    return Deliver{"T", key, {0x0a}, Target::reply(asker, ask), {}};
  }
  Command tell(const std::string& key) { return Deliver{"T", key, {0x0b}, std::nullopt, {}}; }

  // The ask with id 1 from a came back to a as unreached, and `reporter` reported the tell of the
  // key dropped with `reason`.
  void expect_refused(const NodeId& reporter, const std::string& key, std::string_view reason) {
    EXPECT_EQ(nodes.at(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome::unreached("T", key)}}));
    ASSERT_EQ(nodes.at(reporter).dropped.size(), 1u);
    EXPECT_EQ(nodes.at(reporter).dropped[0].first, tell(key));
    EXPECT_EQ(nodes.at(reporter).dropped[0].second, reason);
  }
};

TEST_F(Network, CommandsReachTheOwnerAndAnswersTheAsker) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  route(a, Start{"T", key, Bytes{0x01}});
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(c).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key), Start{"T", key, Bytes{0x01}}}));
  EXPECT_TRUE(nodes.at(b).handed.empty());

  const Outcome value{Outcome::Value{{0x2a}}};
  answer(c, Target::reply(a, 1), value);
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, value}}));
}

TEST_F(Network, AKeyOfThisNodeTravelsThroughItsOwnInbound) {
  const auto key = key_owned_by(a, {a, b, c});
  route(a, ask_from(a, 1, key));
  ASSERT_EQ(nodes.at(a).sent.size(), 1u);
  EXPECT_EQ(nodes.at(a).sent[0].to, a);
  EXPECT_TRUE(nodes.at(a).handed.empty());
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(a).handed, std::vector<Command>{ask_from(a, 1, key)});
}

TEST_F(Network, CommandsWaitUntilTheNodeJoinsThenGoInOrder) {
  const auto key = key_owned_by(b, {a, b, c});
  nodes.at(a).joined = false;
  route(a, ask_from(a, 1, key));
  run(milliseconds(200));
  route(a, tell(key));
  run(milliseconds(200));
  EXPECT_TRUE(nodes.at(b).handed.empty());
  EXPECT_EQ(nodes.at(a).room.count, 2u);

  nodes.at(a).joined = true;
  run(milliseconds(10));
  EXPECT_EQ(nodes.at(b).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key)}));
  EXPECT_EQ(nodes.at(a).room.count, 0u);
}

TEST_F(Network, CommandsThatFindNoPlaceExpireWithTheirTexts) {
  const auto key = key_owned_by(b, {a, b, c});
  nodes.at(a).joined = false;
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(4990));
  EXPECT_TRUE(nodes.at(a).settled.empty());
  run(milliseconds(20));
  expect_refused(a, key, "no owner took the message within the write timeout");
  EXPECT_EQ(nodes.at(a).room.count, 0u);
}

TEST_F(Network, NoMemberHostsTheType) {
  see(a, {b, c}, Status::Dead);
  const auto key = key_owned_by(b, {a, b, c});
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  expect_refused(a, key, "no member hosts T");
}

TEST_F(Network, AKeyOnItsWayWaitsOnItsNewOwner) {
  const auto key = key_owned_by(b, {a, b, c});
  nodes.at(b).forced[key] = Place::wait();
  route(a, ask_from(a, 1, key));
  run(milliseconds(100));
  EXPECT_TRUE(nodes.at(b).handed.empty());
  EXPECT_EQ(nodes.at(b).room.count, 1u);
  // A command that arrives while the key's commands still wait queues behind them.
  nodes.at(b).forced.erase(key);
  route(a, tell(key));
  run(milliseconds(0));
  EXPECT_TRUE(nodes.at(b).handed.empty());
  run(milliseconds(10));
  EXPECT_EQ(nodes.at(b).handed, (std::vector<Command>{ask_from(a, 1, key), tell(key)}));
}

// A's view lacks c, so it sends c's key to b, which returns it.
class WrongOwners : public Network {
 protected:
  std::string key;
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
  }

  std::vector<milliseconds> sends_to_b() const {
    std::vector<milliseconds> out;
    for (const auto& s : nodes.at(a).sent) {
      if (s.to == b) out.push_back(std::chrono::duration_cast<milliseconds>(s.at - start));
    }
    return out;
  }
  Instant start = now;
};

TEST_F(WrongOwners, RetryWithBackoffThenReachTheOwner) {
  route(a, ask_from(a, 1, key));
  run(milliseconds(300));
  // Each retry waits for the next examination after its delay: 10, 20, 40, 80, 160 ms.
  EXPECT_EQ(sends_to_b(), (std::vector<milliseconds>{milliseconds(0), milliseconds(10), milliseconds(30),
                                                      milliseconds(70), milliseconds(150)}));
  EXPECT_TRUE(nodes.at(b).handed.empty());
  for (const auto& s : nodes.at(b).sent) EXPECT_EQ(s.to, a);
  ASSERT_EQ(nodes.at(a).room.count, 1u);
  EXPECT_EQ(nodes.at(a).room.parked.begin()->second.front().routed.attempt, 6u);

  see(a, {a, b, c});
  run(milliseconds(400));
  EXPECT_EQ(nodes.at(c).handed, std::vector<Command>{ask_from(a, 1, key)});
  answer(c, Target::reply(a, 1), Outcome{Outcome::Value{{0x01}}});
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(a).settled, (std::vector<std::pair<std::int64_t, Outcome>>{{1, Outcome{Outcome::Value{{0x01}}}}}));
}

TEST_F(WrongOwners, GiveUpOnceTheDelaysPassTheWriteTimeout) {
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(10'000));
  expect_refused(a, key, "the nodes did not agree on the owner of the key within the write timeout");
  // The first send and ten retries: the eleventh return is given up.
  EXPECT_EQ(sends_to_b().size(), 22u);
  EXPECT_EQ(nodes.at(a).room.count, 0u);
  EXPECT_TRUE(nodes.at(c).handed.empty());
}

TEST_F(WrongOwners, ALeavingNodeRoutesAReturnAtOnce) {
  nodes.at(a).routing.stopping = true;
  route(a, tell(key));
  // a learns of c before b's return arrives: a leaving node routes the return at once by what it
  // knows now, instead of parking it for a retry.
  see(a, {a, b, c});
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(c).handed, std::vector<Command>{tell(key)});
  ASSERT_EQ(nodes.at(a).sent.size(), 2u);
  EXPECT_EQ(nodes.at(a).sent[1].to, c);
  EXPECT_EQ(nodes.at(a).sent[1].at, start);
  EXPECT_EQ(std::get<Routed>(nodes.at(a).sent[1].message.variant).attempt, 1u);
  EXPECT_EQ(nodes.at(a).room.count, 0u);
}

TEST_F(Network, CancelsReachTheOwner) {
  const auto key = key_owned_by(c, {a, b, c});
  route(a, ask_from(a, 1, key));
  run(milliseconds(0));
  const wire::Cancel gone{"T", key, Target::reply(a, 1)};
  cancel(a, gone);
  run(milliseconds(0));
  EXPECT_EQ(nodes.at(c).cancelled, std::vector<wire::Cancel>{gone});
}

TEST_F(Network, ACancelledParkedAskNeverLeaves) {
  const auto key = key_owned_by(b, {a, b, c});
  nodes.at(a).joined = false;
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  route(a, ask_from(a, 2, key));
  cancel(a, wire::Cancel{"T", key, Target::reply(a, 1)});
  EXPECT_TRUE(wire_.empty());
  nodes.at(a).joined = true;
  run(milliseconds(10));
  EXPECT_EQ(nodes.at(b).handed, (std::vector<Command>{tell(key), ask_from(a, 2, key)}));
  EXPECT_TRUE(nodes.at(b).cancelled.empty());
}

TEST_F(Network, ALeavingOwnerRefusesItsKeys) {
  const auto key = key_owned_by(c, {a, b, c});
  nodes.at(c).routing.stopping = true;
  route(a, ask_from(a, 1, key));
  route(a, tell(key));
  run(milliseconds(0));
  EXPECT_TRUE(nodes.at(c).handed.empty());
  expect_refused(c, key, "the node is shutting down");
}

TEST_F(Network, AFullRoomRefusesMore) {
  const auto key = key_owned_by(b, {a, b, c});
  nodes.at(a).joined = false;
  nodes.at(a).room.limit = 2;
  route(a, tell(key));
  route(a, tell(key));
  route(a, tell(key));
  route(a, ask_from(a, 1, key));
  expect_refused(a, key, "2 messages wait on this node for their keys already");
  EXPECT_EQ(nodes.at(a).room.count, 2u);
}

}  // namespace
}  // namespace vorel::node::routing
