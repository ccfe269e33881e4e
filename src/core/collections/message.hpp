// Reading the one message shape every collection takes, ["name", {field: value, ...}], and the
// tolerant reading of the parts the collections keep.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <initializer_list>
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

// A message as read: its whole name, which texts show, and the op it stands for; both borrowed.
struct Named {
  std::string_view name;
  std::string_view op;
};

// A field reader's verdict on one value: read, or the form the value should have had.
struct Checked {
  // Empty when the value was read.
  std::string_view wanted;

  explicit operator bool() const { return wanted.empty(); }
};

// What a value is, for a refusal text: "nil", "-3", "inf", "a str", "5 bytes", "a ref to a reply",
// ... The reading is a copy positioned at the value.
std::string shown(wire::Reading reading);

// Texts of a refused message.
inline constexpr std::string_view kShapeless = "the message is not [name, {field: value, ...}]";
std::string cut_short(std::string_view name, std::string_view field);
std::string wrong(std::string_view name, std::string_view field, std::string_view found, std::string_view wanted);
// "a counter has no op "Sub"": `kind` in words with its article, as "a table segment".
std::string unknown(std::string_view kind, const Named& message);
// The first field an op needs that the message lacks, each given with whether it is there, as the
// text of the refusal; none when the message has them all.
std::optional<std::string> lacking(const Named& message,
                                   std::initializer_list<std::pair<std::string_view, bool>> needed);

// Reads a collection message, handing each field's name and the reading, positioned at its value,
// to `field`, which must consume the value whole (skipping a field it does not know) and gives its
// verdict. A later field of the same name overwrites an earlier one when `field` simply assigns.
// Gives the name and op, borrowed from `bytes`, or the text of the refusal, which names the field
// of the wrong form; bytes after the fields are not looked at.
template <class Field>
std::expected<Named, std::string> read(ByteView bytes, Field&& field) {
  const auto shapeless = [] { return std::unexpected(std::string(kShapeless)); };
  wire::Reading reading(bytes);
  auto name = reading.tag();
  if (!name) return shapeless();
  auto count = reading.read_map_len();
  if (!count) return shapeless();
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto key = reading.read_str();
    if (!key) return shapeless();
    const wire::Reading at = reading;
    if (const Checked checked = field(*key, reading); !checked) {
      wire::Reading whole = at;
      if (!whole.skip()) return std::unexpected(cut_short(*name, *key));
      return std::unexpected(wrong(*name, *key, shown(at), checked.wanted));
    }
  }
  return Named{*name, op_of(*name)};
}

// Field readers: each consumes one value into `out`, or refuses a value of the wrong form. Those
// that take nil leave `out` empty for it, since nil counts as an absent field.
Checked skip(wire::Reading& reading);
Checked target(wire::Reading& reading, std::optional<Target>& out);
Checked target_or_nil(wire::Reading& reading, std::optional<Target>& out);
// The target of a key: a collection asks it, and an ask goes to a key, never to a reply target.
Checked entity(wire::Reading& reading, std::optional<Target>& out);
// Any integer form whose value fits a signed 64-bit integer.
Checked integer(wire::Reading& reading, std::optional<std::int64_t>& out);
// As `integer`, and not negative.
Checked natural(wire::Reading& reading, std::optional<std::int64_t>& out);
// Borrowed from the message.
Checked bin(wire::Reading& reading, std::optional<ByteView>& out);
Checked bin_or_nil(wire::Reading& reading, std::optional<ByteView>& out);
// A bin of exactly 16 bytes, borrowed.
Checked sixteen(wire::Reading& reading, std::optional<ByteView>& out);
Checked text_or_nil(wire::Reading& reading, std::optional<std::string_view>& out);
// A float64 or float32 that is a finite number: a time or duration of NaN or infinity would keep a
// waiter or a remembered id for ever, so such a value is the wrong form.
Checked finite(wire::Reading& reading, std::optional<double>& out);
Checked finite_or_nil(wire::Reading& reading, std::optional<double>& out);

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
