// The routed commands for one key: its start with an initial state, or one message for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/bytes.hpp"
#include "core/chain.hpp"
#include "core/node.hpp"

namespace vorel::core {

// Why a message for a key goes unhandled on a node that is leaving: what its asker is told, or
// the reason its drop is reported with.
inline constexpr std::string_view kShuttingDown = "the node is shutting down";

// One message for one key. Copies are deep: a kept copy of an ask is independent of the one sent.
struct Deliver {
  std::string actor;
  std::string key;
  // Encoded by the actor type's message schema.
  Bytes message;
  // Where the answer goes; none for a tell.
  std::optional<Target> reply;
  // Empty for a tell and for an ask made outside any body.
  Chain chain;

  friend bool operator==(const Deliver&, const Deliver&) = default;
};

struct Start {
  std::string actor;
  std::string key;
  // The encoded initial state the key starts with.
  std::optional<Bytes> state;

  friend bool operator==(const Start&, const Start&) = default;
};

using Command = std::variant<Start, Deliver>;

}  // namespace vorel::core
