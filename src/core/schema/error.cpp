#include "core/schema/error.hpp"

#include <fmt/format.h>

namespace vorel::core::schema::error {

SchemaError SchemaError::at(const std::vector<std::string>& path, std::string_view problem) {
  if (path.empty()) return {std::string(problem)};
  return {fmt::format("{}: {}", fmt::join(path, "."), problem)};
}

SchemaError SchemaError::under(const SchemaError& error, std::string_view name) {
  return {fmt::format("{}: {}", name, error.text)};
}

SchemaError SchemaError::mismatch(std::string_view expected, std::string_view got) {
  return {fmt::format("expected {}, got {}", expected, got)};
}

}  // namespace vorel::core::schema::error
