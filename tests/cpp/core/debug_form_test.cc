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

TEST(DebugForm, OneCharacterPrintsAsItsCallerJudges) {
  const struct {
    char32_t c;
    bool prints;
    std::string out;
  } cases[] = {
      {U'a', false, "a"},          // ASCII decides for itself
      {U'\x7f', true, "\\u{7f}"},
      {U'"', true, "\\\""},
      {U'\0', true, "\\0"},
      {U'\u00e9', true, "\xc3\xa9"},
      {U'\u200b', false, "\\u{200b}"},
      {U'\U0001f600', true, "\xf0\x9f\x98\x80"},
      {char32_t{0xd800}, true, "\\u{d800}"},
  };
  for (const auto& k : cases) {
    std::string out;
    debug_char(out, k.c, k.prints);
    EXPECT_EQ(out, k.out) << static_cast<std::uint32_t>(k.c);
  }
}

}  // namespace
}  // namespace vorel::core
