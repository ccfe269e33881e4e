#include "core/handoff/sweep.hpp"

#include <algorithm>

#include "core/placement/pin.hpp"

namespace vorel::core::handoff::sweep {

std::vector<NodeId> Where::replicas(std::string_view actor, std::string_view key) const {
  return placement.replicas(actor, key, counts, transfers);
}

std::optional<NodeId> Where::acting(std::string_view actor, std::string_view key) const {
  return placement::acting(placement.owner(actor, key, counts, transfers), key, me, joined, serving);
}

Swept sweep(std::span<const Kept> kept, const std::set<Key>& acting, const Where& view) {
  Swept out;
  for (const auto& k : kept) {
    if (!k.marked || acting.contains(Key{k.actor, k.key})) continue;
    if (view.acting(k.actor, k.key) == view.me) out.attach.emplace_back(k.actor, k.key);
  }
  for (const auto& pair : acting) {
    if (view.acting(pair.first, pair.second) != view.me) out.release.push_back(pair);
  }
  for (const auto& k : kept) {
    // A pinned key belongs to its node whatever the ring says; a key with no replicas (no ring
    // yet) has nowhere to go, so it stays.
    if (placement::pinned(k.key)) continue;
    auto replicas = view.replicas(k.actor, k.key);
    if (replicas.empty() || std::find(replicas.begin(), replicas.end(), view.me) != replicas.end()) continue;
    out.handovers.push_back(Handover{k.actor, k.key, std::move(replicas)});
  }
  return out;
}

}  // namespace vorel::core::handoff::sweep
