#include "core/collections/queue.hpp"

#include <algorithm>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

std::expected<queue::Read, std::string> queue::read(ByteView bytes) {
  Fields f;
  std::optional<Target> reply_to;
  auto m = message::read(bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    if (key == "at") return message::integer(r, f.at);
    if (key == "index") return message::entity(r, f.index);
    if (key == "head") return message::integer(r, f.head);
    if (key == "tail") return message::integer(r, f.tail);
    if (key == "limit") return message::integer(r, f.limit);
    if (key == "value") return message::bin(r, f.value);
    return message::skip(r);
  });
  if (!m) return std::unexpected(std::move(m.error()));
  if (auto lack = message::lacking(*m, {{"reply_to", reply_to.has_value()}})) return std::unexpected(std::move(*lack));
  f.reply_to = std::move(*reply_to);
  return Read{*m, std::move(f)};
}

Parts queue::index(std::int64_t head, std::int64_t tail) {
  return Parts{{"head", number(head)}, {"tail", number(tail)}};
}

Parts Queue::initial(double) const { return queue::index(0, 0); }

std::optional<Turn> Queue::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto* delivered = input.as_message();
  if (!delivered) return std::nullopt;
  auto read = queue::read(delivered->bytes);
  if (!read) return Turn::refused(std::move(read.error()));
  if (read->message.op != "Advance") return Turn::refused(message::unknown("a queue", read->message));
  const std::int64_t head = message::integer_in(parts, "head").value_or(0);
  const std::int64_t tail = message::integer_in(parts, "tail").value_or(0);
  const std::int64_t new_head = std::max(head, read->fields.head.value_or(head));
  // The tail never lies below the head.
  const std::int64_t new_tail = std::max({tail, read->fields.tail.value_or(tail), new_head});
  Turn turn;
  if (new_head != head || new_tail != tail) turn.parts = queue::index(new_head, new_tail);
  wire::Writer reply;
  reply.array(2);
  reply.int_(new_head);
  reply.int_(new_tail);
  turn.sends.push_back({std::move(read->fields.reply_to), reply.take()});
  return turn;
}

}  // namespace vorel::core::collections
