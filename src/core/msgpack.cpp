#include "core/msgpack.hpp"

#include <bit>

#include <fmt/format.h>

namespace vorel::core::msgpack {

struct Appender::Scratch {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t capacity = 0;
  bool busy = false;
};

namespace {

// Most values fit in the first buffer, so it need not grow step by step; a buffer that grew past
// the kept size for one large value is not held by the thread afterwards.
constexpr std::size_t kFirst = 256;
constexpr std::size_t kKept = std::size_t{64} << 10;

Appender::Scratch& scratch() {
  thread_local Appender::Scratch s;
  return s;
}

}  // namespace

Appender::Appender(Bytes* out) : out_(out), held_(&scratch()) {
  if (held_->busy) {
    held_ = nullptr;
    own_.reset(new std::uint8_t[kFirst]);
    data_ = own_.get();
    capacity_ = kFirst;
    return;
  }
  held_->busy = true;
  if (!held_->data) {
    held_->data.reset(new std::uint8_t[kFirst]);
    held_->capacity = kFirst;
  }
  data_ = held_->data.get();
  capacity_ = held_->capacity;
}

Appender::~Appender() {
  if (out_ != nullptr) out_->insert(out_->end(), data_, data_ + size_);
  if (held_ == nullptr) return;
  if (held_->capacity > kKept) {
    held_->data.reset();
    held_->capacity = 0;
  }
  held_->busy = false;
}

void Appender::grow(std::size_t n) {
  const std::size_t capacity = std::max(2 * capacity_, size_ + n);
  std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[capacity]);
  std::memcpy(bigger.get(), data_, size_);
  data_ = bigger.get();
  capacity_ = capacity;
  if (held_ == nullptr) {
    own_ = std::move(bigger);
    return;
  }
  held_->data = std::move(bigger);
  held_->capacity = capacity;
}

std::string Malformed::text() const {
  switch (tag) {
    case Tag::Truncated:
      return "the payload ends in the middle of a value";
    case Tag::Marker:
      return fmt::format("msgpack marker 0x{:02x} is not a value of this library", byte);
    case Tag::NotUtf8:
      return "a string is not UTF-8";
    case Tag::Trailing:
      return "the payload holds more than one value";
  }
  return "the payload ends in the middle of a value";
}

void write_uint(Bytes& out, std::uint64_t v) {
  detail::Into into{out};
  detail::uint(into, v);
}

void write_int(Bytes& out, Integer value) {
  detail::Into into{out};
  detail::integer(into, value);
}

void write_count(Bytes& out, std::uint64_t count, std::uint8_t fix, std::uint8_t m16, std::uint8_t m32) {
  detail::Into into{out};
  detail::count(into, count, fix, m16, m32);
}

void write_str(Bytes& out, std::string_view text) {
  detail::Into into{out};
  detail::str(into, text);
}

void write_bin(Bytes& out, ByteView bytes) {
  detail::Into into{out};
  detail::bin(into, bytes);
}

void write_f64(Bytes& out, double value) {
  detail::Into into{out};
  detail::put_be(into, 0xcb, std::bit_cast<std::uint64_t>(value));
}

Result<Kind> kind_of(std::uint8_t m) {
  if (m <= 0x7f || m >= 0xe0 || (m >= 0xcc && m <= 0xd3)) return Kind::Int;
  if ((m >= 0x80 && m <= 0x8f) || m == 0xde || m == 0xdf) return Kind::Map;
  if ((m >= 0x90 && m <= 0x9f) || m == 0xdc || m == 0xdd) return Kind::Array;
  if ((m >= 0xa0 && m <= 0xbf) || (m >= 0xd9 && m <= 0xdb)) return Kind::Str;
  if (m == 0xc0) return Kind::Nil;
  if (m == 0xc2 || m == 0xc3) return Kind::Bool;
  if (m >= 0xc4 && m <= 0xc6) return Kind::Bin;
  if (m == 0xca || m == 0xcb) return Kind::Float;
  return std::unexpected(Malformed::marker(m));
}

Result<Kind> Reader::kind() const {
  auto m = peek();
  if (!m) return std::unexpected(m.error());
  return kind_of(*m);
}

Result<Integer> Reader::read_int() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  const std::uint8_t m = *mr;
  if (m <= 0x7f) return Integer::of_unsigned(m);
  if (m >= 0xe0) return Integer::of_signed(static_cast<std::int8_t>(m));
  if (m < 0xcc || m > 0xd3) return std::unexpected(Malformed::marker(m));
  const int width = 1 << ((m - 0xcc) & 3);
  if (remaining() < static_cast<std::size_t>(width)) return std::unexpected(Malformed::truncated());
  std::uint64_t bits = 0;
  for (int i = 0; i < width; ++i) bits = (bits << 8) | data_[pos_ + i];
  pos_ += width;
  if (m <= 0xcf) return Integer::of_unsigned(bits);
  // Sign-extend from the form's width.
  const int shift = 64 - 8 * width;
  return Integer::of_signed(static_cast<std::int64_t>(bits << shift) >> shift);
}

namespace {
// Reads the length of a str or bin whose marker was already taken, for the three sized forms.
Result<std::uint64_t> sized_length(Reader& r, int width) {
  switch (width) {
    case 1: return r.take_be<std::uint8_t>();
    case 2: return r.take_be<std::uint16_t>();
    default: return r.take_be<std::uint32_t>();
  }
}
}  // namespace

Result<std::string_view> Reader::read_str() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  const std::uint8_t m = *mr;
  std::uint64_t n;
  if (m >= 0xa0 && m <= 0xbf) {
    n = m & 0x1f;
  } else if (m >= 0xd9 && m <= 0xdb) {
    auto len = sized_length(*this, 1 << (m - 0xd9));
    if (!len) return std::unexpected(len.error());
    n = *len;
  } else {
    return std::unexpected(Malformed::marker(m));
  }
  auto bytes = take(n);
  if (!bytes) return std::unexpected(bytes.error());
  if (!valid_utf8(*bytes)) return std::unexpected(Malformed::not_utf8());
  return text_of(*bytes);
}

Result<ByteView> Reader::read_bin() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  const std::uint8_t m = *mr;
  if (m < 0xc4 || m > 0xc6) return std::unexpected(Malformed::marker(m));
  auto len = sized_length(*this, 1 << (m - 0xc4));
  if (!len) return std::unexpected(len.error());
  return take(*len);
}

Result<void> Reader::read_nil() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  if (*mr != kNil) return std::unexpected(Malformed::marker(*mr));
  return {};
}

Result<bool> Reader::read_bool() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  if (*mr == kTrue) return true;
  if (*mr == kFalse) return false;
  return std::unexpected(Malformed::marker(*mr));
}

Result<double> Reader::read_float() {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  if (*mr == 0xcb) {
    auto v = take_be<std::uint64_t>();
    if (!v) return std::unexpected(v.error());
    return std::bit_cast<double>(*v);
  }
  if (*mr == 0xca) {
    auto v = take_be<std::uint32_t>();
    if (!v) return std::unexpected(v.error());
    return static_cast<double>(std::bit_cast<float>(*v));
  }
  return std::unexpected(Malformed::marker(*mr));
}

Result<std::uint64_t> Reader::read_count(std::uint8_t fix, std::uint8_t m16, std::uint8_t m32) {
  auto mr = take_byte();
  if (!mr) return std::unexpected(mr.error());
  const std::uint8_t m = *mr;
  std::uint64_t n;
  if ((m & 0xf0) == fix) {
    n = m & 0x0f;
  } else if (m == m16) {
    auto v = take_be<std::uint16_t>();
    if (!v) return std::unexpected(v.error());
    n = *v;
  } else if (m == m32) {
    auto v = take_be<std::uint32_t>();
    if (!v) return std::unexpected(v.error());
    n = *v;
  } else {
    return std::unexpected(Malformed::marker(m));
  }
  // Every element takes at least one byte: a count above what is left cannot be honest,
  // and callers may size containers by it.
  if (n > remaining()) return std::unexpected(Malformed::truncated());
  return n;
}

Result<std::uint64_t> Reader::read_array_len() { return read_count(kArray.fix, kArray.m16, kArray.m32); }
Result<std::uint64_t> Reader::read_map_len() { return read_count(kMap.fix, kMap.m16, kMap.m32); }

Result<void> Reader::skip() {
  std::uint64_t pending = 1;
  while (pending > 0) {
    auto k = kind();
    if (!k) return std::unexpected(k.error());
    --pending;
    switch (*k) {
      case Kind::Nil:
        if (auto r = read_nil(); !r) return r;
        break;
      case Kind::Bool:
        if (auto r = read_bool(); !r) return std::unexpected(r.error());
        break;
      case Kind::Int:
        if (auto r = read_int(); !r) return std::unexpected(r.error());
        break;
      case Kind::Float:
        if (auto r = read_float(); !r) return std::unexpected(r.error());
        break;
      case Kind::Str:
        if (auto r = read_str(); !r) return std::unexpected(r.error());
        break;
      case Kind::Bin:
        if (auto r = read_bin(); !r) return std::unexpected(r.error());
        break;
      case Kind::Array: {
        auto n = read_array_len();
        if (!n) return std::unexpected(n.error());
        pending += *n;
        break;
      }
      case Kind::Map: {
        auto n = read_map_len();
        if (!n) return std::unexpected(n.error());
        pending += 2 * *n;
        break;
      }
    }
  }
  return {};
}

}  // namespace vorel::core::msgpack
