#include "core/collections/message.hpp"

#include <cmath>
#include <string>

namespace vorel::core::collections::message {

std::string_view op_of(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

bool skip(wire::Reading& reading) { return reading.skip().has_value(); }

bool target(wire::Reading& reading, std::optional<Target>& out) {
  auto t = reading.target();
  if (!t) return false;
  out = std::move(*t);
  return true;
}

bool target_or_nil(wire::Reading& reading, std::optional<Target>& out) {
  auto nil = reading.nil();
  if (!nil) return false;
  if (*nil) {
    out.reset();
    return true;
  }
  return target(reading, out);
}

bool integer(wire::Reading& reading, std::optional<std::int64_t>& out) {
  auto v = reading.int_();
  if (!v) return false;
  out = *v;
  return true;
}

bool bin(wire::Reading& reading, std::optional<ByteView>& out) {
  auto b = reading.read_bin();
  if (!b) return false;
  out = *b;
  return true;
}

bool bin_or_nil(wire::Reading& reading, std::optional<ByteView>& out) {
  auto nil = reading.nil();
  if (!nil) return false;
  if (*nil) {
    out.reset();
    return true;
  }
  return bin(reading, out);
}

bool text_or_nil(wire::Reading& reading, std::optional<std::string_view>& out) {
  auto nil = reading.nil();
  if (!nil) return false;
  if (*nil) {
    out.reset();
    return true;
  }
  auto s = reading.read_str();
  if (!s) return false;
  out = *s;
  return true;
}

bool finite(wire::Reading& reading, std::optional<double>& out) {
  auto v = reading.read_float();
  if (!v || !std::isfinite(*v)) return false;
  out = *v;
  return true;
}

bool finite_or_nil(wire::Reading& reading, std::optional<double>& out) {
  auto nil = reading.nil();
  if (!nil) return false;
  if (*nil) {
    out.reset();
    return true;
  }
  return finite(reading, out);
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
