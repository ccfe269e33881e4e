// The text of every schema failure: the dotted path of the place, a colon and a blank, then the
// problem; or the problem alone when the place is the annotation as a whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorel::core::schema::error {

inline constexpr std::string_view kRecursive = "a recursive type refers to itself outside of a container or dataclass";

struct SchemaError {
  std::string text;

  // The path holds field names from the outermost type inwards.
  static SchemaError at(const std::vector<std::string>& path, std::string_view problem);
  // The error of a part, reported for the whole: the name in front.
  static SchemaError under(const SchemaError& error, std::string_view name);
  static SchemaError mismatch(std::string_view expected, std::string_view got);

  friend bool operator==(const SchemaError&, const SchemaError&) = default;
};

}  // namespace vorel::core::schema::error
