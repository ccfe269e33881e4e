// Membership messages between nodes, and a client's questions and their answers, as MessagePack:
// ["Message", {"sender": ..., "body": ...}] in an envelope named "membership".
#pragma once

#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/membership/broadcast.hpp"
#include "core/membership/table.hpp"
#include "core/membership/views.hpp"
#include "core/msgpack.hpp"
#include "core/node.hpp"
#include "core/wire.hpp"

namespace vorel::core::membership::wire {

// A bare NodeId for a sender without a member record (a client), or the sending member's record.
struct Sender {
  std::variant<NodeId, table::Record> value;

  const NodeId& node() const;
  const table::Record* record() const { return std::get_if<table::Record>(&value); }
  friend bool operator==(const Sender&, const Sender&) = default;
};

struct Body {
  struct Sync {
    std::vector<table::Record> records;
    friend bool operator==(const Sync&, const Sync&) = default;
  };
  struct SyncReply {
    std::vector<table::Record> records;
    friend bool operator==(const SyncReply&, const SyncReply&) = default;
  };
  struct Ping {
    friend bool operator==(const Ping&, const Ping&) = default;
  };
  struct Ack {
    friend bool operator==(const Ack&, const Ack&) = default;
  };

  std::variant<views::View, Broadcast, Sync, SyncReply, Ping, Ack> value;
  friend bool operator==(const Body&, const Body&) = default;
};

struct Message {
  Sender sender;
  Body body;
  friend bool operator==(const Message&, const Message&) = default;
};

Bytes encode(const Message& message);
void record(core::wire::Writer& out, const table::Record& r);
// Bytes after the message are not looked at.
msgpack::Result<Message> decode(ByteView bytes);
msgpack::Result<table::Record> read_record(core::wire::Reading& in);

}  // namespace vorel::core::membership::wire
