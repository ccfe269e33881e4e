#include "core/outcome.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace vorel::core {

namespace {
constexpr std::array<std::string_view, std::variant_size_v<Outcome::Variant>> kNames = {
    "Value", "Failed", "Missing", "Full", "Unreached", "Unknown", "TooLarge", "Cycle"};
}  // namespace

Outcome Outcome::full(std::string_view actor, std::string_view key) {
  return {Full{std::string(actor), std::string(key)}};
}

Outcome Outcome::missing(std::string_view actor, std::string_view key) {
  return {Missing{std::string(actor), std::string(key)}};
}

Outcome Outcome::unreached(std::string_view actor, std::string_view key) {
  return {Unreached{std::string(actor), std::string(key)}};
}

std::span<const std::string_view> Outcome::names() { return kNames; }

std::string_view Outcome::name() const {
  // Only a failed allocation while replacing the variant leaves it without a value.
  if (variant.valueless_by_exception()) {
    std::fputs("vorel: an outcome has lost its variant\n", stderr);
    std::abort();
  }
  return kNames[variant.index()];
}

}  // namespace vorel::core
