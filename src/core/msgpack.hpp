// The MessagePack codec that every byte format of the system shares: writers that append one
// value header or scalar in its smallest form, and a cursor that reads a borrowed slice.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/bytes.hpp"

namespace vorel::core::msgpack {

enum class Kind : std::uint8_t { Nil, Bool, Int, Float, Str, Bin, Array, Map };

// An integer as it was written: the form (not the value) decides the variant.
struct Integer {
  enum class Form : std::uint8_t { Unsigned, Signed };
  Form form = Form::Unsigned;
  std::uint64_t bits = 0;  // two's-complement bits of the value

  static constexpr Integer of_unsigned(std::uint64_t v) { return {Form::Unsigned, v}; }
  static constexpr Integer of_signed(std::int64_t v) { return {Form::Signed, static_cast<std::uint64_t>(v)}; }
  constexpr bool is_signed() const { return form == Form::Signed; }
  constexpr bool negative() const { return is_signed() && static_cast<std::int64_t>(bits) < 0; }
  constexpr std::uint64_t as_unsigned() const { return bits; }
  constexpr std::int64_t as_signed() const { return static_cast<std::int64_t>(bits); }
  friend constexpr bool operator==(const Integer&, const Integer&) = default;
};

struct Malformed {
  enum class Tag : std::uint8_t { Truncated, Marker, NotUtf8, Trailing };
  Tag tag = Tag::Truncated;
  std::uint8_t byte = 0;  // only for Marker

  static constexpr Malformed truncated() { return {Tag::Truncated, 0}; }
  static constexpr Malformed marker(std::uint8_t b) { return {Tag::Marker, b}; }
  static constexpr Malformed not_utf8() { return {Tag::NotUtf8, 0}; }
  static constexpr Malformed trailing() { return {Tag::Trailing, 0}; }

  std::string text() const;
  friend constexpr bool operator==(const Malformed&, const Malformed&) = default;
};

template <class T>
using Result = std::expected<T, Malformed>;

inline constexpr std::uint8_t kNil = 0xc0;
inline constexpr std::uint8_t kFalse = 0xc2;
inline constexpr std::uint8_t kTrue = 0xc3;

// Markers of write_count: arrays and maps.
struct CountMarkers {
  std::uint8_t fix, m16, m32;
};
inline constexpr CountMarkers kArray{0x90, 0xdc, 0xdd};
inline constexpr CountMarkers kMap{0x80, 0xde, 0xdf};

// Appends to a byte buffer through a cursor of its own, for a writer that makes many small writes:
// a write is a store, not a call into the vector. The bytes gather in a buffer the thread keeps
// from one value to the next and are copied after what `out` held when the appender goes, so
// `out` is given exactly the room it uses and no byte is zeroed before it is written. An appender
// made while another is at work on the same thread (a Python method the writer calls may write a
// value) gathers in a buffer of its own.
class Appender {
 public:
  explicit Appender(Bytes& out) : Appender(&out) {}
  // Gathers bytes that are only read through `written()`, not given to a buffer.
  Appender() : Appender(nullptr) {}
  ~Appender();
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  // What was written through this appender so far; `out` is given it when the appender goes.
  std::size_t size() const { return size_; }
  ByteView written() const { return {data_, size_}; }
  void push_back(std::uint8_t b) {
    room(1);
    data_[size_++] = b;
  }
  void append(const void* data, std::size_t n) {
    room(n);
    std::memcpy(data_ + size_, data, n);
    size_ += n;
  }

  struct Scratch;

 private:
  void room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
  }
  explicit Appender(Bytes* out);
  void grow(std::size_t n);

  Bytes* out_;
  Scratch* held_;  // the thread's buffer while this appender has it, else null
  std::unique_ptr<std::uint8_t[]> own_;  // the buffer of an appender that does not have the thread's
  std::uint8_t* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

namespace detail {

// The encoders, over any sink with push_back(byte) and append(data, n).
struct Into {
  Bytes& out;
  void push_back(std::uint8_t b) { out.push_back(b); }
  void append(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + n);
  }
};

template <class Sink, class U>
inline void put_be(Sink& out, std::uint8_t marker, U value) {
  std::uint8_t buf[1 + sizeof(U)];
  buf[0] = marker;
  for (std::size_t i = 0; i < sizeof(U); ++i) {
    buf[1 + i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(U) - 1 - i)));
  }
  out.append(buf, sizeof buf);
}

template <class Sink>
inline void uint(Sink& out, std::uint64_t v) {
  if (v <= 0x7f) {
    out.push_back(static_cast<std::uint8_t>(v));
  } else if (v <= 0xff) {
    put_be(out, 0xcc, static_cast<std::uint8_t>(v));
  } else if (v <= 0xffff) {
    put_be(out, 0xcd, static_cast<std::uint16_t>(v));
  } else if (v <= 0xffffffffu) {
    put_be(out, 0xce, static_cast<std::uint32_t>(v));
  } else {
    put_be(out, 0xcf, v);
  }
}

template <class Sink>
inline void integer(Sink& out, Integer value) {
  if (!value.negative()) {
    uint(out, value.bits);
    return;
  }
  const std::int64_t v = value.as_signed();
  if (v >= -32) {
    out.push_back(static_cast<std::uint8_t>(v));
  } else if (v >= -128) {
    put_be(out, 0xd0, static_cast<std::uint8_t>(v));
  } else if (v >= -32768) {
    put_be(out, 0xd1, static_cast<std::uint16_t>(v));
  } else if (v >= -2147483648ll) {
    put_be(out, 0xd2, static_cast<std::uint32_t>(v));
  } else {
    put_be(out, 0xd3, static_cast<std::uint64_t>(v));
  }
}

template <class Sink>
inline void count(Sink& out, std::uint64_t n, std::uint8_t fix, std::uint8_t m16, std::uint8_t m32) {
  if (n <= 15) {
    out.push_back(static_cast<std::uint8_t>(fix | n));
  } else if (n <= 0xffff) {
    put_be(out, m16, static_cast<std::uint16_t>(n));
  } else {
    put_be(out, m32, static_cast<std::uint32_t>(n));
  }
}

template <class Sink>
inline void str(Sink& out, std::string_view text) {
  const std::uint64_t n = text.size();
  if (n <= 31) {
    out.push_back(static_cast<std::uint8_t>(0xa0 | n));
  } else if (n <= 0xff) {
    put_be(out, 0xd9, static_cast<std::uint8_t>(n));
  } else if (n <= 0xffff) {
    put_be(out, 0xda, static_cast<std::uint16_t>(n));
  } else {
    put_be(out, 0xdb, static_cast<std::uint32_t>(n));
  }
  out.append(text.data(), text.size());
}

template <class Sink>
inline void bin(Sink& out, ByteView bytes) {
  const std::uint64_t n = bytes.size();
  if (n <= 0xff) {
    put_be(out, 0xc4, static_cast<std::uint8_t>(n));
  } else if (n <= 0xffff) {
    put_be(out, 0xc5, static_cast<std::uint16_t>(n));
  } else {
    put_be(out, 0xc6, static_cast<std::uint32_t>(n));
  }
  out.append(bytes.data(), bytes.size());
}

}  // namespace detail

void write_uint(Bytes& out, std::uint64_t value);
void write_int(Bytes& out, Integer value);
inline void write_int(Bytes& out, std::int64_t value) { write_int(out, Integer::of_signed(value)); }
void write_count(Bytes& out, std::uint64_t count, std::uint8_t fix, std::uint8_t m16, std::uint8_t m32);
inline void write_count(Bytes& out, std::uint64_t count, CountMarkers m) { write_count(out, count, m.fix, m.m16, m.m32); }
inline void write_array(Bytes& out, std::uint64_t count) { write_count(out, count, kArray); }
inline void write_map(Bytes& out, std::uint64_t count) { write_count(out, count, kMap); }
void write_str(Bytes& out, std::string_view text);
void write_bin(Bytes& out, ByteView bytes);
void write_f64(Bytes& out, double value);
inline void write_nil(Bytes& out) { out.push_back(kNil); }
inline void write_bool(Bytes& out, bool value) { out.push_back(value ? kTrue : kFalse); }

// The same writers through an Appender, inlined into the writer that makes many of them.
inline void write_uint(Appender& out, std::uint64_t value) { detail::uint(out, value); }
inline void write_int(Appender& out, Integer value) { detail::integer(out, value); }
inline void write_int(Appender& out, std::int64_t value) { detail::integer(out, Integer::of_signed(value)); }
inline void write_array(Appender& out, std::uint64_t n) { detail::count(out, n, kArray.fix, kArray.m16, kArray.m32); }
inline void write_map(Appender& out, std::uint64_t n) { detail::count(out, n, kMap.fix, kMap.m16, kMap.m32); }
inline void write_str(Appender& out, std::string_view text) { detail::str(out, text); }
inline void write_bin(Appender& out, ByteView bytes) { detail::bin(out, bytes); }
inline void write_f64(Appender& out, double value) { detail::put_be(out, 0xcb, std::bit_cast<std::uint64_t>(value)); }
inline void write_nil(Appender& out) { out.push_back(kNil); }
inline void write_bool(Appender& out, bool value) { out.push_back(value ? kTrue : kFalse); }

// A cursor over a borrowed slice. It never reads outside the slice; after a failure the
// caller abandons the payload.
class Reader {
 public:
  Reader() = default;
  explicit Reader(ByteView data) : data_(data) {}

  Result<Kind> kind() const;
  Result<Integer> read_int();
  Result<std::string_view> read_str();
  Result<ByteView> read_bin();
  Result<void> read_nil();
  Result<std::uint64_t> read_array_len();
  Result<void> skip();

  // Low-level access for the formats built on this codec (maps, bools, floats).
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }
  ByteView data() const { return data_; }
  ByteView rest() const { return data_.subspan(pos_); }
  Result<std::uint8_t> peek() const {
    if (pos_ >= data_.size()) return std::unexpected(Malformed::truncated());
    return data_[pos_];
  }
  Result<std::uint8_t> take_byte() {
    if (pos_ >= data_.size()) return std::unexpected(Malformed::truncated());
    return data_[pos_++];
  }
  Result<ByteView> take(std::uint64_t n) {
    if (n > remaining()) return std::unexpected(Malformed::truncated());
    ByteView v = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return v;
  }
  template <class U>
  Result<U> take_be() {
    if (remaining() < sizeof(U)) return std::unexpected(Malformed::truncated());
    U v = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>((v << 8) | data_[pos_ + i]);
    pos_ += sizeof(U);
    return v;
  }

  // A map header: fixmap, map 16, map 32, with the same count check as arrays.
  Result<std::uint64_t> read_map_len();
  Result<bool> read_bool();
  // 0xca (widened) or 0xcb.
  Result<double> read_float();

 private:
  Result<std::uint64_t> read_count(std::uint8_t fix, std::uint8_t m16, std::uint8_t m32);

  ByteView data_{};
  std::size_t pos_ = 0;
};

// The kind of a marker byte, or the Marker failure for reserved and extension markers.
Result<Kind> kind_of(std::uint8_t marker);

}  // namespace vorel::core::msgpack
