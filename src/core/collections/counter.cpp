#include "core/collections/counter.hpp"

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
  auto op = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "delta") return message::integer(r, delta);
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    return message::skip(r);
  });
  if (!op || !reply_to) return std::nullopt;
  const std::int64_t count = message::integer_in(parts, kCount).value_or(0);
  Turn turn;
  if (*op == "Add") {
    // Two's-complement wrap at the ends of the range, done unsigned so it is defined.
    const auto sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(count) +
                                               static_cast<std::uint64_t>(delta.value_or(0)));
    turn.parts = counted(sum);
    turn.sends.push_back({std::move(*reply_to), nil()});
  } else if (*op == "Get") {
    turn.sends.push_back({std::move(*reply_to), number(count)});
  } else if (*op == "Reset") {
    turn.parts = counted(0);
    turn.sends.push_back({std::move(*reply_to), nil()});
  } else {
    return std::nullopt;
  }
  return turn;
}

}  // namespace vorel::core::collections
