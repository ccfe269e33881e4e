// The shared pieces every node-to-node format is written and read with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"
#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/try.hpp"

namespace vorel::core::wire {

using msgpack::Malformed;
using msgpack::Result;

// The buffer of one wire message under construction.
class Writer {
 public:
  Writer() = default;
  explicit Writer(Bytes out) : out_(std::move(out)) {}

  Bytes& bytes() { return out_; }
  const Bytes& bytes() const { return out_; }
  Bytes take() { return std::move(out_); }

  // {"address": str or nil, "incarnation": bin 16}
  void node(const NodeId& n);
  // [kind, {"actor": ..., "key": ..., <n - 2 more entries written by the caller>}]
  void entity(std::string_view kind, std::uint64_t entries, std::string_view actor, std::string_view key);
  // ["e", actor, key] or ["r", address or nil, bin 16, id]
  void target(const Target& t);
  // [[name, bytes], ...] in the map's order of names.
  void pages(const Pages& pages);
  template <class T, class F>
  void optional(const std::optional<T>& value, F&& write) {
    if (value) {
      write(*this, *value);
    } else {
      msgpack::write_nil(out_);
    }
  }

  void str(std::string_view s) { msgpack::write_str(out_, s); }
  void bin(ByteView b) { msgpack::write_bin(out_, b); }
  void uint(std::uint64_t v) { msgpack::write_uint(out_, v); }
  void int_(std::int64_t v) { msgpack::write_int(out_, msgpack::Integer::of_signed(v)); }
  void f64(double v) { msgpack::write_f64(out_, v); }
  void boolean(bool v) { msgpack::write_bool(out_, v); }
  void nil() { msgpack::write_nil(out_); }
  void array(std::uint64_t n) { msgpack::write_array(out_, n); }
  void map(std::uint64_t n) { msgpack::write_map(out_, n); }

 private:
  Bytes out_;
};

// Typed reads over a payload: every wrong shape becomes a Malformed, never a failure of the process.
class Reading : public msgpack::Reader {
 public:
  using msgpack::Reader::Reader;

  // Any integer form, as signed 64-bit; an unsigned value above INT64_MAX is Marker 0x00.
  Result<std::int64_t> int_();
  // Any integer form, as unsigned 64-bit; a negative value is Marker 0x00.
  Result<std::uint64_t> unsigned_();
  // True when it consumed a nil; false, consuming nothing, when the next value is another kind.
  Result<bool> nil();
  // An array of exactly two whose first element is a str: that str, borrowed.
  Result<std::string_view> tag();
  // [tag, map]: the tag, owned, and the map's entry count (the header is consumed).
  Result<std::pair<std::string, std::uint64_t>> tagged();
  Result<std::uint64_t> items() { return read_array_len(); }
  Result<std::string> text();
  Result<Bytes> bytes();
  Result<double> float_() { return read_float(); }
  // nil or a str.
  Result<std::optional<std::string>> address();
  Result<NodeId> node();
  Result<Target> target();
  // [[name, bytes], ...]; a name given twice keeps its later bytes.
  Result<Pages> pages();

  // The `count` entries of a map whose header is read: `field(key)` reads the value of a key it
  // knows and gives true, or gives false and the value is skipped whole. A later entry of a key
  // is read after an earlier one, so the field that stores it keeps the last.
  template <class F>
  Result<void> fields(std::uint64_t count, F&& field) {
    for (std::uint64_t i = 0; i < count; ++i) {
      auto key = read_str();
      if (!key) return std::unexpected(key.error());
      auto known = field(*key);
      if (!known) return std::unexpected(known.error());
      if (!*known) {
        if (auto skipped = skip(); !skipped) return skipped;
      }
    }
    return {};
  }
  // An array whose every element `element()` reads.
  template <class T, class F>
  Result<std::vector<T>> list(F&& element) {
    auto count = items();
    if (!count) return std::unexpected(count.error());
    std::vector<T> out;
    for (std::uint64_t i = 0; i < *count; ++i) {
      auto value = element();
      if (!value) return std::unexpected(value.error());
      out.push_back(std::move(*value));
    }
    return out;
  }
  // A map header, then its entries as `fields` reads them.
  template <class F>
  Result<void> map(F&& field) {
    auto count = read_map_len();
    if (!count) return std::unexpected(count.error());
    return fields(*count, std::forward<F>(field));
  }
};

// Stores what a field reader read into its slot; for the readers given to Reading::map.
template <class Slot, class T>
Result<bool> into(Slot& slot, Result<T> value) {
  if (!value) return std::unexpected(value.error());
  slot = std::move(*value);
  return true;
}

}  // namespace vorel::core::wire
