#include "core/collections/message.hpp"

#include <cmath>
#include <string>

#include <fmt/format.h>

namespace vorel::core::collections::message {

std::string_view op_of(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

namespace {
constexpr Checked kRead{};
constexpr Checked kInteger{"an integer in the signed 64-bit range"};
constexpr Checked kNatural{"an integer from 0 to 9223372036854775807"};
constexpr Checked kTarget{"a ref"};
constexpr Checked kTargetOrNil{"a ref or nil"};
constexpr Checked kEntity{"a ref to a key"};
constexpr Checked kBytes{"bytes"};
constexpr Checked kBytesOrNil{"bytes or nil"};
constexpr Checked kSixteen{"16 bytes"};
constexpr Checked kTextOrNil{"a str or nil"};
constexpr Checked kFinite{"a finite float"};
constexpr Checked kFiniteOrNil{"a finite float or nil"};
constexpr Checked kItem{"one complete item"};

// Reads nil into an empty `out`, or hands the value to `read`.
template <class T, class Read>
Checked or_nil(wire::Reading& reading, std::optional<T>& out, Checked wanted, Read&& read) {
  auto nil = reading.nil();
  if (!nil) return wanted;
  if (*nil) {
    out.reset();
    return kRead;
  }
  return read(reading, out) ? kRead : wanted;
}
}  // namespace

std::string shown(wire::Reading reading) {
  if (wire::Reading as_target = reading; auto t = as_target.target()) {
    return t->as_entity() != nullptr ? "a ref to a key" : "a ref to a reply";
  }
  auto kind = reading.kind();
  if (!kind) return "unreadable";
  switch (*kind) {
    case msgpack::Kind::Nil: return "nil";
    case msgpack::Kind::Bool: {
      auto b = reading.read_bool();
      return !b ? "unreadable" : *b ? "true" : "false";
    }
    case msgpack::Kind::Int: {
      auto i = reading.read_int();
      if (!i) return "unreadable";
      return i->is_signed() ? fmt::format("{}", i->as_signed()) : fmt::format("{}", i->as_unsigned());
    }
    case msgpack::Kind::Float: {
      auto f = reading.read_float();
      return f ? fmt::format("{}", *f) : "unreadable";
    }
    case msgpack::Kind::Str: return "a str";
    case msgpack::Kind::Bin: {
      auto b = reading.read_bin();
      if (!b) return "unreadable";
      return b->size() == 1 ? "1 byte" : fmt::format("{} bytes", b->size());
    }
    case msgpack::Kind::Array: return "an array";
    case msgpack::Kind::Map: return "a map";
  }
  return "unreadable";
}

std::string cut_short(std::string_view name, std::string_view field) {
  return fmt::format("{}: field \"{}\" is not {}", name, field, kItem.wanted);
}

std::string wrong(std::string_view name, std::string_view field, std::string_view found, std::string_view wanted) {
  return fmt::format("{}: field \"{}\" is {}, not {}", name, field, found, wanted);
}

std::string unknown(std::string_view kind, const Named& message) {
  return fmt::format("{} has no op \"{}\"", kind, message.op);
}

std::optional<std::string> lacking(const Named& message,
                                   std::initializer_list<std::pair<std::string_view, bool>> needed) {
  for (const auto& [field, there] : needed) {
    if (!there) return fmt::format("{}: field \"{}\" is missing", message.name, field);
  }
  return std::nullopt;
}

Checked skip(wire::Reading& reading) { return reading.skip() ? kRead : kItem; }

Checked target(wire::Reading& reading, std::optional<Target>& out) {
  auto t = reading.target();
  if (!t) return kTarget;
  out = std::move(*t);
  return kRead;
}

Checked entity(wire::Reading& reading, std::optional<Target>& out) {
  auto t = reading.target();
  if (!t || t->as_entity() == nullptr) return kEntity;
  out = std::move(*t);
  return kRead;
}

Checked target_or_nil(wire::Reading& reading, std::optional<Target>& out) {
  return or_nil(reading, out, kTargetOrNil, [](wire::Reading& r, std::optional<Target>& o) { return bool(target(r, o)); });
}

Checked integer(wire::Reading& reading, std::optional<std::int64_t>& out) {
  auto v = reading.int_();
  if (!v) return kInteger;
  out = *v;
  return kRead;
}

Checked natural(wire::Reading& reading, std::optional<std::int64_t>& out) {
  auto v = reading.int_();
  if (!v || *v < 0) return kNatural;
  out = *v;
  return kRead;
}

Checked bin(wire::Reading& reading, std::optional<ByteView>& out) {
  auto b = reading.read_bin();
  if (!b) return kBytes;
  out = *b;
  return kRead;
}

Checked bin_or_nil(wire::Reading& reading, std::optional<ByteView>& out) {
  return or_nil(reading, out, kBytesOrNil, [](wire::Reading& r, std::optional<ByteView>& o) { return bool(bin(r, o)); });
}

Checked sixteen(wire::Reading& reading, std::optional<ByteView>& out) {
  auto b = reading.read_bin();
  if (!b || b->size() != 16) return kSixteen;
  out = *b;
  return kRead;
}

Checked text_or_nil(wire::Reading& reading, std::optional<std::string_view>& out) {
  return or_nil(reading, out, kTextOrNil, [](wire::Reading& r, std::optional<std::string_view>& o) {
    auto s = r.read_str();
    if (!s) return false;
    o = *s;
    return true;
  });
}

Checked finite(wire::Reading& reading, std::optional<double>& out) {
  auto v = reading.read_float();
  if (!v || !std::isfinite(*v)) return kFinite;
  out = *v;
  return kRead;
}

Checked finite_or_nil(wire::Reading& reading, std::optional<double>& out) {
  return or_nil(reading, out, kFiniteOrNil, [](wire::Reading& r, std::optional<double>& o) { return bool(finite(r, o)); });
}

bool kept(wire::Reading& reading, double& out) {
  auto v = reading.read_float();
  if (!v) return false;
  out = *v;
  return true;
}

bool kept(wire::Reading& reading, std::int64_t& out) {
  auto v = reading.int_();
  if (!v) return false;
  out = *v;
  return true;
}

bool kept(wire::Reading& reading, std::string& out) {
  auto v = reading.read_str();
  if (!v) return false;
  out = std::string(*v);
  return true;
}

bool kept(wire::Reading& reading, Target& out) {
  auto v = reading.target();
  if (!v) return false;
  out = std::move(*v);
  return true;
}

std::optional<std::int64_t> integer_in(const Parts& parts, std::string_view name) {
  return part<std::int64_t>(parts, name, [](wire::Reading& r) -> std::optional<std::int64_t> {
    auto v = r.int_();
    if (!v) return std::nullopt;
    return *v;
  });
}

}  // namespace vorel::core::collections::message
