#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/collections/native.hpp"

namespace vorel::core::collections {
namespace {

TEST(CollectionNames, TheKindsInTheirOrder) {
  const std::vector<std::string_view> expected = {"counter", "register",      "entry", "semaphore",    "barrier",
                                                  "queue",   "queue_segment", "table", "table_segment"};
  const auto all = kinds();
  EXPECT_EQ(std::vector<std::string_view>(all.begin(), all.end()), expected);
}

TEST(CollectionNames, ReadByCase) {
  struct Case {
    std::string name;
    std::optional<std::vector<std::string_view>> parts;  // kind, replicas, write
  };
  using P = std::vector<std::string_view>;
  const std::vector<Case> cases = {
      {"vorel.collections:counter.actor", P{"counter", "", ""}},
      {"vorel.collections:counter_3_majority", P{"counter", "3", "majority"}},
      {"vorel.collections:queue_segment_12_all", P{"queue_segment", "12", "all"}},
      {"vorel.collections:table_segment.actor", P{"table_segment", "", ""}},
      {"vorel.collections:register_007_one", P{"register", "007", "one"}},
      {"vorel.collections:entry_99999999999999999999999_one", P{"entry", "99999999999999999999999", "one"}},
      // Which names are refused is the collection test's; these are refused for their parts.
      {"vorel.collections:counter__one", std::nullopt},
      {"vorel.collections:counter_3_one.actor", std::nullopt},
      {"vorel.collections:counter_\xd9\xa3_one", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = parsed(c.name);
    ASSERT_EQ(got.has_value(), c.parts.has_value()) << c.name;
    EXPECT_EQ(kind_of(c.name).has_value(), c.parts.has_value()) << c.name;
    if (!got) continue;
    EXPECT_EQ((P{got->kind, got->replicas, got->write}), *c.parts) << c.name;
    EXPECT_EQ(kind_of(c.name), got->kind) << c.name;
  }
}

}  // namespace
}  // namespace vorel::core::collections
