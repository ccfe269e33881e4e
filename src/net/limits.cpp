#include "net/limits.hpp"

#include <fmt/format.h>

namespace vorel::net {

namespace {
constexpr std::uint64_t kWire = 1ull << 32;
}

std::expected<void, std::string> Limits::checked() const {
  if (frame < 1 || frame >= kWire) {
    return std::unexpected(fmt::format("limits.frame of {} is not between 1 and {}", frame, kWire - 1));
  }
  if (window < 1 || window >= kWire) {
    return std::unexpected(fmt::format("limits.window of {} is not between 1 and {}", window, kWire - 1));
  }
  if (message >= kWire - 256) {
    return std::unexpected(fmt::format("limits.message of {} is not below {}", message, kWire - 256));
  }
  return {};
}

}  // namespace vorel::net
