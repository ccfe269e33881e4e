// The shared pieces every node-to-node format is written and read with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"
#include "core/node.hpp"
#include "core/pages.hpp"

// In a reader returning a msgpack::Result: reads into `var`, or returns the read's failure.
#define VOREL_READ(var, expr)       \
  auto var = (expr);                \
  if (!var) return std::unexpected(std::move(var).error())

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
};

}  // namespace vorel::core::wire
