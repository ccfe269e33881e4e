#include "core/membership/views.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "core/invariant.hpp"

namespace vorel::core::membership {

using views::Effect;
using views::Effects;
using views::View;

std::expected<void, std::string> Overlay::check() const {
  for (auto [name, size] : {std::pair{"overlay.active", active}, std::pair{"overlay.passive", passive}}) {
    if (size == 0) return std::unexpected(fmt::format("{} is 0, and a view needs room for at least one node", name));
  }
  return {};
}

namespace {

bool contains(const std::vector<NodeId>& list, const NodeId& node) {
  return std::find(list.begin(), list.end(), node) != list.end();
}

// Removes the node keeping the order of the others; whether it was there.
bool erase(std::vector<NodeId>& list, const NodeId& node) {
  auto it = std::find(list.begin(), list.end(), node);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

void append(Effects& out, Effects more) {
  out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

}  // namespace

Views::Views(NodeId id, Overlay overlay, std::uint64_t random)
    : id_(std::move(id)), overlay_(overlay), rolls_(Rolls::seeded(random)) {
  if (!overlay_.check()) broken("membership: a view capacity of 0");
}

bool Views::is_active(const NodeId& node) const { return contains(active_, node); }
bool Views::is_passive(const NodeId& node) const { return contains(passive_, node); }

std::vector<NodeId> Views::sample(const std::vector<NodeId>& nodes, std::uint64_t count) {
  std::vector<NodeId> out = nodes;
  for (std::size_t i = out.size(); i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(rolls_.draw() % i);
    std::swap(out[i - 1], out[j]);
  }
  if (out.size() > count) out.resize(static_cast<std::size_t>(count));
  return out;
}

void Views::add_passive(const NodeId& node) {
  if (node == id_ || is_active(node) || is_passive(node)) return;
  if (passive_.size() >= overlay_.passive) passive_.erase(passive_.begin() + rolls_.pick(passive_.size()));
  passive_.push_back(node);
}

Effects Views::add_active(const NodeId& node) {
  Effects out;
  if (node == id_ || is_active(node)) return out;
  if (active_.size() >= overlay_.active) {
    const auto at = active_.begin() + rolls_.pick(active_.size());
    NodeId victim = *at;
    active_.erase(at);
    add_passive(victim);
    out.push_back(Effect::send(victim, View{View::Disconnect{}}));
    out.push_back(Effect::down(std::move(victim)));
  }
  erase(passive_, node);
  active_.push_back(node);
  out.push_back(Effect::up(node));
  return out;
}

Effects Views::remove(const NodeId& node, bool keep) {
  if (!keep) erase(passive_, node);
  if (!erase(active_, node)) return {};
  if (keep) add_passive(node);
  Effects out{Effect::down(node)};
  append(out, promote());
  return out;
}

Effects Views::promote() {
  if (active_.size() >= overlay_.active) return {};
  const std::uint64_t free = overlay_.active - active_.size();
  const bool priority = active_.empty();
  Effects out;
  for (auto& node : sample(passive_, free)) out.push_back(Effect::send(std::move(node), View{View::Neighbor{priority}}));
  return out;
}

Effects Views::shuffle() {
  if (active_.empty()) return {};
  std::vector<NodeId> mixed = sample(active_, 3);
  for (auto& node : sample(passive_, 4)) mixed.push_back(std::move(node));
  const NodeId& target = active_[rolls_.pick(active_.size())];
  return {Effect::send(target, View{View::Shuffle{id_, std::move(mixed), overlay_.passive_walk}})};
}

std::vector<NodeId> Views::onward(const NodeId& from, const NodeId& other) const {
  std::vector<NodeId> out;
  for (const auto& a : active_) {
    if (a != from && a != other) out.push_back(a);
  }
  return out;
}

Effects Views::receive(const NodeId& from, const View& message) {
  return std::visit(
      [&](const auto& m) -> Effects {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, View::Join>) {
          Effects forwards;
          for (const auto& a : active_) {
            if (a != from) forwards.push_back(Effect::send(a, View{View::ForwardJoin{from, overlay_.join_walk}}));
          }
          Effects out = add_active(from);
          out.push_back(Effect::send(from, View{View::NeighborReply{true}}));
          append(out, std::move(forwards));
          return out;
        } else if constexpr (std::is_same_v<M, View::ForwardJoin>) {
          return forward_join(from, m);
        } else if constexpr (std::is_same_v<M, View::Neighbor>) {
          return neighbor(from, m);
        } else if constexpr (std::is_same_v<M, View::NeighborReply>) {
          if (!m.accepted) return {};
          return add_active(from);
        } else if constexpr (std::is_same_v<M, View::Disconnect>) {
          return remove(from, true);
        } else if constexpr (std::is_same_v<M, View::Shuffle>) {
          return shuffled(from, m);
        } else {
          for (const auto& node : m.sample) add_passive(node);
          return {};
        }
      },
      message.value);
}

Effects Views::forward_join(const NodeId& from, const View::ForwardJoin& m) {
  if (m.joiner == id_ || is_active(m.joiner)) return {};
  std::vector<NodeId> candidates = onward(from, m.joiner);
  if (m.ttl != 0 && !candidates.empty()) {
    if (m.ttl == overlay_.passive_walk) add_passive(m.joiner);
    const NodeId& next = candidates[rolls_.pick(candidates.size())];
    return {Effect::send(next, View{View::ForwardJoin{m.joiner, m.ttl - 1}})};
  }
  // The walk ends here: this node asks the joiner for a link, which it takes only on acceptance.
  return {Effect::send(m.joiner, View{View::Neighbor{false}})};
}

Effects Views::neighbor(const NodeId& from, const View::Neighbor& m) {
  if (m.priority || is_active(from) || active_.size() < overlay_.active) {
    Effects out = add_active(from);
    out.push_back(Effect::send(from, View{View::NeighborReply{true}}));
    return out;
  }
  return {Effect::send(from, View{View::NeighborReply{false}})};
}

Effects Views::shuffled(const NodeId& from, const View::Shuffle& m) {
  std::vector<NodeId> candidates = onward(from, m.origin);
  if (m.ttl != 0 && !candidates.empty()) {
    const NodeId& next = candidates[rolls_.pick(candidates.size())];
    return {Effect::send(next, View{View::Shuffle{m.origin, m.sample, m.ttl - 1}})};
  }
  std::vector<NodeId> reply = sample(passive_, m.sample.size());
  add_passive(m.origin);
  for (const auto& node : m.sample) add_passive(node);
  return {Effect::send(m.origin, View{View::ShuffleReply{std::move(reply)}})};
}

}  // namespace vorel::core::membership
