// The state that one node's event loop owns alone, and what the loop does with it: every command,
// every routing step, the answers to asks, where a key lives, and the asks a lost node leaves
// behind. Nothing here locks or waits; calls out only queue work (the transport's sends, the host).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/handoff/sweep.hpp"
#include "core/membership/members.hpp"
#include "core/options.hpp"
#include "core/placement/placement.hpp"
#include "net/endpoint.hpp"
#include "node/events.hpp"
#include "node/handoff/service.hpp"
#include "node/host.hpp"
#include "node/node.hpp"
#include "node/replication/service.hpp"
#include "node/routing/service.hpp"
#include "node/routing/waiting.hpp"

namespace vorel::node {

using Sender = net::endpoint::Sender;
using handoff::service::Handoff;
using routing::Place;

// An ask of this node that went to another node: where it went, and its answer should that node
// be lost.
struct Remote {
  core::NodeId node;
  core::Outcome outcome;
};

struct Held {
  Held(Node node, std::shared_ptr<Host> host, std::unique_ptr<core::membership::Members> members,
       core::placement::Placement placement, core::placement::Counts counts, Handoff handoff,
       replication::service::Replication replication, std::map<std::string, core::Kind, std::less<>> kinds,
       core::Duration grace);

  Node node;
  std::shared_ptr<Host> host;
  std::unique_ptr<core::membership::Members> members;
  core::placement::Placement placement;
  core::placement::Counts counts;
  Handoff handoff;
  routing::Routing routing;
  replication::service::Replication replication;
  std::map<std::string, core::Kind, std::less<>> kinds;
  std::set<Key> acting;
  std::optional<oneshot::Sender<std::vector<Key>>> handed;
  std::unordered_map<std::int64_t, Remote> remote;
  routing::waiting::Waiting waiting;
  // Half of dead_after: how long the node keeps serving its own keys without a majority.
  core::Duration grace;
  // Since when the node has not seen a majority.
  std::optional<Instant> minority;
  bool serving = true;
  // The removal from the membership was reported to the host.
  bool reported = false;
  // When the hand-off service last fired: a deadline it leaves at or before that instant is one it
  // did not act on, and is not waited for again at once.
  std::optional<Instant> handed_off;
  // The monotonic clock the services and the waiting room are given; a simulation sets its own.
  std::function<Instant()> clock = [] { return std::chrono::steady_clock::now(); };

  const core::NodeId& own() const { return node.id(); }

  void act(const Sender& sender, routing::Step step);
  Place place(std::string_view actor, std::string_view key) const;
  void answer(const Sender& sender, const core::Target& target, core::Outcome outcome);
  std::optional<replication::service::Around> around(std::string_view actor, std::string_view key) const;
  void forsake(const std::vector<core::NodeId>& nodes);
  void release(const Sender& sender);
  core::Duration timeout(std::string_view actor) const;
  // The node that acts for the key now, as this node sees it.
  std::optional<core::NodeId> acting_for(std::string_view actor, std::string_view key) const;
};

// Applies one command; false only for `Ask::Stop`.
bool asked(const Sender& sender, Held& held, Ask ask, double now);

namespace events {
// One Abandoned per actor type of the keys given up, in ascending type order.
std::vector<Event> abandoned(const std::vector<Key>& owed);
}  // namespace events

// Every kept key of every counted type, with whether its state says it is active somewhere.
std::vector<core::handoff::sweep::Kept> swept(const core::placement::Counts& counts,
                                              const core::replication::Replica& replica);

}  // namespace vorel::node
