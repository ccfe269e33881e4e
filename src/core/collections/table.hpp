// The table's directory, which counts the segments and coordinates growth one segment at a time,
// and the message reading and entries form its segments share with it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/collections/message.hpp"
#include "core/collections/native.hpp"
#include "core/wire.hpp"

namespace vorel::core::collections {

namespace table {

// One key and its values, in the order they were stored.
using Entry = std::pair<Bytes, std::vector<Bytes>>;
using Entries = std::vector<Entry>;

// [[key bin, [value bin, ...]], ...]
void write_entries(wire::Writer& out, const Entries& entries);
std::optional<Entries> read_entries(wire::Reading& reading);

// The fields of a table message; bytes are borrowed from the message.
struct Fields {
  Target reply_to;
  std::optional<std::int64_t> seen;
  std::optional<Target> split;
  std::optional<Target> into;
  std::optional<ByteView> key;
  // Nil reads as none.
  std::optional<ByteView> value;
  std::optional<std::int64_t> generation;
  std::optional<std::int64_t> position;
  std::optional<std::int64_t> modulus;
  std::optional<std::int64_t> id;
  std::optional<std::int64_t> version;
  std::optional<Entries> entries;
};

struct Read {
  message::Named message;
  Fields fields;
};

// A table message, or the text that refuses it: unreadable, or naming no reply target.
std::expected<Read, std::string> read(ByteView bytes);
// {"segments": ...}
Parts counted(std::int64_t segments);

}  // namespace table

class Table final : public Native {
 public:
  std::string_view fmt() const override { return "Table"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;

  // ["table_segment.Split", {"reply_to": reply, "into": into, "modulus": modulus}]
  static Bytes split_message(const Target& into, std::int64_t modulus, const Target& reply);
};

}  // namespace vorel::core::collections
