#include "core/membership/broadcast.hpp"

#include <algorithm>

#include "core/invariant.hpp"

namespace vorel::core::membership {

using broadcast::Missing;
using broadcast::Peer;

void Broadcaster::flag(const NodeId& node, bool eager) {
  auto it = std::find_if(peers_.begin(), peers_.end(), [&](const Peer& p) { return p.node == node; });
  if (it != peers_.end()) it->eager = eager;
}

void Broadcaster::neighbor_up(NodeId node) {
  if (std::any_of(peers_.begin(), peers_.end(), [&](const Peer& p) { return p.node == node; })) return;
  peers_.push_back({std::move(node), true});
}

void Broadcaster::neighbor_down(const NodeId& node) {
  std::erase_if(peers_, [&](const Peer& p) { return p.node == node; });
  for (auto& [id, m] : missing_) std::erase(m.holders, node);
}

std::vector<Send> Broadcaster::push(const std::vector<Peer>& peers, const Broadcast& gossip, const NodeId& from) {
  const auto* g = std::get_if<Broadcast::Gossip>(&gossip.value);
  if (g == nullptr) broken("only a gossip is pushed");
  std::vector<Send> out;
  for (const auto& p : peers) {
    if (p.node == from) continue;
    if (p.eager) {
      out.push_back({p.node, gossip});
    } else {
      out.push_back({p.node, Broadcast{Broadcast::IHave{g->id}}});
    }
  }
  return out;
}

void Broadcaster::remember(const Broadcast::Gossip& gossip, double now) {
  seen_.insert_or_assign(gossip.id, broadcast::Seen{gossip, now});
  stored_.emplace_back(now, gossip.id);
}

std::vector<Send> Broadcaster::broadcast(const table::Record& record, double now) {
  sequence_ += 1;
  Broadcast::Gossip gossip{EventId{id_, sequence_}, record};
  remember(gossip, now);
  return push(peers_, Broadcast{std::move(gossip)}, id_);
}

std::pair<std::vector<Send>, std::optional<table::Record>> Broadcaster::receive(const NodeId& from,
                                                                                 const Broadcast& message,
                                                                                 double now) {
  using Out = std::pair<std::vector<Send>, std::optional<table::Record>>;
  return std::visit(
      [&](const auto& m) -> Out {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Broadcast::Gossip>) {
          std::erase_if(missing_, [&](const auto& entry) { return entry.first == m.id; });
          if (seen_.contains(m.id)) {
            flag(from, false);
            return {{Send{from, Broadcast{Broadcast::Prune{}}}}, std::nullopt};
          }
          remember(m, now);
          flag(from, true);
          return {push(peers_, message, from), m.record};
        } else if constexpr (std::is_same_v<M, Broadcast::IHave>) {
          if (seen_.contains(m.id)) return {};
          auto it = std::find_if(missing_.begin(), missing_.end(), [&](const auto& e) { return e.first == m.id; });
          if (it != missing_.end()) {
            if (std::find(it->second.holders.begin(), it->second.holders.end(), from) == it->second.holders.end()) {
              it->second.holders.push_back(from);
            }
          } else {
            missing_.emplace_back(m.id, Missing{{from}, now, now + graft_after_});
          }
          return {};
        } else if constexpr (std::is_same_v<M, Broadcast::Graft>) {
          flag(from, true);
          auto it = seen_.find(m.id);
          if (it == seen_.end()) return {};
          return {{Send{from, Broadcast{it->second.gossip}}}, std::nullopt};
        } else {
          flag(from, false);
          return {};
        }
      },
      message.value);
}

std::vector<Send> Broadcaster::tick(double now) {
  std::erase_if(missing_, [&](const auto& e) { return e.second.holders.empty() || now - e.second.first >= broadcast::kRetain; });
  std::vector<Send> grafts;
  for (auto& [id, m] : missing_) {
    if (m.deadline > now) continue;
    std::rotate(m.holders.begin(), m.holders.begin() + 1, m.holders.end());
    m.deadline = now + graft_after_;
    grafts.push_back({m.holders.back(), Broadcast{Broadcast::Graft{id}}});
  }
  for (const auto& g : grafts) flag(g.to, true);
  while (!stored_.empty() && now - stored_.front().first >= broadcast::kRetain) {
    auto it = seen_.find(stored_.front().second);
    if (it != seen_.end() && it->second.at == stored_.front().first) seen_.erase(it);
    stored_.pop_front();
  }
  return grafts;
}

}  // namespace vorel::core::membership
