// The node's hand-off service. When the member set changes it holds each placement step of this
// node until the ranges it gains have been pulled from their previous replicas, and it pushes the
// kept keys this node no longer replicates to their new replicas until they confirm them. It sends
// nothing itself: the event loop moves `outgoing` to the replication queue, takes `released`, and
// hands it the time; the clock it is given is read only where a step needs the instant of its own.
#pragma once

#include <cstdint>
#include <functional>
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
#include "core/replication/stamp.hpp"
#include "node/events.hpp"
#include "node/replication/service.hpp"

namespace vorel::node::handoff::service {

using Instant = replication::service::Instant;
using Outgoing = replication::service::Outgoing;
// The monotonic clock; a simulation passes its virtual one.
using Clock = std::function<Instant()>;
// (actor type, key), ordered by actor type, then key.
using Key = core::handoff::sweep::Key;

Instant steady_now();

// One placement step held until its gained ranges have been pulled.
struct Hold {
  core::placement::Step step;
  core::handoff::ranges::Transfer transfer;
  // When PullRange goes out next.
  Instant next;
  // The gap after that send.
  core::Duration delay;
  // How many firings sent PullRange.
  std::uint32_t asks = 0;
};

// After this many asks, an answer given while receiving counts: two nodes that pull overlapping
// ranges from each other would otherwise each wait for the other for ever.
inline constexpr std::uint32_t kPatience = 8;

// One kept key being handed to its new replicas.
struct Handing {
  // This node's accepted stamp when the hand-off began or last began again.
  std::optional<core::replication::Stamp> stamp;
  std::set<core::NodeId> targets;
  // Targets that confirmed the key since the hand-off last began.
  std::set<core::NodeId> took;
  // Targets sent the key since the hand-off last began. TookKeys names no state: one that was on
  // its way before the state changed would otherwise confirm the state the target never got.
  std::set<core::NodeId> sent;

  // Whether some target that has not taken the key is live.
  bool owing(const std::set<core::NodeId>& live) const;
};

// The resend timer of the HandKeys of one actor type to one node; the copies are read anew from
// the replica at every send.
struct Giving {
  Instant next;
  core::Duration delay;
};

// Appends HandoffStarted for each type of `now` not in `reported`, then HandoffEnded for each type
// of `reported` not in `now`, each in ascending order; `reported` becomes `now`.
void reconcile(std::set<std::string>& reported, const std::set<std::string>& now, events::Direction direction,
               std::vector<events::Event>& events);

class Handoff final : public core::placement::Transfers {
 public:
  // `budget`: the bytes of copies one message may carry.
  Handoff(core::NodeId node, std::uint64_t budget, core::Backoff backoff, Clock clock = steady_now);

  // The earliest resend of a Hold or of a Giving whose node is live.
  std::optional<Instant> due() const;
  // Holds a new step. `kind`: the step's actor type as this node hosts it; null when not hosted.
  void begin(core::placement::Step step, const core::Kind* kind);
  // Resends and releases of Holds, then the sends of owed keys that are due.
  void fired(Instant now, core::replication::Replica& replica);
  // Releases the Hold at `index`.
  void fill(std::size_t index);
  // One inbound hand-off message, from any node.
  void receive(core::handoff::messages::Pull message, core::replication::Replica& replica);
  // The members that are alive, leaving or suspect.
  void knows(std::set<core::NodeId> live);
  // The observer events since the last call.
  std::vector<events::Event> observed();
  // Whether the key is still arriving under that step.
  bool receiving(const core::placement::Step& step, std::string_view key) const override;
  // Whether the key is still arriving under some Hold of its type: a replica's answer about it is
  // not counted toward a quorum, and its burial waits. A pinned key never arrives.
  bool arriving(std::string_view actor, std::string_view key) const;

  // Brings the keys being handed in line with the sweep's hand-overs.
  void give(const std::vector<core::handoff::sweep::Handover>& handovers, const core::replication::Replica& replica,
            Instant now);
  // Every key owed to some live node, by actor type, then key.
  std::vector<Key> owed() const;
  // Whether some key is still owed to a live node.
  bool owing() const;

  // This node leaves: from now on the event loop gives it `departing` hand-overs, it takes no
  // hand-over itself, and the node departs only once nothing is owed (or the leave's time limit
  // has passed). Sets `moved`, so that the flush that follows sweeps and gives before it answers
  // the leave's waiter; the event loop calls it again once the activations have drained.
  void leave();
  bool leaving() const { return leaving_; }

  const std::vector<Hold>& holds() const { return holds_; }
  const std::map<Key, Handing>& handing() const { return handing_; }
  const std::map<std::pair<std::string, core::NodeId>, Giving>& giving() const { return giving_; }
  const std::set<core::NodeId>& live() const { return live_; }
  std::uint64_t transfers() const { return transfers_; }
  std::uint64_t streams() const { return streams_; }

  // Steps whose hand-off is over; the event loop takes them and applies them to placement.
  std::vector<core::placement::Step> released;
  // Messages to send on channel "replication".
  std::vector<Outgoing> outgoing;
  // Something placement depends on changed (a step was released, or keys stopped arriving): the
  // event loop reads and clears it, takes `released` and sweeps again.
  bool moved = false;

 private:
  using Stream = core::replication::replica::Arriving;

  void pull_range(const core::handoff::messages::PullRange& m, const core::replication::Replica& replica);
  void range_keys(core::handoff::messages::RangeKeys m, core::replication::Replica& replica);
  void hand_keys(core::handoff::messages::HandKeys m, core::replication::Replica& replica);
  void took_keys(const core::handoff::messages::TookKeys& m, core::replication::Replica& replica);
  void give_due(Instant now, const core::replication::Replica& replica);
  // The keys of one type, cut into groups that each fit a message, with a new stream id.
  std::pair<std::uint64_t, std::vector<std::vector<core::replication::messages::Copy>>> packed(
      std::string_view actor, const std::vector<std::string>& keys, const core::replication::Replica& replica);
  void send(const core::NodeId& to, core::handoff::messages::Pull::Variant message);

  core::NodeId node_;
  std::uint64_t budget_;
  core::Backoff backoff_;
  Clock clock_;
  std::vector<Hold> holds_;
  std::map<std::pair<std::uint64_t, core::NodeId>, Stream> pulled_;
  std::map<Key, Handing> handing_;
  std::map<std::pair<std::string, core::NodeId>, Giving> giving_;
  std::map<std::pair<std::string, core::NodeId>, Stream> arriving_;
  std::set<core::NodeId> live_;
  std::set<std::string> reported_in_;
  std::set<std::string> reported_out_;
  std::uint64_t transfers_ = 0;
  std::uint64_t streams_ = 0;
  bool changed_ = false;
  bool leaving_ = false;
};

// The hand-overs of a leaving node: every kept key that is not pinned goes to its replicas on the
// current ring without the members that are leaving (this node among them). Placement keeps a
// leaving member on its ring until it departs, so the sweep would hand nothing over before then;
// and a key handed only after the departure reaches its new replicas after they have activated it
// without its state.
std::vector<core::handoff::sweep::Handover> departing(std::span<const core::handoff::sweep::Kept> kept,
                                                      const core::placement::Placement& placement,
                                                      const core::placement::Counts& counts);

}  // namespace vorel::node::handoff::service
