#include "core/collections/table_segment.hpp"

#include <algorithm>
#include <limits>

#include <blake2.h>
#include <fmt/format.h>

#include "core/collections/message.hpp"

namespace vorel::core::collections::table {

namespace {
constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

std::int64_t capped(std::uint64_t n) { return n > static_cast<std::uint64_t>(kLargest) ? kLargest : static_cast<std::int64_t>(n); }

bool same(const Bytes& a, ByteView b) { return std::ranges::equal(a, b); }

// The key's entry; none when absent.
Entries::iterator find(Entries& entries, ByteView key) {
  return std::ranges::find_if(entries, [&](const Entry& e) { return same(e.first, key); });
}

// The key's entry, appended with no values when the key is new.
Entry& at(Entries& entries, ByteView key) {
  auto it = find(entries, key);
  if (it != entries.end()) return *it;
  entries.emplace_back(Bytes(key.begin(), key.end()), std::vector<Bytes>{});
  return entries.back();
}

std::uint64_t values_in(const Entries& entries) {
  std::uint64_t n = 0;
  for (const auto& e : entries) n += e.second.size();
  return n;
}

Bytes pair_of_bools(bool a, bool b) { return Bytes{0x92, a ? msgpack::kTrue : msgpack::kFalse, b ? msgpack::kTrue : msgpack::kFalse}; }

// [modulus, n]
Bytes walked(const Bucket& bucket, std::uint64_t n) {
  wire::Writer w;
  w.array(2);
  w.int_(capped(bucket.modulus));
  w.int_(capped(n));
  return w.take();
}
// The refusal of a message whose op is unknown or lacks a field it needs, or that gives "key" to
// an op over every key; none when the op can be carried out.
std::optional<Turn> refused(const message::Named& m, const Fields& f) {
  const std::string_view op = m.op;
  std::optional<std::string> lack;
  if (op == "Add") {
    lack = message::lacking(m, {{"key", f.key.has_value()}, {"value", f.value.has_value()}});
  } else if (op == "Get" || op == "Remove") {
    lack = message::lacking(m, {{"key", f.key.has_value()}});
  } else if (op == "List" || op == "Unlist") {
    lack = message::lacking(m, {{"key", f.key.has_value()}, {"generation", f.generation.has_value()}});
  } else if (op == "Size" || op == "Scan" || op == "Clear") {
    // A key would suggest that the op covers that key alone.
    if (f.key) return Turn::refused(fmt::format("{}: field \"key\" is given, but the op covers every key", m.name));
    if (op == "Scan") lack = message::lacking(m, {{"position", f.position.has_value()}});
  } else if (op == "Split") {
    lack = message::lacking(m, {{"into", f.into.has_value()}, {"modulus", f.modulus.has_value()}});
  } else if (op == "Adopt") {
    lack = message::lacking(m, {{"entries", f.entries.has_value()}, {"modulus", f.modulus.has_value()},
                                {"id", f.id.has_value()}, {"version", f.version.has_value()}});
  } else {
    return Turn::refused(message::unknown("a table segment", m));
  }
  if (lack) return Turn::refused(std::move(*lack));
  return std::nullopt;
}
}  // namespace

std::uint32_t hashes(ByteView key) {
  std::uint8_t digest[8];
  blake2b(digest, key.data(), nullptr, sizeof digest, key.size(), 0);
  return static_cast<std::uint32_t>(digest[0]) << 24 | static_cast<std::uint32_t>(digest[1]) << 16 |
         static_cast<std::uint32_t>(digest[2]) << 8 | static_cast<std::uint32_t>(digest[3]);
}

std::int64_t listed_under(const std::vector<Bytes>& values) {
  std::optional<std::int64_t> greatest;
  for (const auto& value : values) {
    wire::Reading r(value);
    auto v = r.int_();
    if (v && (!greatest || *v > *greatest)) greatest = *v;
  }
  return greatest.value_or(0);
}

Bucket Bucket::of(const Parts& parts) {
  Bucket bucket;
  bucket.entries = message::part<Entries>(parts, "entries", read_entries).value_or(Entries{});
  const std::int64_t modulus = message::integer_in(parts, "modulus").value_or(1);
  bucket.modulus = modulus < 2 ? 1 : static_cast<std::uint64_t>(modulus);
  bucket.id = message::integer_in(parts, "id").value_or(0);
  bucket.version = message::integer_in(parts, "version").value_or(0);
  return bucket;
}

Parts Bucket::pages() const {
  wire::Writer out;
  write_entries(out, entries);
  return Parts{{"entries", out.take()},
               {"id", number(id)},
               {"modulus", number(capped(modulus))},
               {"version", number(version)}};
}

bool Bucket::holds(ByteView key) const {
  return id >= 0 && hashes(key) % modulus == static_cast<std::uint64_t>(id);
}

std::pair<Entries, Entries> Bucket::parted(std::uint64_t under) const {
  std::pair<Entries, Entries> out;
  for (const auto& entry : entries) {
    const bool stays = id >= 0 && hashes(entry.first) % under == static_cast<std::uint64_t>(id);
    (stays ? out.first : out.second).push_back(entry);
  }
  return out;
}

Parts Segment::initial(double) const { return Bucket{}.pages(); }

Bytes Segment::adopt_message(const Entries& moving, std::int64_t modulus, std::int64_t id, std::int64_t version,
                             const Target& reply) {
  wire::Writer w;
  w.array(2);
  w.str("table_segment.Adopt");
  w.map(5);
  w.str("reply_to");
  w.target(reply);
  w.str("entries");
  write_entries(w, moving);
  w.str("modulus");
  w.int_(modulus);
  w.str("id");
  w.int_(id);
  w.str("version");
  w.int_(version);
  return w.take();
}

std::optional<Turn> Segment::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto bytes = input.bytes();
  if (!bytes) return std::nullopt;
  auto read = table::read(*bytes);
  if (!read) return Turn::refused(std::move(read.error()));
  const message::Named& m = read->message;
  const std::string_view op = m.op;
  Fields& f = read->fields;
  if (auto refusal = refused(m, f)) return std::move(*refusal);
  Bucket bucket = Bucket::of(parts);
  const Bucket read_bucket = bucket;
  Turn turn;
  Bytes reply;
  bool adopted = false;

  const bool keyed = op == "Add" || op == "Get" || op == "Remove" || op == "List" || op == "Unlist";
  if (keyed && f.key && !bucket.holds(*f.key)) {
    // The caller addressed a segment the key has left; nil tells it to look again.
    turn.sends.push_back({std::move(f.reply_to), nil()});
    return turn;
  }
  const auto crowded = [&] { return bucket.entries.size() > kCrowded; };

  if (op == "Add") {
    auto& values = at(bucket.entries, *f.key).second;
    const bool added = std::ranges::none_of(values, [&](const Bytes& v) { return same(v, *f.value); });
    if (added) values.emplace_back(f.value->begin(), f.value->end());
    reply = pair_of_bools(added, crowded());
  } else if (op == "Get") {
    wire::Writer w;
    auto it = find(bucket.entries, *f.key);
    if (it == bucket.entries.end()) {
      w.array(0);
    } else {
      w.array(it->second.size());
      for (const auto& v : it->second) w.bin(v);
    }
    reply = w.take();
  } else if (op == "Remove") {
    std::uint64_t removed = 0;
    auto it = find(bucket.entries, *f.key);
    if (it != bucket.entries.end()) {
      if (f.value) {
        removed = std::erase_if(it->second, [&](const Bytes& v) { return same(v, *f.value); });
        if (it->second.empty()) bucket.entries.erase(it);
      } else {
        removed = it->second.size();
        bucket.entries.erase(it);
      }
    }
    reply = number(capped(removed));
  } else if (op == "List") {
    auto& values = at(bucket.entries, *f.key).second;
    const bool listed = values.empty() || listed_under(values) <= *f.generation;
    if (listed) values = {number(*f.generation)};
    reply = pair_of_bools(listed, crowded());
  } else if (op == "Unlist") {
    auto it = find(bucket.entries, *f.key);
    const bool gone = it != bucket.entries.end() && listed_under(it->second) <= *f.generation;
    if (gone) bucket.entries.erase(it);
    reply = truth(gone);
  } else if (op == "Size") {
    reply = walked(bucket, values_in(bucket.entries));
  } else if (op == "Scan") {
    // Truncating division: the remainder has the sign of the position, so a negative one matches
    // no segment of a non-negative id.
    const auto modulus = static_cast<std::int64_t>(bucket.modulus);
    if (*f.position % modulus == bucket.id) {
      wire::Writer w;
      w.array(2);
      w.int_(modulus);
      write_entries(w, bucket.entries);
      reply = w.take();
    } else {
      reply = nil();
    }
  } else if (op == "Clear") {
    reply = walked(bucket, values_in(bucket.entries));
    bucket.entries.clear();
  } else if (op == "Split") {
    const std::int64_t under = *f.modulus;
    if (under <= 0 || bucket.modulus >= static_cast<std::uint64_t>(under)) {
      // Already split this far: a repeated Split changes nothing.
      turn.sends.push_back({std::move(f.reply_to), nil()});
      return turn;
    }
    auto [staying, moving] = bucket.parted(static_cast<std::uint64_t>(under));
    if (input.as_message()) {
      const auto id = static_cast<std::int64_t>((static_cast<std::uint64_t>(under) >> 1) +
                                                static_cast<std::uint64_t>(bucket.id));
      turn.asking = Asking{*f.into, [moving = std::move(moving), under, id, version = bucket.version](
                                        const Target& reply) { return adopt_message(moving, under, id, version, reply); }};
      return turn;
    }
    // The new segment has the moving keys: only now do they leave this one.
    bucket.entries = std::move(staying);
    bucket.modulus = static_cast<std::uint64_t>(under);
    reply = nil();
  } else {
    const auto current = static_cast<std::int64_t>(bucket.modulus);
    if (*f.modulus > current || (*f.modulus == current && *f.version > bucket.version)) {
      bucket = Bucket{std::move(*f.entries), static_cast<std::uint64_t>(*f.modulus), *f.id, *f.version};
      adopted = true;
    }
    reply = nil();
  }

  if (bucket != read_bucket) {
    if (!adopted && bucket.version < kLargest) bucket.version += 1;
    turn.parts = bucket.pages();
  }
  turn.sends.push_back({std::move(f.reply_to), std::move(reply)});
  return turn;
}

}  // namespace vorel::core::collections::table
