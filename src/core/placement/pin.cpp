#include "core/placement/pin.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace vorel::core::placement {

std::string pin(std::string_view address, std::string_view key) { return fmt::format("@{}/{}", address, key); }

std::optional<std::string_view> pinned(std::string_view key) {
  if (key.empty() || key.front() != '@') return std::nullopt;
  auto slash = key.find('/', 1);
  if (slash == std::string_view::npos) return std::nullopt;
  auto where = key.substr(1, slash - 1);
  // The last colon splits, so a host may itself hold colons (a bracketed IPv6 address).
  auto colon = where.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto port = where.substr(colon + 1);
  if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return where;
}

}  // namespace vorel::core::placement
