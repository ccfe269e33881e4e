// INTERIM: stands in for the hand-off service until it lands; every step is released at once and
// nothing is pulled or handed. Removed with the merge of the real service.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
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

using Instant = replication::service::Instant;
using Key = core::handoff::sweep::Key;

class Handoff final : public core::placement::Transfers {
 public:
  Handoff(core::NodeId node, std::uint64_t budget, core::Backoff backoff) {}

  std::optional<Instant> due() const { return std::nullopt; }
  void begin(core::placement::Step step, const core::Kind* kind) {
    released.push_back(std::move(step));
    moved = true;
  }
  void fired(Instant now, core::replication::Replica& replica) {}
  void receive(core::handoff::messages::Pull message, core::replication::Replica& replica) {}
  void knows(std::set<core::NodeId> live, std::set<core::NodeId> leaving = {}) {}
  std::vector<events::Event> observed() { return {}; }
  bool receiving(const core::placement::Step& step, std::string_view key) const override { return false; }
  bool arriving(std::string_view actor, std::string_view key) const { return false; }
  void give(const std::vector<core::handoff::sweep::Handover>& handovers, const core::replication::Replica& replica,
            Instant now) {}
  std::vector<Key> owed() const { return {}; }
  bool owing() const { return false; }
  void leave() {
    leaving_ = true;
    moved = true;
  }
  bool leaving() const { return leaving_; }

  std::vector<core::placement::Step> released;
  std::vector<replication::service::Outgoing> outgoing;
  bool moved = false;

 private:
  bool leaving_ = false;
};

inline std::vector<core::handoff::sweep::Handover> departing(std::span<const core::handoff::sweep::Kept> kept,
                                                             const core::placement::Placement& placement,
                                                             const core::placement::Counts& counts) {
  return {};
}

}  // namespace vorel::node::handoff::service
