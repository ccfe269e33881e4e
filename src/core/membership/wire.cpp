#include "core/membership/wire.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace vorel::core::membership::wire {

using core::wire::Reading;
using core::wire::Writer;
using msgpack::Malformed;
using msgpack::Result;
using table::Record;
using views::View;

namespace {

constexpr std::string_view kMessage = "Message";
constexpr std::string_view kSender = "sender";
constexpr std::string_view kBody = "body";
constexpr std::string_view kNodeId = "NodeId";
constexpr std::string_view kRecord = "Record";

constexpr std::string_view kNode = "node";
constexpr std::string_view kIncarnation = "incarnation";
constexpr std::string_view kStatus = "status";
constexpr std::string_view kTypes = "types";
constexpr std::string_view kOrigin = "origin";
constexpr std::string_view kSequence = "sequence";

constexpr std::string_view kId = "id";
constexpr std::string_view kTtl = "ttl";
constexpr std::string_view kJoiner = "joiner";
constexpr std::string_view kSample = "sample";
constexpr std::string_view kRecordField = "record";
constexpr std::string_view kRecords = "records";
constexpr std::string_view kPriority = "priority";
constexpr std::string_view kAccepted = "accepted";

constexpr std::string_view kJoin = "Join";
constexpr std::string_view kForwardJoin = "ForwardJoin";
constexpr std::string_view kNeighbor = "Neighbor";
constexpr std::string_view kNeighborReply = "NeighborReply";
constexpr std::string_view kDisconnect = "Disconnect";
constexpr std::string_view kShuffle = "Shuffle";
constexpr std::string_view kShuffleReply = "ShuffleReply";
constexpr std::string_view kGossip = "Gossip";
constexpr std::string_view kIHave = "IHave";
constexpr std::string_view kGraft = "Graft";
constexpr std::string_view kPrune = "Prune";
constexpr std::string_view kSync = "Sync";
constexpr std::string_view kSyncReply = "SyncReply";
constexpr std::string_view kPing = "Ping";
constexpr std::string_view kAck = "Ack";

// [tag, {n entries written next by the caller}]
void tagged(Writer& out, std::string_view tag, std::uint64_t entries) {
  out.array(2);
  out.str(tag);
  out.map(entries);
}

void id(Writer& out, const EventId& e) {
  out.map(2);
  out.str(kOrigin);
  out.node(e.origin);
  out.str(kSequence);
  out.uint(e.sequence);
}

void nodes(Writer& out, const std::vector<NodeId>& list) {
  out.array(list.size());
  for (const auto& n : list) out.node(n);
}

void records(Writer& out, std::string_view tag, const std::vector<Record>& list) {
  tagged(out, tag, 1);
  out.str(kRecords);
  out.array(list.size());
  for (const auto& r : list) record(out, r);
}

void view(Writer& out, const View& v) {
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, View::Join>) {
          tagged(out, kJoin, 0);
        } else if constexpr (std::is_same_v<M, View::ForwardJoin>) {
          tagged(out, kForwardJoin, 2);
          out.str(kJoiner);
          out.node(m.joiner);
          out.str(kTtl);
          out.uint(m.ttl);
        } else if constexpr (std::is_same_v<M, View::Neighbor>) {
          tagged(out, kNeighbor, 1);
          out.str(kPriority);
          out.boolean(m.priority);
        } else if constexpr (std::is_same_v<M, View::NeighborReply>) {
          tagged(out, kNeighborReply, 1);
          out.str(kAccepted);
          out.boolean(m.accepted);
        } else if constexpr (std::is_same_v<M, View::Disconnect>) {
          tagged(out, kDisconnect, 0);
        } else if constexpr (std::is_same_v<M, View::Shuffle>) {
          tagged(out, kShuffle, 3);
          out.str(kOrigin);
          out.node(m.origin);
          out.str(kSample);
          nodes(out, m.sample);
          out.str(kTtl);
          out.uint(m.ttl);
        } else {
          tagged(out, kShuffleReply, 1);
          out.str(kSample);
          nodes(out, m.sample);
        }
      },
      v.value);
}

void tree(Writer& out, const Broadcast& b) {
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Broadcast::Gossip>) {
          tagged(out, kGossip, 2);
          out.str(kId);
          id(out, m.id);
          out.str(kRecordField);
          record(out, m.record);
        } else if constexpr (std::is_same_v<M, Broadcast::IHave>) {
          tagged(out, kIHave, 1);
          out.str(kId);
          id(out, m.id);
        } else if constexpr (std::is_same_v<M, Broadcast::Graft>) {
          tagged(out, kGraft, 1);
          out.str(kId);
          id(out, m.id);
        } else {
          tagged(out, kPrune, 0);
        }
      },
      b.value);
}

void body(Writer& out, const Body& b) {
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, View>) {
          view(out, m);
        } else if constexpr (std::is_same_v<M, Broadcast>) {
          tree(out, m);
        } else if constexpr (std::is_same_v<M, Body::Sync>) {
          records(out, kSync, m.records);
        } else if constexpr (std::is_same_v<M, Body::SyncReply>) {
          records(out, kSyncReply, m.records);
        } else if constexpr (std::is_same_v<M, Body::Ping>) {
          tagged(out, kPing, 0);
        } else {
          tagged(out, kAck, 0);
        }
      },
      b.value);
}

// ---- reading

Result<EventId> read_id(Reading& in) {
  VOREL_TRY(n, in.read_map_len());
  std::optional<NodeId> origin;
  std::optional<std::uint64_t> sequence;
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(key, in.read_str());
    if (key == kOrigin) {
      VOREL_TRY(node, in.node());
      origin = std::move(node);
    } else if (key == kSequence) {
      VOREL_TRY(seq, in.unsigned_());
      sequence = seq;
    } else {
      VOREL_CHECK(in.skip());
    }
  }
  if (!origin || !sequence) return std::unexpected(Malformed::truncated());
  return EventId{std::move(*origin), *sequence};
}

Result<std::uint32_t> read_ttl(Reading& in) {
  VOREL_TRY(v, in.read_int());
  if (v.negative()) return std::unexpected(Malformed::marker(0x00));
  if (v.bits > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(Malformed::truncated());
  return static_cast<std::uint32_t>(v.bits);
}

// The array's count was checked against the bytes left, so growing by it stays within the
// payload's own size.
Result<std::vector<NodeId>> read_nodes(Reading& in) {
  VOREL_TRY(n, in.items());
  std::vector<NodeId> out;
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(node, in.node());
    out.push_back(std::move(node));
  }
  return out;
}

Result<std::vector<Record>> read_records(Reading& in) {
  VOREL_TRY(n, in.items());
  std::vector<Record> out;
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(r, read_record(in));
    out.push_back(std::move(r));
  }
  return out;
}

Result<Sender> read_sender(Reading& in) {
  VOREL_TRY(tag, in.tag());
  if (tag == kRecord) {
    VOREL_TRY(r, read_record(in));
    return Sender{std::move(r)};
  }
  if (tag == kNodeId) {
    VOREL_TRY(node, in.node());
    return Sender{std::move(node)};
  }
  return std::unexpected(Malformed::marker(0x00));
}

// What a body's map entries fill, whatever its tag; each body then takes the slots it needs.
struct Slots {
  std::optional<EventId> id;
  std::optional<std::uint32_t> ttl;
  std::optional<NodeId> node;  // "joiner" and "origin" alike
  std::optional<std::vector<NodeId>> sample;
  std::optional<Record> record;
  std::optional<std::vector<Record>> records;
  std::optional<bool> flag;  // "priority" and "accepted" alike
};

Result<void> read_slot(Reading& in, std::string_view key, Slots& s) {
  if (key == kId) {
    VOREL_TRY(v, read_id(in));
    s.id = std::move(v);
  } else if (key == kTtl) {
    VOREL_TRY(v, read_ttl(in));
    s.ttl = v;
  } else if (key == kJoiner || key == kOrigin) {
    VOREL_TRY(v, in.node());
    s.node = std::move(v);
  } else if (key == kSample) {
    VOREL_TRY(v, read_nodes(in));
    s.sample = std::move(v);
  } else if (key == kRecordField) {
    VOREL_TRY(v, read_record(in));
    s.record = std::move(v);
  } else if (key == kRecords) {
    VOREL_TRY(v, read_records(in));
    s.records = std::move(v);
  } else if (key == kPriority || key == kAccepted) {
    VOREL_TRY(v, in.read_bool());
    s.flag = v;
  } else {
    return in.skip();
  }
  return {};
}

// The body a tag names, built from the slots; a missing slot it needs is the truncated case.
Result<Body> build(std::string_view tag, Slots& s) {
  const auto missing = std::unexpected(Malformed::truncated());
  auto view_of = [](auto m) { return Body{View{std::move(m)}}; };
  auto tree_of = [](auto m) { return Body{Broadcast{std::move(m)}}; };
  if (tag == kJoin) return view_of(View::Join{});
  if (tag == kDisconnect) return view_of(View::Disconnect{});
  if (tag == kPrune) return tree_of(Broadcast::Prune{});
  if (tag == kPing) return Body{Body::Ping{}};
  if (tag == kAck) return Body{Body::Ack{}};
  if (tag == kForwardJoin) {
    if (!s.node || !s.ttl) return missing;
    return view_of(View::ForwardJoin{std::move(*s.node), *s.ttl});
  }
  if (tag == kShuffle) {
    if (!s.node || !s.sample || !s.ttl) return missing;
    return view_of(View::Shuffle{std::move(*s.node), std::move(*s.sample), *s.ttl});
  }
  if (tag == kShuffleReply) {
    if (!s.sample) return missing;
    return view_of(View::ShuffleReply{std::move(*s.sample)});
  }
  if (tag == kNeighbor) {
    if (!s.flag) return missing;
    return view_of(View::Neighbor{*s.flag});
  }
  if (tag == kNeighborReply) {
    if (!s.flag) return missing;
    return view_of(View::NeighborReply{*s.flag});
  }
  if (tag == kGossip) {
    if (!s.id || !s.record) return missing;
    return tree_of(Broadcast::Gossip{std::move(*s.id), std::move(*s.record)});
  }
  if (tag == kIHave || tag == kGraft) {
    if (!s.id) return missing;
    if (tag == kIHave) return tree_of(Broadcast::IHave{std::move(*s.id)});
    return tree_of(Broadcast::Graft{std::move(*s.id)});
  }
  if (tag == kSync || tag == kSyncReply) {
    if (!s.records) return missing;
    if (tag == kSync) return Body{Body::Sync{std::move(*s.records)}};
    return Body{Body::SyncReply{std::move(*s.records)}};
  }
  return std::unexpected(Malformed::marker(0x00));
}

Result<Body> read_body(Reading& in) {
  VOREL_TRY(head, in.tagged());
  Slots slots;
  for (std::uint64_t i = 0; i < head.second; ++i) {
    VOREL_TRY(key, in.read_str());
    VOREL_CHECK(read_slot(in, key, slots));
  }
  return build(head.first, slots);
}

}  // namespace

const NodeId& Sender::node() const {
  if (const auto* r = record()) return r->node;
  return std::get<NodeId>(value);
}

void record(Writer& out, const Record& r) {
  out.map(4);
  out.str(kNode);
  out.node(r.node);
  out.str(kIncarnation);
  out.uint(r.incarnation);
  out.str(kStatus);
  out.str(status_text(r.status));
  out.str(kTypes);
  out.array(r.types.size());
  for (const auto& t : r.types) out.str(t);
}

Bytes encode(const Message& message) {
  Writer out;
  tagged(out, kMessage, 2);
  out.str(kSender);
  out.array(2);
  if (const auto* r = message.sender.record()) {
    out.str(kRecord);
    record(out, *r);
  } else {
    out.str(kNodeId);
    out.node(message.sender.node());
  }
  out.str(kBody);
  body(out, message.body);
  return out.take();
}

Result<Record> read_record(Reading& in) {
  VOREL_TRY(n, in.read_map_len());
  std::optional<NodeId> node;
  std::optional<std::uint64_t> incarnation;
  std::optional<Status> status;
  std::set<std::string> types;
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(key, in.read_str());
    if (key == kNode) {
      VOREL_TRY(v, in.node());
      node = std::move(v);
    } else if (key == kIncarnation) {
      VOREL_TRY(v, in.unsigned_());
      incarnation = v;
    } else if (key == kStatus) {
      VOREL_TRY(v, in.read_str());
      status = status_of(v);
    } else if (key == kTypes) {
      VOREL_TRY(count, in.items());
      for (std::uint64_t t = 0; t < count; ++t) {
        VOREL_TRY(name, in.read_str());
        types.emplace(name);
      }
    } else {
      VOREL_CHECK(in.skip());
    }
  }
  if (!node || !incarnation || !status) return std::unexpected(Malformed::truncated());
  return Record{std::move(*node), *incarnation, std::move(types), *status};
}

Result<Message> decode(ByteView bytes) {
  Reading in(bytes);
  VOREL_TRY(head, in.tagged());
  if (head.first != kMessage || head.second != 2) return std::unexpected(Malformed::marker(0x00));
  std::optional<Sender> sender;
  std::optional<Body> body;
  for (int i = 0; i < 2; ++i) {
    VOREL_TRY(key, in.read_str());
    if (key == kSender) {
      VOREL_TRY(v, read_sender(in));
      sender = std::move(v);
    } else if (key == kBody) {
      VOREL_TRY(v, read_body(in));
      body = std::move(v);
    } else {
      VOREL_CHECK(in.skip());
    }
  }
  if (!sender || !body) return std::unexpected(Malformed::truncated());
  return Message{std::move(*sender), std::move(*body)};
}

#undef VOREL_TRY

}  // namespace vorel::core::membership::wire
