// The bytes of the messages for keys on channel "actors" and of the answers on channel "replies".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "core/bytes.hpp"
#include "core/deliver.hpp"
#include "core/msgpack.hpp"
#include "core/node.hpp"
#include "core/outcome.hpp"
#include "core/wire.hpp"

namespace vorel::core::routing {

// A command on its way to the node that should own its key.
struct Routed {
  Command command;
  // The node that first routed the command.
  NodeId origin;
  std::uint32_t attempt = 0;
  friend bool operator==(const Routed&, const Routed&) = default;
};

namespace wire {

// A Routed sent back by a node that does not own its key.
struct WrongOwner {
  Routed routed;
  friend bool operator==(const WrongOwner&, const WrongOwner&) = default;
};

// The asker gave up the ask whose reply target is `request`.
struct Cancel {
  std::string actor;
  std::string key;
  Target request;
  friend bool operator==(const Cancel&, const Cancel&) = default;
};

struct Message {
  using Variant = std::variant<Routed, WrongOwner, Cancel>;
  Variant variant;
  friend bool operator==(const Message&, const Message&) = default;
};

// Aborts for a Deliver whose reply target is an entity: a routed command answers an ask only.
Bytes encode(const Message& message);
// Owns copies of its texts and bytes; bytes after the message are not looked at.
msgpack::Result<Message> decode(ByteView payload);
// The map of 3 of a Routed, for "Routed" and the "routed" entry of "WrongOwner".
msgpack::Result<Routed> read_routed(core::wire::Reading& in);

Bytes encode_answer(std::int64_t id, const Outcome& outcome);
msgpack::Result<std::pair<std::int64_t, Outcome>> decode_answer(ByteView payload);

// The length of encode_answer's bytes, without copying the data of a Value.
std::uint64_t answer_size(std::int64_t id, const Outcome& outcome);
// The length of the longest form in which the command travels from `origin`: a WrongOwner with
// the largest attempt. The message of a Deliver or the state of a Start is not copied.
std::uint64_t routed_size(const Command& command, const NodeId& origin);

}  // namespace wire
}  // namespace vorel::core::routing
