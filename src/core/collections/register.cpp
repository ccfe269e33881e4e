#include "core/collections/register.hpp"

#include <algorithm>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

Parts register_::saved(std::optional<ByteView> value) { return Parts{{"value", optional(value)}}; }

Parts Register::initial(double) const { return register_::saved(std::nullopt); }

namespace {
std::optional<ByteView> viewed(const std::optional<Bytes>& value) {
  if (!value) return std::nullopt;
  return ByteView(*value);
}

// Empty equals only empty; an empty byte string is a value.
bool same(const std::optional<Bytes>& current, std::optional<ByteView> expected) {
  if (!current || !expected) return !current && !expected;
  return std::ranges::equal(*current, *expected);
}
}  // namespace

std::optional<Turn> Register::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto* delivered = input.as_message();
  if (!delivered) return std::nullopt;
  std::optional<ByteView> value;
  std::optional<ByteView> expected;
  std::optional<Target> reply_to;
  auto m = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "value") return message::bin_or_nil(r, value);
    if (key == "expected") return message::bin_or_nil(r, expected);
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    return message::skip(r);
  });
  if (!m) return Turn::refused(std::move(m.error()));
  const std::string_view op = m->op;
  if (op != "Get" && op != "Put" && op != "GetAndSet" && op != "CompareAndSet") {
    return Turn::refused(message::unknown("a register", *m));
  }
  if (auto lack = message::lacking(*m, {{"reply_to", reply_to.has_value()}})) return Turn::refused(std::move(*lack));
  const std::optional<Bytes> current = optional_in(parts);
  Turn turn;
  Bytes reply;
  if (op == "Get") {
    reply = optional(viewed(current));
  } else if (op == "Put") {
    turn.parts = register_::saved(value);
    reply = nil();
  } else if (op == "GetAndSet") {
    turn.parts = register_::saved(value);
    reply = optional(viewed(current));
  } else {
    const bool set = same(current, expected);
    if (set) turn.parts = register_::saved(value);
    reply = truth(set);
  }
  turn.sends.push_back({std::move(*reply_to), std::move(reply)});
  return turn;
}

}  // namespace vorel::core::collections
