#include "core/replication/wire.hpp"

#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vorel::core::replication::wire {

using core::wire::Reading;
using core::wire::Writer;
using msgpack::Malformed;
using msgpack::Result;
using namespace messages;

namespace {

// The message names, each written and read from here only.
constexpr std::string_view kPrepare = "Prepare";
constexpr std::string_view kAccept = "Accept";
constexpr std::string_view kFetch = "FetchPages";
constexpr std::string_view kBury = "Bury";
constexpr std::string_view kPromise = "Promise";
constexpr std::string_view kRejected = "Rejected";
constexpr std::string_view kPages = "Pages";
constexpr std::string_view kAccepted = "Accepted";
constexpr std::string_view kNeedFull = "NeedFull";
constexpr std::string_view kBuried = "Buried";
constexpr std::string_view kPullRange = "PullRange";
constexpr std::string_view kRangeKeys = "RangeKeys";
constexpr std::string_view kHandKeys = "HandKeys";
constexpr std::string_view kTookKeys = "TookKeys";
constexpr std::string_view kStampTag = "Stamp";
constexpr std::string_view kEpochTag = "Epoch";

void epoch_map(Writer& out, const Epoch& epoch) {
  out.map(2);
  out.str("round");
  out.uint(epoch.round);
  out.str("node");
  out.node(epoch.node);
}

void stamp_map(Writer& out, const Stamp& stamp) {
  out.map(2);
  out.str("epoch");
  epoch_map(out, stamp.epoch);
  out.str("version");
  out.uint(stamp.version);
}

void names_of(Writer& out, const Names& names) {
  out.array(names.size());
  for (const auto& name : names) out.str(name);
}

void sizes_of(Writer& out, const Sizes& sizes) {
  out.array(sizes.size());
  for (const auto& [name, size] : sizes) {
    out.array(2);
    out.str(name);
    out.uint(size);
  }
}

void epoch_of(Writer& out, const Epoch& epoch) {
  out.array(2);
  out.str(kEpochTag);
  epoch_map(out, epoch);
}

void ranges_of(Writer& out, const std::vector<placement::Range>& ranges) {
  out.array(ranges.size());
  for (const auto& range : ranges) {
    out.map(2);
    out.str("start");
    out.uint(range.start);
    out.str("end");
    out.uint(range.end);
  }
}

void copies_of(Writer& out, const std::vector<Copy>& copies) {
  out.array(copies.size());
  for (const auto& copy : copies) {
    out.map(6);
    out.str("key");
    out.str(copy.key);
    out.str("accepted");
    out.optional(copy.accepted, stamp_of);
    out.str("promised");
    out.optional(copy.promised, epoch_of);
    out.str("pages");
    pages_of(out, copy.pages);
    out.str("part");
    out.uint(copy.part);
    out.str("final");
    out.boolean(copy.final_);
  }
}

// [name, {"actor": ..., <entries - 1 more>}]: hand-off messages name a type, not a key.
void typed(Writer& out, std::string_view name, std::uint64_t entries, std::string_view actor) {
  out.array(2);
  out.str(name);
  out.map(entries);
  out.str("actor");
  out.str(actor);
}

struct Encode {
  Writer& out;

  void operator()(const Prepare& m) {
    out.entity(kPrepare, 3, m.actor, m.key);
    out.str("epoch");
    epoch_map(out, m.epoch);
  }
  void operator()(const Accept& m) {
    out.entity(kAccept, 8, m.actor, m.key);
    out.str("stamp");
    stamp_map(out, m.stamp);
    out.str("base");
    out.optional(m.base, stamp_of);
    out.str("part");
    out.uint(m.part);
    out.str("final");
    out.boolean(m.final_);
    out.str("pages");
    pages_of(out, m.pages);
    out.str("dropped");
    names_of(out, m.dropped);
  }
  void operator()(const Fetch& m) {
    out.entity(kFetch, 5, m.actor, m.key);
    out.str("epoch");
    epoch_map(out, m.epoch);
    out.str("names");
    names_of(out, m.names);
    out.str("part");
    out.uint(m.part);
  }
  void operator()(const Bury& m) {
    out.entity(kBury, 4, m.actor, m.key);
    out.str("stamp");
    stamp_map(out, m.stamp);
    out.str("node");
    out.node(m.node);
  }
  void operator()(const Promise& m) {
    out.entity(kPromise, 8, m.actor, m.key);
    out.str("epoch");
    epoch_map(out, m.epoch);
    out.str("replica");
    out.node(m.replica);
    out.str("accepted");
    out.optional(m.accepted, stamp_of);
    out.str("sizes");
    sizes_of(out, m.sizes);
    out.str("pages");
    pages_of(out, m.pages);
    out.str("receiving");
    out.boolean(m.receiving);
  }
  void operator()(const Rejected& m) {
    out.entity(kRejected, 4, m.actor, m.key);
    out.str("replica");
    out.node(m.replica);
    out.str("promised");
    epoch_map(out, m.promised);
  }
  void operator()(const messages::Pages& m) {
    out.entity(kPages, 7, m.actor, m.key);
    out.str("epoch");
    epoch_map(out, m.epoch);
    out.str("accepted");
    out.optional(m.accepted, stamp_of);
    out.str("part");
    out.uint(m.part);
    out.str("final");
    out.boolean(m.final_);
    out.str("pages");
    pages_of(out, m.pages);
  }
  void operator()(const Accepted& m) {
    out.entity(kAccepted, 5, m.actor, m.key);
    stamped(m.stamp, m.replica);
    out.str("receiving");
    out.boolean(m.receiving);
  }
  void operator()(const NeedFull& m) {
    out.entity(kNeedFull, 4, m.actor, m.key);
    stamped(m.stamp, m.replica);
  }
  void operator()(const Buried& m) {
    out.entity(kBuried, 5, m.actor, m.key);
    stamped(m.stamp, m.replica);
    out.str("receiving");
    out.boolean(m.receiving);
  }
  void operator()(const handoff::messages::PullRange& m) {
    typed(out, kPullRange, 4, m.actor);
    out.str("node");
    out.node(m.node);
    out.str("transfer");
    out.uint(m.transfer);
    out.str("ranges");
    ranges_of(out, m.ranges);
  }
  void operator()(const handoff::messages::RangeKeys& m) {
    typed(out, kRangeKeys, 8, m.actor);
    out.str("replica");
    out.node(m.replica);
    out.str("transfer");
    out.uint(m.transfer);
    out.str("stream");
    out.uint(m.stream);
    out.str("part");
    out.uint(m.part);
    out.str("final");
    out.boolean(m.final_);
    out.str("receiving");
    out.boolean(m.receiving);
    out.str("keys");
    copies_of(out, m.keys);
  }
  void operator()(const handoff::messages::HandKeys& m) {
    typed(out, kHandKeys, 6, m.actor);
    out.str("node");
    out.node(m.node);
    out.str("stream");
    out.uint(m.stream);
    out.str("part");
    out.uint(m.part);
    out.str("final");
    out.boolean(m.final_);
    out.str("keys");
    copies_of(out, m.keys);
  }
  void operator()(const handoff::messages::TookKeys& m) {
    typed(out, kTookKeys, 3, m.actor);
    out.str("replica");
    out.node(m.replica);
    out.str("keys");
    names_of(out, m.keys);
  }
  void operator()(const Request& m) { std::visit(*this, m.variant); }
  void operator()(const Reply& m) { std::visit(*this, m.variant); }
  void operator()(const handoff::messages::Pull& m) { std::visit(*this, m.variant); }

  void stamped(const Stamp& stamp, const NodeId& replica) {
    out.str("stamp");
    stamp_map(out, stamp);
    out.str("replica");
    out.node(replica);
  }
};

// The reader's working record: one slot per key, whatever the message, filled as entries come.
struct Held {
  std::string actor;
  std::string key;
  std::optional<Epoch> epoch;
  std::optional<Epoch> promised;
  std::optional<Stamp> stamp;
  std::optional<Stamp> base;
  std::optional<Stamp> accepted;
  std::optional<NodeId> replica;
  std::optional<NodeId> node;
  Sizes sizes;
  // Also the "keys" of a TookKeys.
  Names names;
  Names dropped;
  std::vector<placement::Range> ranges;
  // The "keys" of every other message.
  std::vector<Copy> copies;
  core::Pages pages;
  std::uint64_t transfer = 0;
  std::uint64_t stream = 0;
  std::uint32_t part = 0;
  bool final_ = false;
  bool receiving = false;
};

Result<std::uint32_t> read_part(Reading& in) {
  VOREL_READ(v, in.unsigned_());
  if (*v > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(Malformed::truncated());
  return static_cast<std::uint32_t>(*v);
}

// nil for none, else [tag, value]; the tag is read but not compared.
template <class T, class F>
Result<std::optional<T>> read_tagged(Reading& in, F&& read) {
  VOREL_READ(is_nil, in.nil());
  if (*is_nil) return std::optional<T>{};
  VOREL_READ(tag, in.tag());
  VOREL_READ(value, read(in));
  return std::optional<T>{std::move(*value)};
}

Result<std::optional<Stamp>> read_optional_stamp(Reading& in) { return read_tagged<Stamp>(in, read_stamp); }

Result<std::vector<placement::Range>> read_ranges(Reading& in) {
  VOREL_READ(n, in.items());
  std::vector<placement::Range> ranges;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(entries, in.read_map_len());
    std::optional<std::uint64_t> start, end;
    for (std::uint64_t j = 0; j < *entries; ++j) {
      VOREL_READ(entry, in.read_str());
      if (*entry == "start" || *entry == "end") {
        VOREL_READ(v, in.unsigned_());
        (*entry == "start" ? start : end) = *v;
      } else if (auto r = in.skip(); !r) {
        return std::unexpected(r.error());
      }
    }
    if (!start || !end) return std::unexpected(Malformed::truncated());
    ranges.push_back(placement::Range{*start, *end});
  }
  return ranges;
}

// No entry of a copy is required: what is absent keeps the value of an empty copy.
Result<Copy> read_copy(Reading& in) {
  VOREL_READ(entries, in.read_map_len());
  Copy copy;
  for (std::uint64_t i = 0; i < *entries; ++i) {
    VOREL_READ(entry, in.read_str());
    if (*entry == "key") {
      VOREL_READ(v, in.text());
      copy.key = std::move(*v);
    } else if (*entry == "part") {
      VOREL_READ(v, read_part(in));
      copy.part = *v;
    } else if (*entry == "pages") {
      VOREL_READ(v, read_pages(in));
      copy.pages = std::move(*v);
    } else if (*entry == "final") {
      VOREL_READ(v, in.read_bool());
      copy.final_ = *v;
    } else if (*entry == "accepted") {
      VOREL_READ(v, read_optional_stamp(in));
      copy.accepted = std::move(*v);
    } else if (*entry == "promised") {
      VOREL_READ(v, read_tagged<Epoch>(in, read_epoch));
      copy.promised = std::move(*v);
    } else if (auto r = in.skip(); !r) {
      return std::unexpected(r.error());
    }
  }
  return copy;
}

Result<std::vector<Copy>> read_copies(Reading& in) {
  VOREL_READ(n, in.items());
  std::vector<Copy> copies;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(copy, read_copy(in));
    copies.push_back(std::move(*copy));
  }
  return copies;
}

Result<Sizes> read_sizes(Reading& in) {
  VOREL_READ(n, in.items());
  Sizes sizes;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(pair, in.items());
    // A pair of any other length would shift every later read onto the wrong values.
    if (*pair != 2) return std::unexpected(Malformed::marker(0x00));
    VOREL_READ(name, in.text());
    VOREL_READ(size, in.unsigned_());
    sizes.emplace_back(std::move(*name), *size);
  }
  return sizes;
}

Result<void> read_entry(Reading& in, std::string_view name, std::string_view entry, Held& held) {
  if (entry == "actor" || entry == "key") {
    VOREL_READ(v, in.text());
    (entry == "actor" ? held.actor : held.key) = std::move(*v);
  } else if (entry == "replica" || entry == "node") {
    VOREL_READ(v, in.node());
    (entry == "replica" ? held.replica : held.node) = std::move(*v);
  } else if (entry == "epoch" || entry == "promised") {
    VOREL_READ(v, read_epoch(in));
    (entry == "epoch" ? held.epoch : held.promised) = std::move(*v);
  } else if (entry == "stamp") {
    VOREL_READ(v, read_stamp(in));
    held.stamp = std::move(*v);
  } else if (entry == "base" || entry == "accepted") {
    VOREL_READ(v, read_optional_stamp(in));
    (entry == "base" ? held.base : held.accepted) = std::move(*v);
  } else if (entry == "sizes") {
    VOREL_READ(v, read_sizes(in));
    held.sizes = std::move(*v);
  } else if (entry == "pages") {
    VOREL_READ(v, read_pages(in));
    held.pages = std::move(*v);
  } else if (entry == "names" || entry == "dropped") {
    VOREL_READ(v, read_names(in));
    (entry == "names" ? held.names : held.dropped) = std::move(*v);
  } else if (entry == "keys" && name == kTookKeys) {
    VOREL_READ(v, read_names(in));
    held.names = std::move(*v);
  } else if (entry == "keys") {
    VOREL_READ(v, read_copies(in));
    held.copies = std::move(*v);
  } else if (entry == "ranges") {
    VOREL_READ(v, read_ranges(in));
    held.ranges = std::move(*v);
  } else if (entry == "transfer" || entry == "stream") {
    VOREL_READ(v, in.unsigned_());
    (entry == "transfer" ? held.transfer : held.stream) = *v;
  } else if (entry == "part") {
    VOREL_READ(v, read_part(in));
    held.part = *v;
  } else if (entry == "final" || entry == "receiving") {
    VOREL_READ(v, in.read_bool());
    (entry == "final" ? held.final_ : held.receiving) = *v;
  } else {
    return in.skip();
  }
  return {};
}

// Builds the named message from the slots it needs; a missing required slot fails as truncated.
Result<Message> build(std::string_view name, Held& h) {
  const auto missing = std::unexpected(Malformed::truncated());
  auto request = [](auto&& r) { return Message{Request{std::move(r)}}; };
  auto reply = [](auto&& r) { return Message{Reply{std::move(r)}}; };
  std::string& actor = h.actor;
  std::string& key = h.key;
  if (name == kPrepare) {
    if (!h.epoch) return missing;
    return request(Prepare{std::move(actor), std::move(key), std::move(*h.epoch)});
  }
  if (name == kAccept) {
    if (!h.stamp) return missing;
    return request(Accept{std::move(actor), std::move(key), std::move(*h.stamp), std::move(h.base), h.part, h.final_,
                          std::move(h.pages), std::move(h.dropped)});
  }
  if (name == kFetch) {
    if (!h.epoch) return missing;
    return request(Fetch{std::move(actor), std::move(key), std::move(*h.epoch), std::move(h.names), h.part});
  }
  if (name == kBury) {
    if (!h.stamp || !h.node) return missing;
    return request(Bury{std::move(actor), std::move(key), std::move(*h.stamp), std::move(*h.node)});
  }
  if (name == kPromise) {
    if (!h.epoch || !h.replica) return missing;
    return reply(Promise{std::move(actor), std::move(key), std::move(*h.epoch), std::move(*h.replica),
                         std::move(h.accepted), std::move(h.sizes), std::move(h.pages), h.receiving});
  }
  if (name == kRejected) {
    if (!h.replica || !h.promised) return missing;
    return reply(Rejected{std::move(actor), std::move(key), std::move(*h.replica), std::move(*h.promised)});
  }
  if (name == kPages) {
    if (!h.epoch) return missing;
    return reply(messages::Pages{std::move(actor), std::move(key), std::move(*h.epoch), std::move(h.accepted), h.part,
                                 h.final_, std::move(h.pages)});
  }
  if (name == kAccepted || name == kNeedFull || name == kBuried) {
    if (!h.stamp || !h.replica) return missing;
    if (name == kAccepted) {
      return reply(Accepted{std::move(actor), std::move(key), std::move(*h.stamp), std::move(*h.replica), h.receiving});
    }
    if (name == kNeedFull) {
      return reply(NeedFull{std::move(actor), std::move(key), std::move(*h.stamp), std::move(*h.replica)});
    }
    return reply(Buried{std::move(actor), std::move(key), std::move(*h.stamp), std::move(*h.replica), h.receiving});
  }
  auto pull = [](auto&& r) { return Message{handoff::messages::Pull{std::move(r)}}; };
  if (name == kPullRange) {
    if (!h.node) return missing;
    return pull(handoff::messages::PullRange{std::move(actor), std::move(*h.node), h.transfer, std::move(h.ranges)});
  }
  if (name == kRangeKeys) {
    if (!h.replica) return missing;
    return pull(handoff::messages::RangeKeys{std::move(actor), std::move(*h.replica), h.transfer, h.stream, h.part,
                                             h.final_, h.receiving, std::move(h.copies)});
  }
  if (name == kHandKeys) {
    if (!h.node) return missing;
    return pull(handoff::messages::HandKeys{std::move(actor), std::move(*h.node), h.stream, h.part, h.final_,
                                            std::move(h.copies)});
  }
  if (name == kTookKeys) {
    if (!h.replica) return missing;
    return pull(handoff::messages::TookKeys{std::move(actor), std::move(*h.replica), std::move(h.names)});
  }
  return std::unexpected(Malformed::marker(0x00));
}

}  // namespace

void stamp_of(Writer& out, const Stamp& stamp) {
  out.array(2);
  out.str(kStampTag);
  stamp_map(out, stamp);
}

void pages_of(Writer& out, const core::Pages& pages) { out.pages(pages); }

Result<Epoch> read_epoch(Reading& in) {
  VOREL_READ(n, in.read_map_len());
  std::optional<std::uint64_t> round;
  std::optional<NodeId> node;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(entry, in.read_str());
    if (*entry == "round") {
      VOREL_READ(v, in.unsigned_());
      round = *v;
    } else if (*entry == "node") {
      VOREL_READ(v, in.node());
      node = std::move(*v);
    } else if (auto r = in.skip(); !r) {
      return std::unexpected(r.error());
    }
  }
  if (!round || !node) return std::unexpected(Malformed::truncated());
  return Epoch{*round, std::move(*node)};
}

Result<Stamp> read_stamp(Reading& in) {
  VOREL_READ(n, in.read_map_len());
  std::optional<Epoch> epoch;
  std::optional<std::uint64_t> version;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(entry, in.read_str());
    if (*entry == "epoch") {
      VOREL_READ(v, read_epoch(in));
      epoch = std::move(*v);
    } else if (*entry == "version") {
      VOREL_READ(v, in.unsigned_());
      version = *v;
    } else if (auto r = in.skip(); !r) {
      return std::unexpected(r.error());
    }
  }
  if (!epoch || !version) return std::unexpected(Malformed::truncated());
  return Stamp{std::move(*epoch), *version};
}

Result<Names> read_names(Reading& in) {
  VOREL_READ(n, in.items());
  Names names;
  for (std::uint64_t i = 0; i < *n; ++i) {
    VOREL_READ(name, in.text());
    names.push_back(std::move(*name));
  }
  return names;
}

Result<core::Pages> read_pages(Reading& in) { return in.pages(); }

Bytes encode(const Message& message) {
  Writer out;
  std::visit(Encode{out}, message.variant);
  return out.take();
}

Result<Message> decode(ByteView payload) {
  Reading in(payload);
  VOREL_READ(head, in.tagged());
  const auto& [name, entries] = *head;
  Held held;
  for (std::uint64_t i = 0; i < entries; ++i) {
    VOREL_READ(entry, in.read_str());
    if (auto r = read_entry(in, name, *entry, held); !r) return std::unexpected(r.error());
  }
  return build(name, held);
}

}  // namespace vorel::core::replication::wire
