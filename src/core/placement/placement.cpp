#include "core/placement/placement.hpp"

#include <algorithm>
#include <tuple>

#include "core/handoff/ranges.hpp"
#include "core/placement/pin.hpp"

namespace vorel::core::placement {

void Counts::learn(std::string_view actor, std::uint64_t count) { entries_.insert_or_assign(std::string(actor), count); }

void Counts::give_up(std::string_view actor) {
  if (!entries_.contains(actor)) entries_.emplace(std::string(actor), std::nullopt);
}

std::optional<std::uint64_t> Counts::known(std::string_view actor) const {
  auto it = entries_.find(actor);
  return it == entries_.end() ? std::nullopt : it->second;
}

std::vector<Step> Placement::update(const std::vector<membership::Member>& list, const Counts& counts) {
  members.clear();
  for (const auto& m : list) members.insert_or_assign(m.node, m);

  // A change of statuses alone keeps the ring: only who may own keys changes, not where they sit.
  const bool same = ring && ring->members().size() == members.size() &&
                    std::all_of(ring->members().begin(), ring->members().end(),
                                [&](const NodeId& id) { return members.contains(id); });
  if (!same) {
    if (members.empty()) {
      ring.reset();
    } else {
      std::vector<NodeId> ids;
      ids.reserve(members.size());
      for (const auto& entry : members) ids.push_back(entry.first);
      ring = Ring::build(ids, kTokens);
    }
  }

  std::vector<Step> out;
  if (ring) {
    const Ring& target = *ring;
    for (const auto& [actor, count] : counts.entries()) {
      // The next change of a type is chained after the newest step still in flight.
      std::optional<Ring> from;
      if (auto s = steps.find(actor); s != steps.end() && !s->second.empty()) {
        from = s->second.back().to;
      } else if (auto r = rings.find(actor); r != rings.end()) {
        from = r->second;
      }
      if (!me) {
        rings.insert_or_assign(actor, target);
        continue;
      }
      // A node that has seen nobody else for this type is a newcomer: it starts from the ring
      // without itself, so its first real change pulls everything it replicates.
      Ring start;
      const bool others = from && std::any_of(from->members().begin(), from->members().end(),
                                              [&](const NodeId& id) { return !(id == *me); });
      if (others) {
        start = std::move(*from);
      } else if (target.has(*me)) {
        start = target.applied(*me, kTokens);
      } else {
        start = target;
      }

      std::vector<Step> made;
      Ring prev = start;
      for (auto& r : chain(start, target, kTokens)) {
        std::uint64_t n = r.members().size();
        if (count) n = std::min(n, *count);
        auto gained = handoff::ranges::gained(prev, r, *me, n);
        if (!gained.empty()) made.push_back(Step{actor, prev, r, std::move(gained)});
        prev = std::move(r);
      }
      auto& listed = steps[actor];
      listed.insert(listed.end(), made.begin(), made.end());
      rings.insert_or_assign(actor, std::move(prev));
      std::move(made.begin(), made.end(), std::back_inserter(out));
    }
  }
  if (members.size() >= 2) clustered = true;
  return out;
}

std::vector<NodeId> Placement::placed(std::string_view actor, std::string_view key, const Counts& counts,
                                      const Ring& on) const {
  std::uint64_t n = on.members().size();
  if (auto count = counts.known(actor)) n = std::min(n, *count);
  return on.replicas(token(actor, key), n);
}

std::vector<NodeId> Placement::replicas(std::string_view actor, std::string_view key, const Counts& counts,
                                        const Transfers& transfers) const {
  if (auto address = pinned(key)) {
    auto node = advertised(*address);
    if (!node) return {};
    return {std::move(*node)};
  }
  if (!ring) return {};
  const Ring* on = &*ring;
  if (auto s = steps.find(std::string(actor)); s != steps.end()) {
    for (const auto& step : s->second) {
      if (transfers.receiving(step, key)) {
        on = &step.from;
        break;
      }
    }
  }
  return placed(actor, key, counts, *on);
}

std::optional<NodeId> Placement::first_up(std::span<const NodeId> replicas) const {
  for (const auto& id : replicas) {
    auto it = members.find(id);
    if (it != members.end() && it->second.up()) return id;
  }
  return std::nullopt;
}

std::optional<NodeId> Placement::owner(std::string_view actor, std::string_view key, const Counts& counts,
                                       const Transfers& transfers) const {
  return first_up(replicas(actor, key, counts, transfers));
}

std::optional<NodeId> Placement::destination(std::string_view actor, std::string_view key,
                                             const Counts& counts) const {
  if (auto address = pinned(key)) {
    auto node = advertised(*address);
    if (!node) return std::nullopt;
    return first_up(std::span<const NodeId>(&*node, 1));
  }
  if (!ring) return std::nullopt;
  return first_up(placed(actor, key, counts, *ring));
}

std::optional<NodeId> Placement::advertised(std::string_view address) const {
  const membership::Member* best = nullptr;
  auto rank = [](const membership::Member& m) { return std::make_tuple(!m.up(), m.status); };
  for (const auto& [id, member] : members) {
    if (!id.address || *id.address != address) continue;
    if (!best || rank(member) < rank(*best)) best = &member;
  }
  if (!best) return std::nullopt;
  return best->node;
}

void Placement::learned(std::string_view actor) {
  if (ring && clustered && !rings.contains(std::string(actor))) rings.emplace(std::string(actor), *ring);
}

std::optional<NodeId> acting(const std::optional<NodeId>& owner, std::string_view key, const NodeId& own, bool joined,
                             bool serving) {
  if (!joined || !owner) return std::nullopt;
  if (*owner == own && !serving && !pinned(key)) return std::nullopt;
  return owner;
}

}  // namespace vorel::core::placement
