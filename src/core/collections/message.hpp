// Reading the one message shape every collection takes, ["name", {field: value, ...}], and the
// tolerant reading of the parts the collections keep.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.hpp"
#include "core/collections/native.hpp"
#include "core/node.hpp"
#include "core/wire.hpp"

namespace vorel::core::collections::message {

// The op a message name stands for: the text after its last '.', or the whole name.
std::string_view op_of(std::string_view name);

// Reads a collection message, handing each field's name and the reading, positioned at its value,
// to `field`, which must consume the value whole (skipping a field it does not know) and gives
// false for a value of the wrong form. A later field of the same name overwrites an earlier one
// when `field` simply assigns. Gives the op, borrowed from `bytes`, or none when the message is
// not recognised; bytes after the fields are not looked at.
template <class Field>
std::optional<std::string_view> read(ByteView bytes, Field&& field) {
  wire::Reading reading(bytes);
  auto name = reading.tag();
  if (!name) return std::nullopt;
  auto count = reading.read_map_len();
  if (!count) return std::nullopt;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto key = reading.read_str();
    if (!key || !field(*key, reading)) return std::nullopt;
  }
  return op_of(*name);
}

// Field readers: each consumes one value into `out` and gives false for the wrong form. Those that
// take nil leave `out` empty for it, since nil counts as an absent field.
bool skip(wire::Reading& reading);
bool target(wire::Reading& reading, std::optional<Target>& out);
bool target_or_nil(wire::Reading& reading, std::optional<Target>& out);
// Any integer form whose value fits a signed 64-bit integer.
bool integer(wire::Reading& reading, std::optional<std::int64_t>& out);
// Borrowed from the message.
bool bin(wire::Reading& reading, std::optional<ByteView>& out);
bool bin_or_nil(wire::Reading& reading, std::optional<ByteView>& out);
bool text_or_nil(wire::Reading& reading, std::optional<std::string_view>& out);
// A float64 or float32 that is a finite number: a time or duration of NaN or infinity would keep a
// waiter or a remembered id for ever, so such a value is the wrong form.
bool finite(wire::Reading& reading, std::optional<double>& out);
bool finite_or_nil(wire::Reading& reading, std::optional<double>& out);

// A part read as one integer that fits a signed 64-bit integer; none when it is missing or
// anything else.
std::optional<std::int64_t> integer_in(const Parts& parts, std::string_view name);
// A part read as one MessagePack item by `read` (wire::Reading& -> std::optional<T>); none when the
// part is missing.
template <class T, class Read>
std::optional<T> part(const Parts& parts, std::string_view name, Read&& read) {
  auto it = parts.find(std::string(name));
  if (it == parts.end()) return std::nullopt;
  wire::Reading reading(it->second);
  return read(reading);
}

// An array of maps read into records: `field(record, key, reading)` reads the value of one entry
// (false: unreadable) and `whole(record)` says whether a record has what it needs. Any unreadable
// part of it gives none.
template <class T, class Field, class Whole>
std::optional<std::vector<T>> records(wire::Reading& reading, Field&& field, Whole&& whole) {
  auto count = reading.read_array_len();
  if (!count) return std::nullopt;
  std::vector<T> out;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto entries = reading.read_map_len();
    if (!entries) return std::nullopt;
    T record{};
    for (std::uint64_t j = 0; j < *entries; ++j) {
      auto key = reading.read_str();
      if (!key || !field(record, *key, reading)) return std::nullopt;
    }
    if (!whole(record)) return std::nullopt;
    out.push_back(std::move(record));
  }
  return out;
}

}  // namespace vorel::core::collections::message
