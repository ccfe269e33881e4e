#include "core/membership/service.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/membership/support.hpp"

namespace vorel::core::membership {
namespace {

using table::Record;
using table::Status;
using testing::node;
using testing::record;
using views::View;
using wire::Body;
using wire::Sender;

constexpr Periods kPeriods{std::nullopt, 1.0, 5.0, 10.0, 10.0, 0.5, 10.0};
constexpr Overlay kOverlay{5, 30, 6, 3};

Membership make(std::vector<std::string> seeds = {"n9:7000"}, std::set<std::string> types = {"t"}) {
  return Membership(node(0), std::move(types), std::move(seeds), kPeriods, kOverlay, testing::seeded(7));
}

void deliver(Membership& m, Sender sender, Body body, double now) {
  m.receive(wire::encode(wire::Message{std::move(sender), std::move(body)}), now);
}

// A member's own alive record, as it sends it.
Sender from(int k, std::uint64_t incarnation = 0, Status status = Status::Alive) {
  return Sender{record(node(k), incarnation, status)};
}

struct Sent {
  Destination to;
  Body body;
};

// Drains the queue; every message of a member carries its current own record.
std::vector<Sent> drain(Membership& m) {
  std::vector<Sent> out;
  for (auto& o : m.take()) {
    EXPECT_EQ(o.message.sender, Sender{m.table().own()});
    out.push_back({std::move(o.to), std::move(o.message.body)});
  }
  return out;
}

template <class T, class V>
struct among : std::false_type {};
template <class T, class... Ts>
struct among<T, std::variant<Ts...>> : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};

// Whether the body is a T: a body kind, a view message or a tree message.
template <class T>
bool holds(const Body& b) {
  if constexpr (among<T, decltype(Body::value)>::value) {
    return std::holds_alternative<T>(b.value);
  } else if constexpr (among<T, decltype(View::value)>::value) {
    const auto* v = std::get_if<View>(&b.value);
    return v != nullptr && std::holds_alternative<T>(v->value);
  } else {
    const auto* t = std::get_if<Broadcast>(&b.value);
    return t != nullptr && std::holds_alternative<T>(t->value);
  }
}

template <class T>
std::vector<Sent> only(const std::vector<Sent>& sent) {
  std::vector<Sent> out;
  std::copy_if(sent.begin(), sent.end(), std::back_inserter(out), [](const Sent& s) { return holds<T>(s.body); });
  return out;
}

// Links node k into the active view (it asks with priority), then drops what that queued.
void link(Membership& m, int k, double now) {
  deliver(m, from(k), Body{View{View::Neighbor{true}}}, now);
  ASSERT_TRUE(m.views().is_active(node(k)));
  drain(m);
}

TEST(Membership, SeedsWithoutTheOwnAddress) {
  Membership two = make({"n0:7000", "n1:7000"});
  EXPECT_EQ(two.seeds(), std::vector<std::string>{"n1:7000"});
  EXPECT_FALSE(two.joined());
  EXPECT_TRUE(make({"n0:7000"}).joined());
  EXPECT_TRUE(make({}).joined());
}

TEST(Membership, FreshState) {
  Membership m = make();
  EXPECT_EQ(m.members(), (std::vector<Member>{{node(0), {"t"}, Status::Alive}}));
  EXPECT_FALSE(m.changed());
  m.mark();
  EXPECT_TRUE(m.changed());
  EXPECT_FALSE(m.changed());
  EXPECT_FALSE(m.removed());
  EXPECT_TRUE(m.majority());
}

TEST(Membership, JoinAsksEverySeedAndOneMember) {
  Membership m = make({"n8:7000", "n9:7000"});
  m.join();
  auto sent = drain(m);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].to, Destination{"n8:7000"});
  EXPECT_EQ(sent[1].to, Destination{"n9:7000"});
  for (const auto& s : sent) EXPECT_TRUE(holds<View::Join>(s.body));

  deliver(m, from(1), Body{Body::Ping{}}, 1.0);
  deliver(m, from(2, 0, Status::Leaving), Body{Body::Ping{}}, 1.0);
  drain(m);
  m.join();
  sent = drain(m);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].to, Destination{node(1)});  // the only alive member but itself
}

TEST(Membership, SyncIsAnsweredWithTheWholeTable) {
  Membership m = make();
  deliver(m, from(1), Body{Body::Sync{{record(node(2), 0, Status::Left), record(node(3), 4, Status::Alive)}}}, 1.0);
  auto replies = only<Body::SyncReply>(drain(m));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].to, Destination{node(1)});
  auto records = std::get<Body::SyncReply>(replies[0].body.value).records;
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.node < b.node; });
  EXPECT_EQ(records, (std::vector<Record>{record(node(0), 0, Status::Alive, {"t"}), record(node(1), 0, Status::Alive),
                                          record(node(2), 0, Status::Left), record(node(3), 4, Status::Alive)}));
  EXPECT_TRUE(m.joined());
  EXPECT_EQ(m.members().size(), 3u);
}

TEST(Membership, PingIsAckedOnlyByTheActiveView) {
  Membership m = make();
  link(m, 1, 1.0);
  deliver(m, from(2), Body{Body::Ping{}}, 2.0);  // 2 is learned and only passive
  deliver(m, from(1), Body{Body::Ping{}}, 2.0);
  std::vector<Sent> sent;
  for (auto& s : drain(m)) {
    if (!holds<Broadcast>(s.body)) sent.push_back(std::move(s));  // drop the gossip of 2's record
  }
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].to, Destination{node(2)});
  EXPECT_TRUE(holds<View::Disconnect>(sent[0].body));
  EXPECT_EQ(sent[1].to, Destination{node(1)});
  EXPECT_TRUE(holds<Body::Ack>(sent[1].body));
}

TEST(Membership, ViewEffectsAreCarriedOutInOrder) {
  Membership m = make();
  deliver(m, from(1), Body{View{View::Join{}}}, 1.0);
  auto sent = drain(m);
  // Admission's Sync, then the views: the joiner is up (heard, peer, a second Sync), accepted.
  ASSERT_GE(sent.size(), 3u);
  EXPECT_TRUE(holds<Body::Sync>(sent[0].body));
  EXPECT_TRUE(holds<Body::Sync>(sent[1].body));
  EXPECT_TRUE(holds<View::NeighborReply>(sent[2].body));
  for (const auto& s : sent) EXPECT_EQ(s.to, Destination{node(1)});
  EXPECT_TRUE(m.views().is_active(node(1)));
  EXPECT_EQ(m.broadcaster().peers().size(), 1u);
  EXPECT_EQ(m.heard_at(node(1)), 1.0);
}

TEST(Membership, GossipIsNotBroadcastTwiceButARefutationIs) {
  Membership m = make();
  link(m, 1, 1.0);
  link(m, 2, 1.0);
  const EventId id{node(5), 1};
  deliver(m, from(1), Body{Broadcast{Broadcast::Gossip{id, record(node(3), 0, Status::Alive)}}}, 2.0);
  auto gossip = only<Broadcast::Gossip>(drain(m));
  ASSERT_EQ(gossip.size(), 1u);  // passed on down the tree, not started again
  EXPECT_EQ(gossip[0].to, Destination{node(2)});
  EXPECT_EQ(std::get<Broadcast::Gossip>(std::get<Broadcast>(gossip[0].body.value).value).id, id);
  EXPECT_TRUE(m.views().is_passive(node(3)));

  deliver(m, from(1), Body{Broadcast{Broadcast::Gossip{EventId{node(5), 2}, record(node(0), 3, Status::Suspect)}}}, 3.0);
  gossip = only<Broadcast::Gossip>(drain(m));
  EXPECT_EQ(m.table().own(), record(node(0), 4, Status::Alive, {"t"}));
  int passed = 0, refuted = 0;
  for (const auto& g : gossip) {
    const auto& body = std::get<Broadcast::Gossip>(std::get<Broadcast>(g.body.value).value);
    passed += body.id == EventId{node(5), 2};
    refuted += body.id.origin == node(0) && body.record == m.table().own();
  }
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(refuted, 2);  // to both peers
}

TEST(Membership, AMembersOwnRecordIsNotBroadcastAgain) {
  // Its owner broadcasts every change of its record; passing the copy every message carries on
  // as a broadcast of this node's own would multiply each change by the number of neighbours.
  Membership m = make();
  link(m, 1, 1.0);
  link(m, 2, 1.0);
  m.changed();
  deliver(m, Sender{record(node(1), 3, Status::Alive, {"x"})}, Body{Body::Ping{}}, 2.0);
  EXPECT_TRUE(only<Broadcast::Gossip>(drain(m)).empty());
  EXPECT_EQ(*m.table().find(node(1)), record(node(1), 3, Status::Alive, {"x"}));
  EXPECT_TRUE(m.changed());
  // The same news about a third node, relayed in a table, is spread on.
  deliver(m, from(1, 3), Body{Body::Sync{{record(node(2), 5, Status::Alive)}}}, 2.0);
  EXPECT_EQ(only<Broadcast::Gossip>(drain(m)).size(), 2u);
  // So is the record of a joiner, which has no one to broadcast to yet.
  deliver(m, from(3), Body{View{View::Join{}}}, 3.0);
  auto gossip = only<Broadcast::Gossip>(drain(m));
  ASSERT_EQ(gossip.size(), 2u);
  EXPECT_EQ(std::get<Broadcast::Gossip>(std::get<Broadcast>(gossip[0].body.value).value).record,
            record(node(3), 0, Status::Alive));
}

TEST(Membership, ASuspectMemberLeavesTheViews) {
  Membership m = make();
  link(m, 1, 1.0);
  deliver(m, from(2), Body{Body::Ping{}}, 1.0);  // 2 becomes passive
  drain(m);
  ASSERT_TRUE(m.views().is_passive(node(2)));
  deliver(m, from(3), Body{Body::Sync{{record(node(1), 0, Status::Suspect)}}}, 2.0);
  EXPECT_FALSE(m.views().is_active(node(1)));
  EXPECT_FALSE(m.views().is_passive(node(1)));
  EXPECT_FALSE(m.heard_at(node(1)).has_value());
  EXPECT_TRUE(m.broadcaster().peers().empty());
  auto asks = only<View::Neighbor>(drain(m));
  EXPECT_FALSE(asks.empty());  // the free place is offered to passive members
  EXPECT_TRUE(m.changed());
}

TEST(Membership, LeaveOnceThenDepart) {
  Membership m = make();
  link(m, 1, 1.0);
  m.leave(2.0);
  m.leave(2.5);
  EXPECT_EQ(only<Broadcast::Gossip>(drain(m)).size(), 1u);
  EXPECT_EQ(m.table().own().status, Status::Leaving);
  m.depart(3.0);
  auto gossip = only<Broadcast::Gossip>(drain(m));
  ASSERT_EQ(gossip.size(), 1u);
  EXPECT_EQ(std::get<Broadcast::Gossip>(std::get<Broadcast>(gossip[0].body.value).value).record.status, Status::Left);
  m.expire(4.0);
  EXPECT_FALSE(m.removed());
}

TEST(Membership, RemovedByTheOthers) {
  Membership m = make();
  deliver(m, from(1), Body{Body::Sync{{record(node(0), 0, Status::Left)}}}, 1.0);
  EXPECT_TRUE(m.removed());
  EXPECT_FALSE(m.joined());  // it knows two records, but only the other one has not left
}

TEST(Membership, Majority) {
  struct Case {
    std::vector<Status> others;
    bool majority;
  };
  // Besides these, the node itself and the sender are alive.
  const std::vector<Case> cases = {
      {{Status::Alive, Status::Dead, Status::Suspect}, true},   // 3 alive of 5 not left
      {{Status::Dead, Status::Leaving, Status::Left}, false},  // 2 alive of 4 not left
  };
  for (const auto& c : cases) {
    Membership m = make();
    std::vector<Record> records;
    for (std::size_t i = 0; i < c.others.size(); ++i) records.push_back(record(node(1 + i), 0, c.others[i]));
    deliver(m, Sender{node(9)}, Body{Body::SyncReply{records}}, 1.0);  // a bare sender changes nothing
    EXPECT_TRUE(m.majority());
    deliver(m, from(9), Body{Body::SyncReply{records}}, 1.0);
    EXPECT_EQ(m.majority(), c.majority) << c.others.size();
  }
}

TEST(Membership, ABareSenderChangesNoTable) {
  Membership m = make();
  const Sender client{NodeId{std::nullopt, node(5).incarnation}};
  deliver(m, client, Body{Body::Sync{{record(node(3), 0, Status::Alive)}}}, 1.0);
  auto sent = drain(m);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, Destination{client.node()});
  EXPECT_EQ(std::get<Body::SyncReply>(sent[0].body.value).records, std::vector<Record>{m.table().own()});
  EXPECT_EQ(m.table().records().size(), 1u);
  EXPECT_FALSE(m.heard_at(client.node()).has_value());

  deliver(m, client, Body{Body::Ping{}}, 1.0);
  sent = drain(m);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(holds<View::Disconnect>(sent[0].body));

  // View messages from a sender without a record would make a peer that nothing can ever suspect.
  for (const auto& v : {View{View::Join{}}, View{View::Neighbor{true}}, View{View::NeighborReply{true}}}) {
    deliver(m, client, Body{v}, 1.0);
    EXPECT_TRUE(m.views().active().empty());
    EXPECT_TRUE(drain(m).empty());
  }
  EXPECT_FALSE(m.joined());
}

TEST(Membership, UndecodableBytesAreDropped) {
  Membership m = make();
  const Bytes junk{0x92, 0xa7};
  m.receive(junk, 1.0);
  EXPECT_TRUE(m.take().empty());
  EXPECT_FALSE(m.changed());
}

TEST(Membership, KnowPublishesNewTypes) {
  Membership m = make();
  link(m, 1, 1.0);
  m.changed();
  m.know({"t"}, 2.0);
  EXPECT_TRUE(drain(m).empty());
  EXPECT_FALSE(m.changed());
  m.know({"u"}, 2.0);
  EXPECT_EQ(only<Broadcast::Gossip>(drain(m)).size(), 1u);
  EXPECT_EQ(m.table().own().types, (std::set<std::string>{"t", "u"}));
  EXPECT_TRUE(m.changed());
}

TEST(Membership, ExpireGossipsTheAgedRecords) {
  Membership m = make();
  link(m, 1, 1.0);
  deliver(m, from(1), Body{Body::Sync{{record(node(2), 0, Status::Suspect)}}}, 1.0);
  drain(m);
  m.expire(10.9);
  EXPECT_TRUE(drain(m).empty());
  m.expire(11.0);
  auto gossip = only<Broadcast::Gossip>(drain(m));
  ASSERT_EQ(gossip.size(), 1u);
  EXPECT_EQ(std::get<Broadcast::Gossip>(std::get<Broadcast>(gossip[0].body.value).value).record,
            record(node(2), 0, Status::Dead));
}

// ---- failure detection and anti-entropy

TEST(FailureDetection, SilenceIsSuspectedAtSuspectAfter) {
  Membership m = make();
  link(m, 1, 10.0);
  m.probe(14.9);
  auto sent = drain(m);
  ASSERT_EQ(only<Body::Ping>(sent).size(), 1u);
  EXPECT_EQ(m.table().find(node(1))->status, Status::Alive);
  m.probe(15.0);
  EXPECT_EQ(m.table().find(node(1))->status, Status::Suspect);
  EXPECT_FALSE(m.views().is_active(node(1)));
  EXPECT_FALSE(m.heard_at(node(1)).has_value());
}

TEST(FailureDetection, AMemberNeverHeardGetsItsTimeWhenFirstProbed) {
  Membership m = make();
  link(m, 1, 20.0);
  // 2 is known only through 1's table, so it was never heard.
  deliver(m, from(1), Body{Body::SyncReply{{record(node(2), 0, Status::Alive)}}}, 20.0);
  m.probe(20.0);
  auto pings = only<Body::Ping>(drain(m));
  ASSERT_EQ(pings.size(), 2u);
  EXPECT_EQ(pings[1].to, Destination{node(2)});
  EXPECT_EQ(m.heard_at(node(2)), 20.0);
  deliver(m, from(1), Body{Body::Ack{}}, 24.0);
  m.probe(24.9);
  EXPECT_EQ(m.table().find(node(2))->status, Status::Alive);
  deliver(m, from(1), Body{Body::Ack{}}, 25.0);
  m.probe(25.0);
  EXPECT_EQ(m.table().find(node(2))->status, Status::Suspect);
}

TEST(FailureDetection, TheLeastRecentlyHeardIsProbed) {
  Membership m = make();
  link(m, 1, 3.0);
  deliver(m, from(2), Body{Body::Ack{}}, 3.0);  // heard at 3.0, not active
  deliver(m, from(1), Body{Body::SyncReply{{record(node(3), 0, Status::Alive)}}}, 3.0);
  m.probe(4.0);
  auto pings = only<Body::Ping>(drain(m));
  ASSERT_EQ(pings.size(), 2u);
  EXPECT_EQ(pings[0].to, Destination{node(1)});
  EXPECT_EQ(pings[1].to, Destination{node(3)});
}

TEST(FailureDetection, AMemberOutsideTheViewIsProbedUntilItAnswers) {
  Membership m = make();
  link(m, 1, 30.0);
  // 2 and 3 were last heard long ago, as members outside the view usually are.
  deliver(m, from(2), Body{Body::Ack{}}, 3.0);
  deliver(m, from(3), Body{Body::Ack{}}, 4.0);
  auto probed = [&](double now) {
    m.probe(now);
    deliver(m, from(1), Body{Body::Ack{}}, now);
    auto pings = only<Body::Ping>(drain(m));
    return pings.size() == 2 ? std::get<NodeId>(pings[1].to) : NodeId{};
  };
  // An old heard time alone is no silence: 2 is pinged, round after round, until it answers.
  EXPECT_EQ(probed(30.0), node(2));
  EXPECT_EQ(probed(31.0), node(2));
  deliver(m, from(2), Body{Body::Ack{}}, 31.5);
  EXPECT_EQ(probed(32.0), node(3));
  EXPECT_EQ(m.table().find(node(2))->status, Status::Alive);
  // 3 stays silent: suspected once it was probed for suspect_after.
  for (double t : {33.0, 34.0, 35.0, 36.0}) EXPECT_EQ(probed(t), node(3));
  EXPECT_EQ(m.table().find(node(3))->status, Status::Alive);
  m.probe(37.0);
  EXPECT_EQ(m.table().find(node(3))->status, Status::Suspect);
}

TEST(FailureDetection, HeardRefreshesOnlyLiveMembers) {
  Membership m = make();
  deliver(m, from(1), Body{Body::Ack{}}, 1.0);
  m.heard(node(1), 2.0);
  EXPECT_EQ(m.heard_at(node(1)), 2.0);
  deliver(m, from(2), Body{Body::Sync{{record(node(1), 0, Status::Suspect)}}}, 3.0);
  m.heard(node(1), 4.0);
  EXPECT_FALSE(m.heard_at(node(1)).has_value());
  m.heard(node(7), 4.0);
  EXPECT_FALSE(m.heard_at(node(7)).has_value());
  // Its own message does count: it is how it will refute.
  deliver(m, from(1), Body{Body::Ack{}}, 5.0);
  EXPECT_EQ(m.heard_at(node(1)), 5.0);
}

TEST(FailureDetection, Unreached) {
  Membership m = make();
  deliver(m, from(1), Body{Body::Ack{}}, 1.0);
  deliver(m, from(2, 0, Status::Leaving), Body{Body::Ack{}}, 1.0);
  EXPECT_FALSE(m.unreached(node(1), 2.0));
  EXPECT_EQ(m.table().find(node(1))->status, Status::Suspect);
  EXPECT_FALSE(m.unreached(node(2), 2.0));
  EXPECT_EQ(m.table().find(node(2))->status, Status::Leaving);
  EXPECT_FALSE(m.unreached(node(0), 2.0));
  EXPECT_EQ(m.table().own().status, Status::Alive);
  EXPECT_FALSE(m.unreached(node(7), 2.0));
}

TEST(FailureDetection, ASilentNodeWithoutALiveRecordStillLeavesTheViews) {
  // The table holds 1 as dead when 1, not knowing it yet, links up with its older alive record.
  Membership m = make();
  deliver(m, from(2), Body{Body::Sync{{record(node(1), 0, Status::Dead)}}}, 1.0);
  link(m, 1, 1.0);
  ASSERT_EQ(m.table().find(node(1))->status, Status::Dead);
  // 1 then falls silent: the suspicion changes no record, but 1 must not stay a peer for good.
  m.probe(6.0);
  EXPECT_EQ(m.table().find(node(1))->status, Status::Dead);
  EXPECT_FALSE(m.heard_at(node(1)).has_value());
  EXPECT_FALSE(m.views().is_active(node(1)));
  EXPECT_TRUE(m.broadcaster().peers().empty());
}

TEST(FailureDetection, ProbeRejoinsWhenTheActiveViewEmpties) {
  Membership m = make({"n8:7000", "n9:7000"});
  link(m, 1, 1.0);
  deliver(m, from(2), Body{Body::Ack{}}, 6.0);
  drain(m);
  m.probe(6.0);
  auto joins = only<View::Join>(drain(m));
  ASSERT_EQ(joins.size(), 3u);
  EXPECT_EQ(joins[0].to, Destination{"n8:7000"});
  EXPECT_EQ(joins[1].to, Destination{"n9:7000"});
  EXPECT_EQ(joins[2].to, Destination{node(2)});
}

TEST(FailureDetection, AntiEntropy) {
  Membership m = make();
  m.anti_entropy();
  EXPECT_TRUE(m.take().empty());
  deliver(m, from(2), Body{Body::Sync{{record(node(1), 0, Status::Dead), record(node(3), 0, Status::Left)}}}, 1.0);
  drain(m);
  std::set<NodeId> asked;
  for (int round = 0; round < 40; ++round) {
    m.anti_entropy();
    auto sent = drain(m);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::get<Body::Sync>(sent[0].body.value).records.size(), 4u);
    asked.insert(std::get<NodeId>(sent[0].to));
  }
  // Dead members are asked too; left ones and the node itself never.
  EXPECT_EQ(asked, (std::set<NodeId>{node(1), node(2)}));
}

}  // namespace
}  // namespace vorel::core::membership
