// The routing of commands to the node that acts for their key: each call turns a command or an
// arriving routing message into one step, which the node's event loop carries out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/backoff.hpp"
#include "core/deliver.hpp"
#include "core/node.hpp"
#include "core/outcome.hpp"
#include "core/routing/wire.hpp"

namespace vorel::node::routing {

using core::routing::Routed;

// The texts with which a command that goes nowhere is answered or reported dropped.
using core::kShuttingDown;
inline constexpr std::string_view kDisagreed =
    "the nodes did not agree on the owner of the key within the write timeout";
inline constexpr std::string_view kExpired = "no owner took the message within the write timeout";
std::string nobody_hosts(std::string_view actor);
std::string room_full(std::uint64_t parked);

// The retries of a command that reached a node which does not own its key: 10 ms doubling to 1 s.
inline constexpr core::Backoff kRetry{2.0, core::Duration{0, 10'000'000}, core::Duration{1, 0}};

// Where a key lives for routing.
struct Place {
  // This node acts for the key.
  struct Here {
    friend bool operator==(const Here&, const Here&) = default;
  };
  // No decision yet: the node has not joined, or the key is on its way to this node.
  struct Wait {
    friend bool operator==(const Wait&, const Wait&) = default;
  };
  // That node acts for the key.
  struct There {
    core::NodeId node;
    friend bool operator==(const There&, const There&) = default;
  };
  // No member can act for the key.
  struct Nobody {
    friend bool operator==(const Nobody&, const Nobody&) = default;
  };

  std::variant<Here, Wait, There, Nobody> value;

  static Place here() { return Place{Here{}}; }
  static Place wait() { return Place{Wait{}}; }
  static Place there(core::NodeId node) { return Place{There{std::move(node)}}; }
  static Place nobody() { return Place{Nobody{}}; }

  bool waits() const { return std::holds_alternative<Wait>(value); }
  friend bool operator==(const Place&, const Place&) = default;
};

// One routing decision.
struct Step {
  // The message goes on channel "actors" to `to`, which may be this node.
  struct Send {
    core::routing::wire::Message message;
    core::NodeId to;
    friend bool operator==(const Send&, const Send&) = default;
  };
  // The command goes to this node's host.
  struct Hand {
    core::Command command;
    friend bool operator==(const Hand&, const Hand&) = default;
  };
  // The command waits in the room for `delay` at least.
  struct Park {
    Routed routed;
    core::Duration delay;
    friend bool operator==(const Park&, const Park&) = default;
  };
  // The cancelled ask leaves the room and the host is told.
  struct Cancel {
    core::routing::wire::Cancel cancel;
    friend bool operator==(const Cancel&, const Cancel&) = default;
  };
  // An ask gets the outcome; a tell or a start is reported dropped with the reason.
  struct Answer {
    core::Command command;
    std::string reason;
    core::Outcome outcome;
    friend bool operator==(const Answer&, const Answer&) = default;
  };

  std::variant<Send, Hand, Park, Cancel, Answer> value;
  friend bool operator==(const Step&, const Step&) = default;
};

struct Routing {
  core::NodeId own;
  // The node is leaving; never cleared.
  bool stopping = false;

  // A command routed from this node, by the key's place at this moment.
  Step route(Routed routed, const Place& place) const;
  // A command for a key this node acts for.
  Step hand(core::Command command) const;
  // A message that arrived on channel "actors"; `place` is its key's, `timeout` its actor type's
  // write timeout.
  Step receive(core::routing::wire::Message message, const Place& place, core::Duration timeout) const;
};

}  // namespace vorel::node::routing
