#include "core/outcome.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vorel::core {
namespace {

TEST(Outcome, MakersCopyTheEntity) {
  struct Case {
    Outcome made;
    Outcome expected;
    std::string_view name;
  };
  const std::vector<Case> cases = {
      {Outcome::full("a", "k"), {Outcome::Full{"a", "k"}}, "Full"},
      {Outcome::missing("a", "k"), {Outcome::Missing{"a", "k"}}, "Missing"},
      {Outcome::unreached("a", "k"), {Outcome::Unreached{"a", "k"}}, "Unreached"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.made, c.expected) << c.name;
    EXPECT_EQ(c.made.name(), c.name);
  }
  EXPECT_NE(Outcome::full("a", "k"), Outcome::missing("a", "k")) << "same fields, other variant";
}

TEST(Outcome, EveryVariantHasItsWireName) {
  const std::vector<std::pair<Outcome, std::string_view>> cases = {
      {{Outcome::Value{{1, 2}}}, "Value"},
      {{Outcome::Failed{"a", "k", "ValueError", "boom"}}, "Failed"},
      {{Outcome::Missing{"a", "k"}}, "Missing"},
      {{Outcome::Full{"a", "k"}}, "Full"},
      {{Outcome::Unreached{"a", "k"}}, "Unreached"},
      {{Outcome::Unknown{"a", "k"}}, "Unknown"},
      {{Outcome::TooLarge{"too big"}}, "TooLarge"},
      {{Outcome::Cycle{"a/k -> a/k"}}, "Cycle"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].first.variant.index(), i) << "variants stand in wire order";
    EXPECT_EQ(cases[i].first.name(), cases[i].second);
  }
}

}  // namespace
}  // namespace vorel::core
