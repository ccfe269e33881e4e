// The queue's directory: two segment numbers, head and tail, that only grow; and the message
// reading its segments share with it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/collections/message.hpp"
#include "core/collections/native.hpp"

namespace vorel::core::collections {

namespace queue {

// The fields of a queue message; bytes are borrowed from the message.
struct Fields {
  Target reply_to;
  // The segment's own number.
  std::optional<std::int64_t> at;
  // The segment's directory.
  std::optional<Target> index;
  std::optional<std::int64_t> head;
  std::optional<std::int64_t> tail;
  std::optional<std::int64_t> limit;
  std::optional<ByteView> value;
};

struct Read {
  message::Named message;
  Fields fields;
};

// A queue message, or the text that refuses it: unreadable, or naming no reply target.
std::expected<Read, std::string> read(ByteView bytes);
// {"head": ..., "tail": ...}
Parts index(std::int64_t head, std::int64_t tail);

}  // namespace queue

class Queue final : public Native {
 public:
  std::string_view fmt() const override { return "Queue"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
};

}  // namespace vorel::core::collections
