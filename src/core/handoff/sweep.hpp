// After a change of membership or placement: which kept keys to run here, which running keys to
// let go, and which kept copies to hand to their new replicas.
#pragma once

#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/node.hpp"
#include "core/placement/placement.hpp"

namespace vorel::core::handoff::sweep {

// (actor type, key); ordered by actor, then key, bytewise.
using Key = std::pair<std::string, std::string>;

// A key whose copy this node keeps.
struct Kept {
  std::string actor;
  std::string key;
  // Its kept state says it is active somewhere.
  bool marked = false;
  friend bool operator==(const Kept&, const Kept&) = default;
};

// A kept key this node no longer replicates, with its replicas now in ring walk order.
struct Handover {
  std::string actor;
  std::string key;
  std::vector<NodeId> replicas;
  friend bool operator==(const Handover&, const Handover&) = default;
};

// The placement the sweep is given.
struct Where {
  const placement::Placement& placement;
  const placement::Counts& counts;
  const placement::Transfers& transfers;
  NodeId me;
  bool joined = false;
  bool serving = false;

  std::vector<NodeId> replicas(std::string_view actor, std::string_view key) const;
  std::optional<NodeId> acting(std::string_view actor, std::string_view key) const;
};

struct Swept {
  std::vector<Key> attach;
  std::vector<Key> release;
  std::vector<Handover> handovers;
};

Swept sweep(std::span<const Kept> kept, const std::set<Key>& acting, const Where& view);

}  // namespace vorel::core::handoff::sweep
