// INTERIM: stands in for the hand-off service until it lands; every step is released at once and
// nothing is pulled or handed. Removed with the merge of the real service.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/backoff.hpp"
#include "core/handoff/messages.hpp"
#include "core/handoff/ranges.hpp"
#include "core/handoff/sweep.hpp"
#include "core/node.hpp"
#include "core/options.hpp"
#include "core/placement/placement.hpp"
#include "core/replication/replica.hpp"
#include "node/events.hpp"
#include "node/replication/service.hpp"

namespace vorel::node::handoff::service {

using Instant = std::chrono::steady_clock::time_point;

struct Hold {
  core::placement::Step step;
  core::handoff::ranges::Transfer transfer;
  Instant next;
  core::Duration delay;
};

struct Handing {
  std::set<core::NodeId> targets;
  std::set<core::NodeId> took;
  bool owing(const std::set<core::NodeId>& live) const {
    for (const auto& t : targets)
      if (!took.contains(t) && live.contains(t)) return true;
    return false;
  }
};

class Handoff : public core::placement::Transfers {
 public:
  Handoff(core::NodeId node, std::uint64_t budget, core::Backoff backoff) : node(std::move(node)) {}

  std::optional<Instant> due() const { return std::nullopt; }
  void begin(core::placement::Step step, const core::Kind* kind) {
    released.push_back(std::move(step));
    moved = true;
  }
  void fired(Instant now, core::replication::Replica& replica) {}
  void receive(core::handoff::messages::Pull message, core::replication::Replica& replica) {}
  void knows(std::set<core::NodeId> l) { live = std::move(l); }
  std::vector<events::Event> observed() { return {}; }
  void give(std::vector<core::handoff::sweep::Handover> handovers, const core::replication::Replica& replica,
            Instant now) {}
  std::vector<std::pair<std::string, std::string>> owed() const { return {}; }
  bool receiving(const core::placement::Step& step, std::string_view key) const override { return false; }

  core::NodeId node;
  std::vector<Hold> holds;
  std::vector<core::placement::Step> released;
  std::vector<replication::service::Outgoing> outgoing;
  std::map<std::pair<std::string, std::string>, Handing> handing;
  std::set<core::NodeId> live;
  bool moved = false;
};

}  // namespace vorel::node::handoff::service
