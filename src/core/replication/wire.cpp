#include "core/replication/wire.hpp"

#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vorel::core::replication::wire {

using core::wire::Reading;
using core::wire::Writer;
using core::wire::into;
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

// Writes each message's entries, a key then its value, in the order of the message's table.
struct Encode {
  Writer& out;

  void epoch(std::string_view key, const Epoch& v) {
    out.str(key);
    epoch_map(out, v);
  }
  void stamp(std::string_view key, const Stamp& v) {
    out.str(key);
    stamp_map(out, v);
  }
  void optional(std::string_view key, const std::optional<Stamp>& v) {
    out.str(key);
    out.optional(v, stamp_of);
  }
  void node(std::string_view key, const NodeId& v) {
    out.str(key);
    out.node(v);
  }
  void number(std::string_view key, std::uint64_t v) {
    out.str(key);
    out.uint(v);
  }
  void flag(std::string_view key, bool v) {
    out.str(key);
    out.boolean(v);
  }
  void pages(std::string_view key, const core::Pages& v) {
    out.str(key);
    pages_of(out, v);
  }
  void names(std::string_view key, const Names& v) {
    out.str(key);
    names_of(out, v);
  }
  void copies(std::string_view key, const std::vector<Copy>& v) {
    out.str(key);
    copies_of(out, v);
  }

  void operator()(const Prepare& m) {
    out.entity(kPrepare, 3, m.actor, m.key);
    epoch("epoch", m.epoch);
  }
  void operator()(const Accept& m) {
    out.entity(kAccept, 8, m.actor, m.key);
    stamp("stamp", m.stamp);
    optional("base", m.base);
    number("part", m.part);
    flag("final", m.final_);
    pages("pages", m.pages);
    names("dropped", m.dropped);
  }
  void operator()(const Fetch& m) {
    out.entity(kFetch, 5, m.actor, m.key);
    epoch("epoch", m.epoch);
    names("names", m.names);
    number("part", m.part);
  }
  void operator()(const Bury& m) {
    out.entity(kBury, 4, m.actor, m.key);
    stamp("stamp", m.stamp);
    node("node", m.node);
  }
  void operator()(const Promise& m) {
    out.entity(kPromise, 8, m.actor, m.key);
    epoch("epoch", m.epoch);
    node("replica", m.replica);
    optional("accepted", m.accepted);
    out.str("sizes");
    sizes_of(out, m.sizes);
    pages("pages", m.pages);
    flag("receiving", m.receiving);
  }
  void operator()(const Rejected& m) {
    out.entity(kRejected, 4, m.actor, m.key);
    node("replica", m.replica);
    epoch("promised", m.promised);
  }
  void operator()(const messages::Pages& m) {
    out.entity(kPages, 7, m.actor, m.key);
    epoch("epoch", m.epoch);
    optional("accepted", m.accepted);
    number("part", m.part);
    flag("final", m.final_);
    pages("pages", m.pages);
  }
  void operator()(const Accepted& m) {
    out.entity(kAccepted, 5, m.actor, m.key);
    stamp("stamp", m.stamp);
    node("replica", m.replica);
    flag("receiving", m.receiving);
  }
  void operator()(const NeedFull& m) {
    out.entity(kNeedFull, 4, m.actor, m.key);
    stamp("stamp", m.stamp);
    node("replica", m.replica);
  }
  void operator()(const Buried& m) {
    out.entity(kBuried, 5, m.actor, m.key);
    stamp("stamp", m.stamp);
    node("replica", m.replica);
    flag("receiving", m.receiving);
  }
  void operator()(const handoff::messages::PullRange& m) {
    typed(out, kPullRange, 4, m.actor);
    node("node", m.node);
    number("transfer", m.transfer);
    out.str("ranges");
    ranges_of(out, m.ranges);
  }
  void operator()(const handoff::messages::RangeKeys& m) {
    typed(out, kRangeKeys, 8, m.actor);
    node("replica", m.replica);
    number("transfer", m.transfer);
    streamed(m.stream, m.part, m.final_);
    flag("receiving", m.receiving);
    copies("keys", m.keys);
  }
  void operator()(const handoff::messages::HandKeys& m) {
    typed(out, kHandKeys, 6, m.actor);
    node("node", m.node);
    streamed(m.stream, m.part, m.final_);
    copies("keys", m.keys);
  }
  void operator()(const handoff::messages::TookKeys& m) {
    typed(out, kTookKeys, 3, m.actor);
    node("replica", m.replica);
    names("keys", m.keys);
  }
  void operator()(const Request& m) { std::visit(*this, m.variant); }
  void operator()(const Reply& m) { std::visit(*this, m.variant); }
  void operator()(const handoff::messages::Pull& m) { std::visit(*this, m.variant); }

  void streamed(std::uint64_t stream, std::uint32_t part, bool last) {
    number("stream", stream);
    number("part", part);
    flag("final", last);
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
  VOREL_TRY(v, in.unsigned_());
  if (v > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(Malformed::truncated());
  return static_cast<std::uint32_t>(v);
}

// nil for none, else [tag, value]; the tag is read but not compared.
template <class T, class F>
Result<std::optional<T>> read_tagged(Reading& in, F&& read) {
  VOREL_TRY(is_nil, in.nil());
  if (is_nil) return std::optional<T>{};
  VOREL_CHECK(in.tag());
  VOREL_TRY(value, read(in));
  return std::optional<T>{std::move(value)};
}

Result<std::optional<Stamp>> read_optional_stamp(Reading& in) { return read_tagged<Stamp>(in, read_stamp); }

Result<std::vector<placement::Range>> read_ranges(Reading& in) {
  return in.list<placement::Range>([&]() -> Result<placement::Range> {
    std::optional<std::uint64_t> start, end;
    auto read = in.map([&](std::string_view key) -> Result<bool> {
      if (key == "start") return into(start, in.unsigned_());
      if (key == "end") return into(end, in.unsigned_());
      return false;
    });
    if (!read) return std::unexpected(read.error());
    if (!start || !end) return std::unexpected(Malformed::truncated());
    return placement::Range{*start, *end};
  });
}

// No entry of a copy is required: what is absent keeps the value of an empty copy.
Result<Copy> read_copy(Reading& in) {
  Copy copy;
  auto read = in.map([&](std::string_view key) -> Result<bool> {
    if (key == "key") return into(copy.key, in.text());
    if (key == "part") return into(copy.part, read_part(in));
    if (key == "pages") return into(copy.pages, read_pages(in));
    if (key == "final") return into(copy.final_, in.read_bool());
    if (key == "accepted") return into(copy.accepted, read_optional_stamp(in));
    if (key == "promised") return into(copy.promised, read_tagged<Epoch>(in, read_epoch));
    return false;
  });
  if (!read) return std::unexpected(read.error());
  return copy;
}

Result<Sizes> read_sizes(Reading& in) {
  return in.list<Size>([&]() -> Result<Size> {
    VOREL_TRY(pair, in.items());
    // A pair of any other length would shift every later read onto the wrong values.
    if (pair != 2) return std::unexpected(Malformed::marker(0x00));
    VOREL_TRY(name, in.text());
    VOREL_TRY(size, in.unsigned_());
    return Size{std::move(name), size};
  });
}

// One entry of a message's map into its slot; false for a key no message has.
Result<bool> read_entry(Reading& in, std::string_view name, std::string_view entry, Held& held) {
  if (entry == "actor") return into(held.actor, in.text());
  if (entry == "key") return into(held.key, in.text());
  if (entry == "replica") return into(held.replica, in.node());
  if (entry == "node") return into(held.node, in.node());
  if (entry == "epoch") return into(held.epoch, read_epoch(in));
  if (entry == "promised") return into(held.promised, read_epoch(in));
  if (entry == "stamp") return into(held.stamp, read_stamp(in));
  if (entry == "base") return into(held.base, read_optional_stamp(in));
  if (entry == "accepted") return into(held.accepted, read_optional_stamp(in));
  if (entry == "sizes") return into(held.sizes, read_sizes(in));
  if (entry == "pages") return into(held.pages, read_pages(in));
  if (entry == "names") return into(held.names, read_names(in));
  if (entry == "dropped") return into(held.dropped, read_names(in));
  if (entry == "keys" && name == kTookKeys) return into(held.names, read_names(in));
  if (entry == "keys") return into(held.copies, in.list<Copy>([&] { return read_copy(in); }));
  if (entry == "ranges") return into(held.ranges, read_ranges(in));
  if (entry == "transfer") return into(held.transfer, in.unsigned_());
  if (entry == "stream") return into(held.stream, in.unsigned_());
  if (entry == "part") return into(held.part, read_part(in));
  if (entry == "final") return into(held.final_, in.read_bool());
  if (entry == "receiving") return into(held.receiving, in.read_bool());
  return false;
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
  std::optional<std::uint64_t> round;
  std::optional<NodeId> node;
  auto read = in.map([&](std::string_view key) -> Result<bool> {
    if (key == "round") return into(round, in.unsigned_());
    if (key == "node") return into(node, in.node());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!round || !node) return std::unexpected(Malformed::truncated());
  return Epoch{*round, std::move(*node)};
}

Result<Stamp> read_stamp(Reading& in) {
  std::optional<Epoch> epoch;
  std::optional<std::uint64_t> version;
  auto read = in.map([&](std::string_view key) -> Result<bool> {
    if (key == "epoch") return into(epoch, read_epoch(in));
    if (key == "version") return into(version, in.unsigned_());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!epoch || !version) return std::unexpected(Malformed::truncated());
  return Stamp{std::move(*epoch), *version};
}

Result<Names> read_names(Reading& in) { return in.list<std::string>([&] { return in.text(); }); }

Result<core::Pages> read_pages(Reading& in) { return in.pages(); }

Bytes encode(const Message& message) {
  Writer out;
  std::visit(Encode{out}, message.variant);
  return out.take();
}

Result<Message> decode(ByteView payload) {
  Reading in(payload);
  VOREL_TRY(head, in.tagged());
  const auto& [name, entries] = head;
  Held held;
  auto read = in.fields(entries, [&](std::string_view entry) { return read_entry(in, name, entry, held); });
  if (!read) return std::unexpected(read.error());
  return build(name, held);
}

}  // namespace vorel::core::replication::wire
