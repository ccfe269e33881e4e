#include "core/collections/table.hpp"

#include <bit>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

namespace table {

void write_entries(wire::Writer& out, const Entries& entries) {
  out.array(entries.size());
  for (const auto& [key, values] : entries) {
    out.array(2);
    out.bin(key);
    out.array(values.size());
    for (const auto& value : values) out.bin(value);
  }
}

std::optional<Entries> read_entries(wire::Reading& reading) {
  auto count = reading.read_array_len();
  if (!count) return std::nullopt;
  Entries entries;
  for (std::uint64_t i = 0; i < *count; ++i) {
    // Exactly a key and its values: a longer entry would have its rest read as the next one.
    auto pair = reading.read_array_len();
    if (!pair || *pair != 2) return std::nullopt;
    auto key = reading.bytes();
    if (!key) return std::nullopt;
    auto values = reading.read_array_len();
    if (!values) return std::nullopt;
    Entry entry{std::move(*key), {}};
    for (std::uint64_t j = 0; j < *values; ++j) {
      auto value = reading.bytes();
      if (!value) return std::nullopt;
      entry.second.push_back(std::move(*value));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::expected<Read, std::string> read(ByteView bytes) {
  Fields f;
  std::optional<Target> reply_to;
  auto m = message::read(bytes, [&](std::string_view key, wire::Reading& r) {
    if (key == "reply_to") return message::target_or_nil(r, reply_to);
    if (key == "seen") return message::integer(r, f.seen);
    if (key == "split") return message::entity(r, f.split);
    if (key == "into") return message::entity(r, f.into);
    if (key == "key") return message::bin(r, f.key);
    if (key == "value") return message::bin_or_nil(r, f.value);
    if (key == "generation") return message::integer(r, f.generation);
    if (key == "position") return message::integer(r, f.position);
    if (key == "modulus") return message::integer(r, f.modulus);
    if (key == "id") return message::integer(r, f.id);
    if (key == "version") return message::integer(r, f.version);
    if (key == "entries") {
      f.entries = read_entries(r);
      return f.entries ? message::Checked{} : message::Checked{"[[key bytes, [value bytes, ...]], ...]"};
    }
    return message::skip(r);
  });
  if (!m) return std::unexpected(std::move(m.error()));
  if (auto lack = message::lacking(*m, {{"reply_to", reply_to.has_value()}})) return std::unexpected(std::move(*lack));
  f.reply_to = std::move(*reply_to);
  return Read{*m, std::move(f)};
}

Parts counted(std::int64_t segments) { return Parts{{"segments", number(segments)}}; }

}  // namespace table

Parts Table::initial(double) const { return table::counted(1); }

Bytes Table::split_message(const Target& into, std::int64_t modulus, const Target& reply) {
  wire::Writer w;
  w.array(2);
  w.str("table_segment.Split");
  w.map(3);
  w.str("reply_to");
  w.target(reply);
  w.str("into");
  w.target(into);
  w.str("modulus");
  w.int_(modulus);
  return w.take();
}

std::optional<Turn> Table::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto bytes = input.bytes();
  if (!bytes) return std::nullopt;
  auto read = table::read(*bytes);
  if (!read) return Turn::refused(std::move(read.error()));
  const message::Named& m = read->message;
  if (m.op != "Segments" && m.op != "Grow") return Turn::refused(message::unknown("a table", m));
  table::Fields& f = read->fields;
  const std::int64_t read_count = message::integer_in(parts, "segments").value_or(1);
  const std::int64_t count = read_count < 2 ? 1 : read_count;
  Turn turn;
  if (m.op == "Segments") {
    turn.sends.push_back({std::move(f.reply_to), number(count)});
    return turn;
  }
  if (auto lack = message::lacking(m, {{"seen", f.seen.has_value()}, {"split", f.split.has_value()},
                                       {"into", f.into.has_value()}})) {
    return Turn::refused(std::move(*lack));
  }
  const int level = std::bit_width(static_cast<std::uint64_t>(count)) - 1;
  // Past 2^32 segments the hash, 32 bits wide, has nothing left to split by.
  if (level > 31 || *f.seen != count) {
    turn.sends.push_back({std::move(f.reply_to), number(count)});
    return turn;
  }
  if (input.as_message()) {
    const std::int64_t modulus = std::int64_t{2} << level;
    turn.asking = Asking{*f.split, [into = *f.into, modulus](const Target& reply) {
                           return split_message(into, modulus, reply);
                         }};
    return turn;
  }
  // The split segment has handed its moving keys over: only now is the new segment counted.
  turn.parts = table::counted(count + 1);
  turn.sends.push_back({std::move(f.reply_to), number(count + 1)});
  return turn;
}

}  // namespace vorel::core::collections
