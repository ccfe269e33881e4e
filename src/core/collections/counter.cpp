#include "core/collections/counter.hpp"

#include <fmt/format.h>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

namespace {
constexpr std::string_view kCount = ".";

Parts counted(std::int64_t count) { return Parts{{std::string(kCount), number(count)}}; }
}  // namespace

Parts Counter::initial(double) const { return counted(0); }

std::optional<Turn> Counter::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto* delivered = input.as_message();
  if (!delivered) return std::nullopt;
  std::optional<std::int64_t> delta;
  std::optional<Target> reply_to;
  auto m = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "delta") return message::integer(r, delta);
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    return message::skip(r);
  });
  if (!m) return Turn::refused(std::move(m.error()));
  const std::string_view op = m->op;
  if (op != "Add" && op != "Get" && op != "Reset") return Turn::refused(message::unknown("a counter", *m));
  if (auto lack = message::lacking(*m, {{"reply_to", reply_to.has_value()}})) return Turn::refused(std::move(*lack));
  const std::int64_t count = message::integer_in(parts, kCount).value_or(0);
  Turn turn;
  if (op == "Add") {
    std::int64_t sum = 0;
    // A count that wrapped would turn the largest count into the smallest without a word.
    if (__builtin_add_overflow(count, delta.value_or(0), &sum)) {
      return Turn::refused(
          fmt::format("adding {} to the count {} leaves the signed 64-bit range", *delta, count), "OverflowError");
    }
    turn.parts = counted(sum);
    turn.sends.push_back({std::move(*reply_to), nil()});
  } else if (op == "Get") {
    turn.sends.push_back({std::move(*reply_to), number(count)});
  } else {
    turn.parts = counted(0);
    turn.sends.push_back({std::move(*reply_to), nil()});
  }
  return turn;
}

}  // namespace vorel::core::collections
