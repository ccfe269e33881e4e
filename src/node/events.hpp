// What the node runtime reports to the system's observer: it writes no log, so every change of
// members, keys and hand-offs it wants known becomes one of these, queued in the order it happens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "node/replication/failure.hpp"

namespace vorel::node::events {

enum class Direction : std::uint8_t { In = 0, Out = 1 };

struct MemberChanged {
  core::NodeId node;
  core::membership::Status status = core::membership::Status::Alive;
  std::optional<core::membership::Status> previous;
  friend bool operator==(const MemberChanged&, const MemberChanged&) = default;
};

struct WriteFailed {
  replication::service::Failure failure;
  std::string actor;
  std::string key;
  // False for an activation read.
  bool write = true;
  friend bool operator==(const WriteFailed&, const WriteFailed&) = default;
};

struct HandoffStarted {
  std::string actor;
  Direction direction = Direction::In;
  friend bool operator==(const HandoffStarted&, const HandoffStarted&) = default;
};

struct HandoffEnded {
  std::string actor;
  Direction direction = Direction::In;
  friend bool operator==(const HandoffEnded&, const HandoffEnded&) = default;
};

// Keys a leaving node gave up; the observer sees them on a hand-off's end.
struct Abandoned {
  std::string actor;
  std::vector<std::string> keys;
  friend bool operator==(const Abandoned&, const Abandoned&) = default;
};

struct ConnectionLost {
  core::NodeId node;
  friend bool operator==(const ConnectionLost&, const ConnectionLost&) = default;
};

// A tell or a start that could not be delivered and has nobody to answer.
struct MessageDropped {
  std::string actor;
  std::string key;
  std::string reason;
  friend bool operator==(const MessageDropped&, const MessageDropped&) = default;
};

struct Event {
  // In the order the observer's classes are numbered.
  using Variant = std::variant<MemberChanged, WriteFailed, HandoffStarted, HandoffEnded, Abandoned, ConnectionLost,
                               MessageDropped>;
  Variant variant;
  friend bool operator==(const Event&, const Event&) = default;
};

}  // namespace vorel::node::events
