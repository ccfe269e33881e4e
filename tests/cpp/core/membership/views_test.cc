#include "core/membership/views.hpp"

#include <gtest/gtest.h>

#include <set>

#include "core/membership/support.hpp"

namespace vorel::core::membership {
namespace {

using testing::node;
using views::Effect;
using views::Effects;
using views::View;

constexpr Overlay kOverlay{5, 30, 6, 3};

Views make(Overlay overlay = kOverlay) { return Views(node(0), overlay, 42); }

// How many draws took the generator from one state to the other.
int draws(Rolls from, const Rolls& to) {
  for (int n = 0; n < 10000; ++n) {
    if (from.state() == to.state()) return n;
    from.draw();
  }
  return -1;
}

void fill_active(Views& v, int first, int last) {
  for (int k = first; k <= last; ++k) v.add_active(node(k));
}

void fill_passive(Views& v, int first, int last) {
  for (int k = first; k <= last; ++k) v.add_passive(node(k));
}

template <class M>
Effect send(const NodeId& to, M message) {
  return Effect::send(to, View{std::move(message)});
}

TEST(Overlay, RefusesAnEmptyView) {
  EXPECT_TRUE(kOverlay.check().has_value());
  EXPECT_EQ(Overlay({0, 30, 6, 3}).check().error(), "overlay.active is 0, and a view needs room for at least one node");
  EXPECT_EQ(Overlay({5, 0, 6, 3}).check().error(), "overlay.passive is 0, and a view needs room for at least one node");
  EXPECT_TRUE(Overlay({1, 1, 0, 0}).check().has_value());
  // Past the check, an empty view is a broken invariant, never a remainder by zero.
  EXPECT_DEATH(Views(node(0), Overlay{5, 0, 6, 3}, 1), "a view capacity of 0");
}

TEST(Views, AddActiveIgnoresItselfAndTheActive) {
  Views v = make();
  EXPECT_EQ(v.add_active(node(1)), Effects{Effect::up(node(1))});
  const Rolls before = v.rolls();
  EXPECT_TRUE(v.add_active(node(1)).empty());
  EXPECT_TRUE(v.add_active(node(0)).empty());
  EXPECT_EQ(draws(before, v.rolls()), 0);
  EXPECT_EQ(v.active(), std::vector<NodeId>{node(1)});
}

TEST(Views, AddActiveIntoAFullViewEvictsOne) {
  Views v = make();
  fill_active(v, 1, 5);
  v.add_passive(node(6));
  const Effects effects = v.add_active(node(6));
  ASSERT_EQ(effects.size(), 3u);
  const auto* disconnect = std::get_if<Effect::Send>(&effects[0].value);
  ASSERT_NE(disconnect, nullptr);
  const NodeId victim = disconnect->to;
  EXPECT_EQ(effects[0], send(victim, View::Disconnect{}));
  EXPECT_EQ(effects[1], Effect::down(victim));
  EXPECT_EQ(effects[2], Effect::up(node(6)));
  EXPECT_EQ(v.active().size(), 5u);
  EXPECT_EQ(v.active().back(), node(6));
  EXPECT_FALSE(v.is_active(victim));
  EXPECT_EQ(v.passive(), std::vector<NodeId>{victim});
}

TEST(Views, AddPassive) {
  Views v = make(Overlay{5, 3, 6, 3});
  v.add_active(node(1));
  v.add_passive(node(1));
  v.add_passive(node(0));
  EXPECT_TRUE(v.passive().empty());
  fill_passive(v, 2, 4);
  v.add_passive(node(3));
  EXPECT_EQ(v.passive(), (std::vector<NodeId>{node(2), node(3), node(4)}));
  v.add_passive(node(5));
  ASSERT_EQ(v.passive().size(), 3u);
  EXPECT_EQ(v.passive().back(), node(5));
}

TEST(Views, RemoveOfAPassiveNode) {
  Views v = make();
  fill_passive(v, 1, 2);
  EXPECT_TRUE(v.remove(node(1), true).empty());
  EXPECT_TRUE(v.is_passive(node(1)));
  EXPECT_TRUE(v.remove(node(1), false).empty());
  EXPECT_EQ(v.passive(), std::vector<NodeId>{node(2)});
}

TEST(Views, RemoveOfAnActiveNodePromotes) {
  for (bool keep : {true, false}) {
    Views v = make();
    fill_active(v, 1, 2);
    const Effects effects = v.remove(node(1), keep);
    ASSERT_FALSE(effects.empty());
    EXPECT_EQ(effects[0], Effect::down(node(1)));
    EXPECT_EQ(v.active(), std::vector<NodeId>{node(2)});
    EXPECT_EQ(v.is_passive(node(1)), keep);
    // With keep, the node is passive again before the promotion samples the passive view.
    Effects promoted(effects.begin() + 1, effects.end());
    EXPECT_EQ(promoted, keep ? Effects{send(node(1), View::Neighbor{false})} : Effects{});
  }
}

TEST(Views, PromoteAsksForTheFreePlaces) {
  Views v = make();
  fill_passive(v, 10, 17);
  Effects effects = v.promote();
  ASSERT_EQ(effects.size(), 5u);
  std::set<NodeId> asked;
  for (const auto& e : effects) {
    const auto& s = std::get<Effect::Send>(e.value);
    EXPECT_EQ(s.message, View{View::Neighbor{true}});
    asked.insert(s.to);
  }
  EXPECT_EQ(asked.size(), 5u);
  EXPECT_EQ(v.passive().size(), 8u);  // they stay passive until they accept

  fill_active(v, 1, 2);
  effects = v.promote();
  ASSERT_EQ(effects.size(), 3u);
  for (const auto& e : effects) EXPECT_EQ(std::get<Effect::Send>(e.value).message, View{View::Neighbor{false}});

  fill_active(v, 3, 5);
  EXPECT_TRUE(v.promote().empty());
}

TEST(Views, SampleShufflesTheWholeList) {
  Views v = make();
  std::vector<NodeId> seven;
  for (int k = 1; k <= 7; ++k) seven.push_back(node(k));
  Rolls before = v.rolls();
  auto picked = v.sample(seven, 3);
  EXPECT_EQ(draws(before, v.rolls()), 6);
  EXPECT_EQ(picked.size(), 3u);
  EXPECT_EQ(std::set<NodeId>(picked.begin(), picked.end()).size(), 3u);

  before = v.rolls();
  EXPECT_TRUE(v.sample({}, 3).empty());
  EXPECT_EQ(v.sample({node(1)}, 3), std::vector<NodeId>{node(1)});
  EXPECT_EQ(draws(before, v.rolls()), 0);
}

TEST(Views, Shuffle) {
  Views v = make();
  const Rolls before = v.rolls();
  EXPECT_TRUE(v.shuffle().empty());
  EXPECT_EQ(draws(before, v.rolls()), 0);

  fill_active(v, 1, 2);
  fill_passive(v, 10, 19);
  const Effects effects = v.shuffle();
  ASSERT_EQ(effects.size(), 1u);
  const auto& s = std::get<Effect::Send>(effects[0].value);
  EXPECT_TRUE(v.is_active(s.to));
  const auto& m = std::get<View::Shuffle>(s.message.value);
  EXPECT_EQ(m.origin, node(0));
  EXPECT_EQ(m.ttl, 3u);
  ASSERT_EQ(m.sample.size(), 6u);
  EXPECT_EQ(std::set<NodeId>(m.sample.begin(), m.sample.begin() + 2), (std::set<NodeId>{node(1), node(2)}));
  for (auto it = m.sample.begin() + 2; it != m.sample.end(); ++it) EXPECT_TRUE(v.is_passive(*it));
}

TEST(Views, JoinIsTakenAndForwarded) {
  Views v = make();
  fill_active(v, 1, 2);
  const Effects effects = v.receive(node(9), View{View::Join{}});
  EXPECT_EQ(effects, (Effects{Effect::up(node(9)), send(node(9), View::NeighborReply{true}),
                              send(node(1), View::ForwardJoin{node(9), 6}),
                              send(node(2), View::ForwardJoin{node(9), 6})}));
  EXPECT_TRUE(v.is_active(node(9)));
}

TEST(Views, ForwardJoin) {
  struct Case {
    const char* name;
    std::vector<int> active;
    int from;
    std::uint32_t ttl;
    // The expected effect goes to the joiner (9) or to the one candidate.
    Effects expected;
    bool joiner_passive;
  };
  const std::vector<Case> cases = {
      {"WalkEndsAtZero", {1, 2}, 1, 0, {send(node(9), View::Neighbor{false})}, false},
      {"OnlyTheSenderIsActive", {1}, 1, 4, {send(node(9), View::Neighbor{false})}, false},
      {"Forwarded", {1, 2}, 1, 4, {send(node(2), View::ForwardJoin{node(9), 3})}, false},
      {"ForwardedAndKeptPassive", {1, 2}, 1, 3, {send(node(2), View::ForwardJoin{node(9), 2})}, true},
      {"JoinerAlreadyActive", {1, 9}, 1, 4, {}, false},
  };
  for (const auto& c : cases) {
    Views v = make();
    for (int k : c.active) v.add_active(node(k));
    EXPECT_EQ(v.receive(node(c.from), View{View::ForwardJoin{node(9), c.ttl}}), c.expected) << c.name;
    EXPECT_EQ(v.is_passive(node(9)), c.joiner_passive) << c.name;
  }
  Views v = make();
  v.add_active(node(1));
  EXPECT_TRUE(v.receive(node(1), View{View::ForwardJoin{node(0), 4}}).empty());
}

TEST(Views, Neighbor) {
  Views v = make();
  fill_active(v, 1, 5);
  EXPECT_EQ(v.receive(node(3), View{View::Neighbor{false}}), Effects{send(node(3), View::NeighborReply{true})});
  EXPECT_EQ(v.receive(node(7), View{View::Neighbor{false}}), Effects{send(node(7), View::NeighborReply{false})});
  EXPECT_FALSE(v.is_active(node(7)));
  const Effects forced = v.receive(node(7), View{View::Neighbor{true}});
  ASSERT_EQ(forced.size(), 4u);  // disconnect, down, up, reply
  EXPECT_EQ(forced[2], Effect::up(node(7)));
  EXPECT_EQ(forced[3], send(node(7), View::NeighborReply{true}));

  Views roomy = make();
  EXPECT_EQ(roomy.receive(node(7), View{View::Neighbor{false}}),
            (Effects{Effect::up(node(7)), send(node(7), View::NeighborReply{true})}));
}

TEST(Views, NeighborReplyAndDisconnect) {
  Views v = make();
  v.add_passive(node(4));
  EXPECT_TRUE(v.receive(node(4), View{View::NeighborReply{false}}).empty());
  EXPECT_TRUE(v.is_passive(node(4)));
  EXPECT_EQ(v.receive(node(4), View{View::NeighborReply{true}}), Effects{Effect::up(node(4))});
  EXPECT_FALSE(v.is_passive(node(4)));
  const Effects down = v.receive(node(4), View{View::Disconnect{}});
  ASSERT_FALSE(down.empty());
  EXPECT_EQ(down[0], Effect::down(node(4)));
  EXPECT_TRUE(v.is_passive(node(4)));
}

TEST(Views, ShuffleWalksThenEnds) {
  const View shuffle{View::Shuffle{node(8), {node(20), node(21)}, 2}};
  Views walker = make();
  fill_active(walker, 1, 2);
  EXPECT_EQ(walker.receive(node(1), shuffle), Effects{send(node(2), View::Shuffle{node(8), {node(20), node(21)}, 1})});
  EXPECT_TRUE(walker.passive().empty());

  // Ends at a node with nowhere to go and an empty passive view: an empty reply, and the origin
  // and its sample are taken in.
  Views end = make();
  end.add_active(node(1));
  EXPECT_EQ(end.receive(node(1), shuffle), Effects{send(node(8), View::ShuffleReply{})});
  EXPECT_EQ(end.passive(), (std::vector<NodeId>{node(8), node(20), node(21)}));

  Views zero = make();
  fill_active(zero, 1, 2);
  zero.add_passive(node(30));
  EXPECT_EQ(zero.receive(node(1), View{View::Shuffle{node(8), {node(20)}, 0}}),
            Effects{send(node(8), View::ShuffleReply{{node(30)}})});

  Views origin = make();
  EXPECT_TRUE(origin.receive(node(8), View{View::ShuffleReply{{node(30), node(0), node(31)}}}).empty());
  EXPECT_EQ(origin.passive(), (std::vector<NodeId>{node(30), node(31)}));
}

}  // namespace
}  // namespace vorel::core::membership
