#include "core/membership/broadcast.hpp"

#include <gtest/gtest.h>

#include "core/membership/support.hpp"

namespace vorel::core::membership {
namespace {

using broadcast::Peer;
using table::Status;
using testing::node;
using testing::record;

const NodeId A = node(1), B = node(2), C = node(3), X = node(7), Y = node(8);
const EventId kId{node(5), 1};

Broadcast gossip(const EventId& id = kId) { return Broadcast{Broadcast::Gossip{id, record(id.origin, 2, Status::Alive)}}; }
Broadcast ihave(const EventId& id = kId) { return Broadcast{Broadcast::IHave{id}}; }
Broadcast graft(const EventId& id = kId) { return Broadcast{Broadcast::Graft{id}}; }
const Broadcast kPrune{Broadcast::Prune{}};

// Peers [A eager, B lazy, C eager].
Broadcaster mixed() {
  Broadcaster b(node(0), 0.5);
  for (const auto& n : {A, B, C}) b.neighbor_up(n);
  b.receive(B, kPrune, 0.0);
  return b;
}

TEST(Broadcaster, SequenceCountsUp) {
  Broadcaster b(node(0), 0.5);
  b.neighbor_up(A);
  auto first = b.broadcast(record(node(0), 1, Status::Alive), 1.0);
  auto second = b.broadcast(record(node(0), 2, Status::Alive), 1.0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(std::get<Broadcast::Gossip>(first[0].message.value).id, (EventId{node(0), 1}));
  EXPECT_EQ(std::get<Broadcast::Gossip>(second[0].message.value).id, (EventId{node(0), 2}));
  EXPECT_TRUE(b.seen(EventId{node(0), 2}));
}

TEST(Broadcaster, NewGossipIsPushedAndDuplicatesPruned) {
  Broadcaster b = mixed();
  auto [out, delivered] = b.receive(C, gossip(), 1.0);
  EXPECT_EQ(out, (std::vector<Send>{{A, gossip()}, {B, ihave()}}));
  EXPECT_EQ(delivered, record(kId.origin, 2, Status::Alive));
  EXPECT_EQ(b.peers(), (std::vector<Peer>{{A, true}, {B, false}, {C, true}}));

  auto [again, none] = b.receive(A, gossip(), 1.1);
  EXPECT_EQ(again, (std::vector<Send>{{A, kPrune}}));
  EXPECT_FALSE(none.has_value());
  EXPECT_EQ(b.peers()[0], (Peer{A, false}));

  // A duplicate from a node that is not a peer is pruned too, and adds no peer.
  EXPECT_EQ(b.receive(X, gossip(), 1.2).first, (std::vector<Send>{{X, kPrune}}));
  EXPECT_EQ(b.peers().size(), 3u);
}

TEST(Broadcaster, PeerFlags) {
  Broadcaster b = mixed();
  b.neighbor_up(B);
  EXPECT_EQ(b.peers()[1], (Peer{B, false}));
  b.receive(B, graft(), 1.0);  // a graft makes the link eager even for an unknown id
  EXPECT_EQ(b.peers()[1], (Peer{B, true}));
  b.receive(X, kPrune, 1.0);
  EXPECT_EQ(b.peers().size(), 3u);
  b.neighbor_down(B);
  EXPECT_EQ(b.peers(), (std::vector<Peer>{{A, true}, {C, true}}));
}

TEST(Broadcaster, GraftIsAnsweredWithTheStoredGossip) {
  Broadcaster b = mixed();
  b.receive(C, gossip(), 10.0);
  EXPECT_EQ(b.receive(X, graft(), 69.9).first, (std::vector<Send>{{X, gossip()}}));
  EXPECT_TRUE(b.receive(X, graft(EventId{node(5), 2}), 69.9).first.empty());
  b.tick(70.0);
  EXPECT_FALSE(b.seen(kId));
  EXPECT_TRUE(b.receive(X, graft(), 70.0).first.empty());
  // Forgotten, the same gossip is new again.
  EXPECT_TRUE(b.receive(C, gossip(), 71.0).second.has_value());
}

TEST(Broadcaster, AnnouncementsAreGraftedInTurn) {
  Broadcaster b(node(0), 0.5);
  EXPECT_TRUE(b.receive(X, ihave(), 10.0).first.empty());
  EXPECT_TRUE(b.receive(Y, ihave(), 10.2).first.empty());
  EXPECT_TRUE(b.receive(X, ihave(), 10.3).first.empty());
  ASSERT_EQ(b.missing().size(), 1u);
  EXPECT_EQ(b.missing()[0].second.holders, (std::vector<NodeId>{X, Y}));
  EXPECT_EQ(b.missing()[0].second.deadline, 10.5);

  EXPECT_TRUE(b.tick(10.4).empty());
  EXPECT_EQ(b.tick(10.5), (std::vector<Send>{{X, graft()}}));
  EXPECT_EQ(b.missing()[0].second.deadline, 11.0);
  EXPECT_TRUE(b.tick(10.9).empty());
  EXPECT_EQ(b.tick(11.0), (std::vector<Send>{{Y, graft()}}));
  EXPECT_EQ(b.tick(11.5), (std::vector<Send>{{X, graft()}}));
  EXPECT_TRUE(b.peers().empty());  // holders that are not peers stay non-peers

  // The gossip arriving ends the chase, duplicate or not.
  b.receive(Y, gossip(), 11.6);
  EXPECT_TRUE(b.missing().empty());
  b.receive(X, ihave(EventId{node(5), 2}), 12.0);
  b.receive(X, gossip(EventId{node(5), 2}), 12.0);
  EXPECT_TRUE(b.missing().empty());
  EXPECT_TRUE(b.receive(X, ihave(), 12.0).first.empty());
  EXPECT_TRUE(b.missing().empty());  // an announcement of a seen gossip changes nothing
}

TEST(Broadcaster, GraftMakesTheHolderEager) {
  Broadcaster b = mixed();
  b.receive(B, ihave(), 1.0);
  EXPECT_EQ(b.tick(1.5), (std::vector<Send>{{B, graft()}}));
  EXPECT_EQ(b.peers()[1], (Peer{B, true}));
}

TEST(Broadcaster, MissingEntriesAge) {
  Broadcaster b(node(0), 0.5);
  b.receive(X, ihave(), 10.0);
  b.tick(69.9);
  EXPECT_EQ(b.missing().size(), 1u);
  EXPECT_TRUE(b.tick(70.0).empty());
  EXPECT_TRUE(b.missing().empty());

  // Its only holder gone, the entry waits for the next tick, which drops it without a graft.
  b.receive(X, ihave(), 80.0);
  b.neighbor_down(X);
  ASSERT_EQ(b.missing().size(), 1u);
  EXPECT_TRUE(b.missing()[0].second.holders.empty());
  EXPECT_TRUE(b.tick(81.0).empty());
  EXPECT_TRUE(b.missing().empty());
}

TEST(Broadcaster, PushSendsNothingBackToTheSender) {
  const std::vector<Peer> peers{{A, true}, {B, false}, {C, true}};
  EXPECT_EQ(Broadcaster::push(peers, gossip(), A), (std::vector<Send>{{B, ihave()}, {C, gossip()}}));
  EXPECT_DEATH(Broadcaster::push(peers, kPrune, A), "only a gossip is pushed");
}

}  // namespace
}  // namespace vorel::core::membership
