// The bytes of every message on channel "replication": [name, {entries in a fixed order}].
#pragma once

#include <optional>
#include <variant>

#include "core/bytes.hpp"
#include "core/handoff/messages.hpp"
#include "core/msgpack.hpp"
#include "core/replication/messages.hpp"
#include "core/wire.hpp"

namespace vorel::core::replication::wire {

struct Message {
  // The kind does not travel: each message's name says which kind and variant it is.
  using Variant = std::variant<messages::Request, messages::Reply, handoff::messages::Pull>;
  Variant variant;
  friend bool operator==(const Message&, const Message&) = default;
};

Bytes encode(const Message& message);
// Owns copies of every text and byte string it holds; bytes after the message are not looked at.
msgpack::Result<Message> decode(ByteView payload);

// ["Stamp", stamp map]: the present form of an optional stamp, for `Writer::optional`.
void stamp_of(core::wire::Writer& out, const Stamp& stamp);
void pages_of(core::wire::Writer& out, const Pages& pages);

msgpack::Result<Epoch> read_epoch(core::wire::Reading& in);
msgpack::Result<Stamp> read_stamp(core::wire::Reading& in);
msgpack::Result<messages::Names> read_names(core::wire::Reading& in);
msgpack::Result<Pages> read_pages(core::wire::Reading& in);

}  // namespace vorel::core::replication::wire
