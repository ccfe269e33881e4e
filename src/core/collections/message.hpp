// Reading the one message shape every collection takes, ["name", {field: value, ...}], and the
// tolerant reading of the parts the collections keep.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
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

// Readers of the values of records kept in parts, by the type they fill: a float64 or float32
// (whatever number it holds), an integer that fits a signed 64-bit integer, a str, a Target.
bool kept(wire::Reading& reading, double& out);
bool kept(wire::Reading& reading, Target& out);
bool kept(wire::Reading& reading, std::int64_t& out);
bool kept(wire::Reading& reading, std::string& out);

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

// A part holding an array of maps, read into records: `field(record, key, reading, found)` reads
// the value of one entry (false: unreadable) and sets in `found` the bits of the keys it found; a
// map without every bit of `required` is unreadable. A part that is missing or unreadable in any
// way gives no records.
template <class T, class Field>
std::vector<T> records_in(const Parts& parts, std::string_view name, unsigned required, Field&& field) {
  auto read = part<std::vector<T>>(parts, name, [&](wire::Reading& reading) -> std::optional<std::vector<T>> {
    auto count = reading.read_array_len();
    if (!count) return std::nullopt;
    std::vector<T> out;
    for (std::uint64_t i = 0; i < *count; ++i) {
      auto entries = reading.read_map_len();
      if (!entries) return std::nullopt;
      T record{};
      unsigned found = 0;
      for (std::uint64_t j = 0; j < *entries; ++j) {
        auto key = reading.read_str();
        if (!key || !field(record, *key, reading, found)) return std::nullopt;
      }
      if ((found & required) != required) return std::nullopt;
      out.push_back(std::move(record));
    }
    return out;
  });
  return read ? std::move(*read) : std::vector<T>{};
}

// The earliest of the times it is given that are finite numbers: a wake deadline.
class Earliest {
 public:
  void consider(double time) {
    if (std::isfinite(time) && (!at_ || time < *at_)) at_ = time;
  }
  std::optional<double> at() const { return at_; }

 private:
  std::optional<double> at_;
};

}  // namespace vorel::core::collections::message
