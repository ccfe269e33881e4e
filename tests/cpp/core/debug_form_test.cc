#include "core/debug_form.hpp"

#include <gtest/gtest.h>

namespace vorel::core {
namespace {

TEST(DebugForm, EscapesWhatWouldBreakTheQuotes) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"hello", "\"hello\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"t\tn\nr\r", "\"t\\tn\\nr\\r\""},
      {std::string("z\0z", 3), "\"z\\0z\""},
      {"\x07\x1f\x7f", "\"\\u{7}\\u{1f}\\u{7f}\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(debug_form(in), out);
}

}  // namespace
}  // namespace vorel::core
