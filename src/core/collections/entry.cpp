#include "core/collections/entry.hpp"

#include <cmath>
#include <limits>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

namespace {
constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

std::int64_t generation_of(const Parts& parts) { return message::integer_in(parts, "generation").value_or(0); }

std::int64_t after(std::int64_t generation) { return generation == kLargest ? kLargest : generation + 1; }
}  // namespace

std::int64_t entry::micros(double now) {
  const double us = std::floor(now * 1e6);
  if (!(us > 0)) return 0;
  // 2^63 is the first double the signed range cannot hold.
  if (us >= 9223372036854775808.0) return kLargest;
  return static_cast<std::int64_t>(us);
}

Parts entry::saved(std::optional<ByteView> value, std::int64_t generation) {
  return Parts{{"generation", number(generation)}, {"value", optional(value)}};
}

Parts Entry::initial(double now) const { return entry::saved(std::nullopt, entry::micros(now)); }

bool Entry::disposable(const Parts& parts, double now) const {
  return !optional_in(parts) && generation_of(parts) <= entry::micros(now);
}

std::optional<Turn> Entry::turn(const Parts& parts, const Input& input, double now, Namer&) const {
  const auto* delivered = input.as_message();
  if (!delivered) return std::nullopt;
  std::optional<ByteView> value;
  std::optional<std::int64_t> listed;
  std::optional<Target> reply_to;
  auto m = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "value") return message::bin(r, value);
    if (key == "listed") return message::integer(r, listed);
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    return message::skip(r);
  });
  if (!m) return Turn::refused(std::move(m.error()));
  const std::string_view op = m->op;
  const bool putting = op == "Put";
  const bool listing = putting || op == "Retire";
  if (!listing && op != "Get" && op != "Contains" && op != "Remove") return Turn::refused(message::unknown("an entry", *m));
  if (auto lack = message::lacking(*m, {{"reply_to", reply_to.has_value()},
                                        {"value", value || !putting},
                                        {"listed", listed || !listing}})) {
    return Turn::refused(std::move(*lack));
  }
  const std::optional<Bytes> held = optional_in(parts);
  const std::int64_t generation = generation_of(parts);
  const std::int64_t next = after(generation);
  Turn turn;
  Bytes reply;
  if (op == "Get") {
    reply = held ? optional(ByteView(*held)) : nil();
  } else if (op == "Contains") {
    reply = truth(held.has_value());
  } else if (op == "Remove") {
    reply = Bytes{0x92};
    const Bytes was = truth(held.has_value());
    reply.insert(reply.end(), was.begin(), was.end());
    const Bytes g = number(generation);
    reply.insert(reply.end(), g.begin(), g.end());
    if (held) {
      // The fresh state takes the clock's generation, which must lie above the removed value's so
      // that nothing presented for the old value fills the entry again; while the clock is not
      // past it, the entry stays, empty, at the next generation.
      if (entry::micros(now) > generation) {
        turn.delete_ = true;
      } else {
        turn.parts = entry::saved(std::nullopt, next);
      }
    }
  } else if (op == "Retire") {
    if (held) {
      reply = number(0);
    } else if (*listed > generation) {
      turn.parts = entry::saved(std::nullopt, *listed);
      reply = number(*listed);
    } else {
      reply = number(generation);
    }
  } else {
    if (held) {
      turn.parts = entry::saved(value, generation);
      reply = number(0);
    } else if (*listed == next) {
      turn.parts = entry::saved(value, *listed);
      reply = number(0);
    } else {
      reply = number(next);
    }
  }
  turn.sends.push_back({std::move(*reply_to), std::move(reply)});
  return turn;
}

}  // namespace vorel::core::collections
