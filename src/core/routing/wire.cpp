#include "core/routing/wire.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "core/invariant.hpp"

namespace vorel::core::routing::wire {

using core::wire::Reading;
using core::wire::Writer;
using core::wire::into;
using msgpack::Malformed;
using msgpack::Result;

namespace {

constexpr std::string_view kRouted = "Routed";
constexpr std::string_view kWrongOwner = "WrongOwner";
constexpr std::string_view kCancel = "Cancel";
constexpr std::string_view kStart = "Start";
constexpr std::string_view kDeliver = "Deliver";
constexpr std::string_view kReplyTarget = "ReplyTarget";
constexpr std::string_view kReply = "Reply";

// How much longer a bin header grows than the 2 bytes of an empty bin, for `n` bytes of content.
std::uint64_t bin_growth(std::uint64_t n) {
  if (n < 256) return 0;
  if (n < 65'536) return 1;
  return 3;
}

// `hollow`: the message of a Deliver or the state of a Start is written empty, for the sizes.
void command_of(Writer& out, const Command& command, bool hollow) {
  static const Bytes kEmpty;
  if (const auto* start = std::get_if<Start>(&command)) {
    out.entity(kStart, 3, start->actor, start->key);
    out.str("state");
    if (start->state) {
      out.bin(hollow ? kEmpty : *start->state);
    } else {
      out.nil();
    }
    return;
  }
  const auto& deliver = std::get<Deliver>(command);
  const auto& links = deliver.chain.links();
  out.entity(kDeliver, links.empty() ? 4 : 5, deliver.actor, deliver.key);
  out.str("message");
  out.bin(hollow ? kEmpty : deliver.message);
  out.str("reply");
  if (!deliver.reply) {
    out.nil();
  } else {
    const auto* reply = deliver.reply->as_reply();
    if (!reply) broken("a command answers a request, never an entity");
    out.array(2);
    out.str(kReplyTarget);
    out.map(2);
    out.str("node");
    out.node(reply->node);
    out.str("id");
    out.int_(reply->id);
  }
  if (links.empty()) return;
  out.str("chain");
  out.array(links.size());
  for (const auto& link : links) {
    out.map(3);
    out.str("actor");
    out.str(link.actor);
    out.str("key");
    out.str(link.key);
    out.str("hold");
    out.uint(link.hold);
  }
}

void routed_map(Writer& out, const Command& command, const NodeId& origin, std::uint32_t attempt, bool hollow) {
  out.map(3);
  out.str("command");
  command_of(out, command, hollow);
  out.str("origin");
  out.node(origin);
  out.str("attempt");
  out.uint(attempt);
}

void wrong_owner(Writer& out, const Command& command, const NodeId& origin, std::uint32_t attempt, bool hollow) {
  out.array(2);
  out.str(kWrongOwner);
  out.map(1);
  out.str("routed");
  routed_map(out, command, origin, attempt, hollow);
}

// `hollow`: the data of a Value is written empty, for the size.
void outcome_of(Writer& out, const Outcome& outcome, bool hollow) {
  static const Bytes kEmpty;
  struct Visit {
    Writer& out;
    bool hollow;
    std::string_view name;
    void operator()(const Outcome::Value& v) {
      header(1);
      out.str("data");
      out.bin(hollow ? kEmpty : v.data);
    }
    void operator()(const Outcome::Failed& v) {
      out.entity(name, 4, v.actor, v.key);
      out.str("error");
      out.str(v.error);
      out.str("message");
      out.str(v.message);
    }
    void operator()(const Outcome::Missing& v) { out.entity(name, 2, v.actor, v.key); }
    void operator()(const Outcome::Full& v) { out.entity(name, 2, v.actor, v.key); }
    void operator()(const Outcome::Unreached& v) { out.entity(name, 2, v.actor, v.key); }
    void operator()(const Outcome::Unknown& v) { out.entity(name, 2, v.actor, v.key); }
    void operator()(const Outcome::TooLarge& v) { text(v.message); }
    void operator()(const Outcome::Cycle& v) { text(v.message); }
    void header(std::uint64_t entries) {
      out.array(2);
      out.str(name);
      out.map(entries);
    }
    void text(const std::string& message) {
      header(1);
      out.str("message");
      out.str(message);
    }
  };
  std::visit(Visit{out, hollow, outcome.name()}, outcome.variant);
}

void answer_of(Writer& out, std::int64_t id, const Outcome& outcome, bool hollow) {
  out.array(2);
  out.str(kReply);
  out.map(2);
  out.str("id");
  out.int_(id);
  out.str("outcome");
  outcome_of(out, outcome, hollow);
}

Result<std::uint32_t> read_attempt(Reading& in) {
  VOREL_TRY(v, in.unsigned_());
  if (v > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(Malformed::truncated());
  return static_cast<std::uint32_t>(v);
}

// nil for none, or ["ReplyTarget", {"node": node, "id": int}] whatever its tag says.
Result<std::optional<Target>> read_reply(Reading& in) {
  VOREL_TRY(is_nil, in.nil());
  if (is_nil) return std::optional<Target>{};
  VOREL_CHECK(in.tag());
  VOREL_TRY(entries, in.read_map_len());
  if (entries == 0) return std::unexpected(Malformed::truncated());
  std::optional<NodeId> node;
  std::optional<std::int64_t> id;
  auto read = in.fields(entries, [&](std::string_view key) -> Result<bool> {
    if (key == "node") return into(node, in.node());
    if (key == "id") return into(id, in.int_());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!node || !id) return std::unexpected(Malformed::truncated());
  return std::optional<Target>{Target::reply(std::move(*node), *id)};
}

Result<chain::Link> read_link(Reading& in) {
  std::optional<std::string> actor, key;
  std::optional<std::uint64_t> hold;
  auto read = in.map([&](std::string_view field) -> Result<bool> {
    if (field == "actor") return into(actor, in.text());
    if (field == "key") return into(key, in.text());
    if (field == "hold") return into(hold, in.unsigned_());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!actor || !key || !hold) return std::unexpected(Malformed::truncated());
  return chain::Link{std::move(*actor), std::move(*key), *hold};
}

Result<Chain> read_chain(Reading& in) {
  VOREL_TRY(n, in.items());
  std::vector<chain::Link> links;
  // Only the newest links are kept: a longer chain never sizes the room taken for it.
  links.reserve(std::min<std::uint64_t>(n, chain::kLinks));
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(link, read_link(in));
    links.push_back(std::move(link));
  }
  return Chain::of(std::move(links));
}

Result<Command> read_command(Reading& in) {
  VOREL_TRY(head, in.tagged());
  const auto& [name, entries] = head;
  std::optional<std::string> actor, key;
  std::optional<Bytes> message, state;
  std::optional<Target> reply;
  Chain chain;
  auto read = in.fields(entries, [&](std::string_view field) -> Result<bool> {
    if (field == "actor") return into(actor, in.text());
    if (field == "key") return into(key, in.text());
    if (field == "message") return into(message, in.bytes());
    if (field == "reply") return into(reply, read_reply(in));
    if (field == "chain") return into(chain, read_chain(in));
    if (field != "state") return false;
    // nil leaves the state as an earlier entry gave it.
    VOREL_TRY(is_nil, in.nil());
    return is_nil ? Result<bool>(true) : into(state, in.bytes());
  });
  if (!read) return std::unexpected(read.error());
  if (name != kStart && name != kDeliver) return std::unexpected(Malformed::marker(0x00));
  if (!actor || !key) return std::unexpected(Malformed::truncated());
  if (name == kStart) return Command{Start{std::move(*actor), std::move(*key), std::move(state)}};
  if (!message) return std::unexpected(Malformed::truncated());
  return Command{Deliver{std::move(*actor), std::move(*key), std::move(*message), std::move(reply), std::move(chain)}};
}

Result<Message> read_wrong_owner(Reading& in) {
  std::optional<Routed> routed;
  auto read = in.map([&](std::string_view field) -> Result<bool> {
    if (field == "routed") return into(routed, read_routed(in));
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!routed) return std::unexpected(Malformed::truncated());
  return Message{WrongOwner{std::move(*routed)}};
}

Result<Message> read_cancel(Reading& in) {
  std::optional<std::string> actor, key;
  std::optional<Target> request;
  auto read = in.map([&](std::string_view field) -> Result<bool> {
    if (field == "actor") return into(actor, in.text());
    if (field == "key") return into(key, in.text());
    if (field == "request") return into(request, in.target());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!actor || !key || !request) return std::unexpected(Malformed::truncated());
  return Message{Cancel{std::move(*actor), std::move(*key), std::move(*request)}};
}

// The outcome's fields as the map gives them; the variant takes its own and ignores the rest.
Result<Outcome> read_outcome(Reading& in) {
  VOREL_TRY(tag, in.tag());
  const std::string name(tag);
  std::string actor, key, error, message;
  Bytes data;
  auto read = in.map([&](std::string_view field) -> Result<bool> {
    if (field == "actor") return into(actor, in.text());
    if (field == "key") return into(key, in.text());
    if (field == "error") return into(error, in.text());
    if (field == "message") return into(message, in.text());
    if (field == "data") return into(data, in.bytes());
    return false;
  });
  if (!read) return std::unexpected(read.error());
  const auto names = Outcome::names();
  const auto index = static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  switch (index) {
    case 0: return Outcome{Outcome::Value{std::move(data)}};
    case 1: return Outcome{Outcome::Failed{std::move(actor), std::move(key), std::move(error), std::move(message)}};
    case 2: return Outcome{Outcome::Missing{std::move(actor), std::move(key)}};
    case 3: return Outcome{Outcome::Full{std::move(actor), std::move(key)}};
    case 4: return Outcome{Outcome::Unreached{std::move(actor), std::move(key)}};
    case 5: return Outcome{Outcome::Unknown{std::move(actor), std::move(key)}};
    case 6: return Outcome{Outcome::TooLarge{std::move(message)}};
    case 7: return Outcome{Outcome::Cycle{std::move(message)}};
    default: return std::unexpected(Malformed::marker(0x00));
  }
}

}  // namespace

Result<Routed> read_routed(Reading& in) {
  std::optional<Command> command;
  std::optional<NodeId> origin;
  std::optional<std::uint32_t> attempt;
  auto read = in.map([&](std::string_view field) -> Result<bool> {
    if (field == "command") return into(command, read_command(in));
    if (field == "origin") return into(origin, in.node());
    if (field == "attempt") return into(attempt, read_attempt(in));
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!command || !origin || !attempt) return std::unexpected(Malformed::truncated());
  return Routed{std::move(*command), std::move(*origin), *attempt};
}

Bytes encode(const Message& message) {
  Writer out;
  if (const auto* routed = std::get_if<Routed>(&message.variant)) {
    out.array(2);
    out.str(kRouted);
    routed_map(out, routed->command, routed->origin, routed->attempt, false);
  } else if (const auto* wrong = std::get_if<WrongOwner>(&message.variant)) {
    wrong_owner(out, wrong->routed.command, wrong->routed.origin, wrong->routed.attempt, false);
  } else {
    const auto& cancel = std::get<Cancel>(message.variant);
    out.entity(kCancel, 3, cancel.actor, cancel.key);
    out.str("request");
    out.target(cancel.request);
  }
  return out.take();
}

Result<Message> decode(ByteView payload) {
  Reading in(payload);
  VOREL_TRY(tag, in.tag());
  if (tag == kRouted) {
    VOREL_TRY(routed, read_routed(in));
    return Message{std::move(routed)};
  }
  if (tag == kWrongOwner) return read_wrong_owner(in);
  if (tag == kCancel) return read_cancel(in);
  return std::unexpected(Malformed::marker(0x00));
}

Bytes encode_answer(std::int64_t id, const Outcome& outcome) {
  Writer out;
  answer_of(out, id, outcome, false);
  return out.take();
}

Result<std::pair<std::int64_t, Outcome>> decode_answer(ByteView payload) {
  Reading in(payload);
  VOREL_TRY(head, in.tagged());
  const auto& [name, entries] = head;
  if (name != kReply) return std::unexpected(Malformed::marker(0x00));
  std::optional<std::int64_t> id;
  std::optional<Outcome> outcome;
  auto read = in.fields(entries, [&](std::string_view field) -> Result<bool> {
    if (field == "id") return into(id, in.int_());
    if (field == "outcome") return into(outcome, read_outcome(in));
    return false;
  });
  if (!read) return std::unexpected(read.error());
  if (!id || !outcome) return std::unexpected(Malformed::truncated());
  return std::pair<std::int64_t, Outcome>{*id, std::move(*outcome)};
}

std::uint64_t answer_size(std::int64_t id, const Outcome& outcome) {
  Writer out;
  answer_of(out, id, outcome, true);
  std::uint64_t size = out.bytes().size();
  if (const auto* value = std::get_if<Outcome::Value>(&outcome.variant)) {
    size += value->data.size() + bin_growth(value->data.size());
  }
  return size;
}

std::uint64_t routed_size(const Command& command, const NodeId& origin) {
  // A WrongOwner is the longer form, and the largest attempt takes the longest integer form.
  Writer out;
  wrong_owner(out, command, origin, std::numeric_limits<std::uint32_t>::max(), true);
  std::uint64_t size = out.bytes().size();
  const Bytes* largest = nullptr;
  if (const auto* start = std::get_if<Start>(&command)) {
    if (start->state) largest = &*start->state;
  } else {
    largest = &std::get<Deliver>(command).message;
  }
  if (largest) size += largest->size() + bin_growth(largest->size());
  return size;
}

}  // namespace vorel::core::routing::wire
