#include "core/replication/parts.hpp"

#include <gtest/gtest.h>

#include <random>

#include "core/replication/sample.hpp"

namespace vorel::core::replication {
namespace {

using parts::Piece;
using parts::Plan;
using sample::filled;

struct PlanCase {
  const char* name;
  messages::Sizes items;
  std::uint64_t budget;
  Plan expected;
};

class PartsPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PartsPlan, Cuts) {
  const auto& c = GetParam();
  EXPECT_EQ(parts::plan(c.items, c.budget), c.expected);
}

const std::string kLong(90, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, PartsPlan,
    ::testing::Values(
        PlanCase{"one_page_over_three_parts", {{"a", 200}}, 100, {{{"a", 0, 83}}, {{"a", 83, 166}}, {{"a", 166, 200}}}},
        PlanCase{"two_small_pages_share_a_part", {{"a", 10}, {"b", 10}}, 100, {{{"a", 0, 10}, {"b", 0, 10}}}},
        PlanCase{"second_page_needs_a_new_part", {{"a", 80}, {"b", 80}}, 100, {{{"a", 0, 80}}, {{"b", 0, 80}}}},
        PlanCase{"no_items", {}, 100, {{}}},
        PlanCase{"empty_page_still_a_piece", {{"e", 0}}, 100, {{{"e", 0, 0}}}},
        PlanCase{"name_leaves_no_room", {{kLong, 50}}, 100, {{{kLong, 0, 50}}}},
        PlanCase{"name_leaves_no_room_after_another", {{"a", 10}, {kLong, 50}}, 100, {{{"a", 0, 10}}, {{kLong, 0, 50}}}},
        PlanCase{"zero_budget_sends_every_page_whole", {{"a", 5}, {"b", 0}}, 0, {{{"a", 0, 5}}, {{"b", 0, 0}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PartsSplit, EmptyStateIsOneEmptyPart) {
  EXPECT_EQ(parts::split({}, 100), std::vector<Pages>{Pages{}});
}

TEST(PartsSplit, EmptyPageKeepsItsName) {
  const auto out = parts::split(sample::pages({{"e", ""}}), 100);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], sample::pages({{"e", ""}}));
}

TEST(PartsCut, SkipsMissingPagesAndRangesThatDoNotFit) {
  const Pages state = sample::pages({{"a", "abcdef"}, {"b", "xy"}});
  const parts::Part part{{"a", 1, 4}, {"b", 1, 3}, {"zz", 0, 0}, {"b", 2, 1}};
  EXPECT_EQ(parts::cut(state, part), sample::pages({{"a", "bcd"}}));
}

TEST(PartsAppend, GrowsKnownPagesAndAddsNewOnes) {
  Pages into = sample::pages({{"a", "ab"}, {"b", "x"}});
  parts::append(into, sample::pages({{"a", "12"}}));
  EXPECT_EQ(into, sample::pages({{"a", "ab12"}, {"b", "x"}}));
  parts::append(into, sample::pages({{"c", "new"}}));
  EXPECT_EQ(into, sample::pages({{"a", "ab12"}, {"b", "x"}, {"c", "new"}}));
}

// Cost 1040 + 1 (key) + 1 + 16 + 42 (one page) = 1100.
messages::Copy copy_of_cost_1100(std::string key) {
  return messages::Copy{std::move(key), std::nullopt, std::nullopt, Pages{{"p", filled(42)}}, 0, true};
}

TEST(PartsPacked, GroupsByCost) {
  const std::vector<messages::Copy> three{copy_of_cost_1100("a"), copy_of_cost_1100("b"), copy_of_cost_1100("c")};
  auto alone = parts::packed(three, 2000);
  ASSERT_EQ(alone.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(alone[i], std::vector<messages::Copy>{three[i]});
  auto together = parts::packed(three, 5000);
  ASSERT_EQ(together.size(), 1u);
  EXPECT_EQ(together[0], three);
  auto oversized = parts::packed(three, 10);
  EXPECT_EQ(oversized.size(), 3u);
  EXPECT_EQ(parts::packed({}, 100), std::vector<std::vector<messages::Copy>>(1));
}

TEST(PartsBudget, SaturatesBelowTheHeadroom) {
  EXPECT_EQ(parts::budget(0), 0u);
  EXPECT_EQ(parts::budget(1000), 0u);
  EXPECT_EQ(parts::budget(65'536), 0u);
  EXPECT_EQ(parts::budget(65'537), 1u);
  EXPECT_EQ(parts::budget(8u << 20), (8u << 20) - 65'536u);
  EXPECT_EQ(parts::budget(UINT64_MAX), UINT64_MAX - 65'536u);
}

std::uint64_t cost(const Pages& part) {
  std::uint64_t total = 0;
  for (const auto& [name, content] : part) total += name.size() + 16 + content.size();
  return total;
}

// Whatever the state and the budget, the parts put back together are the state, each part keeps
// to the budget unless it is a lone page whose name leaves no room, and a page's pieces come in
// order, one per part.
TEST(PartsSplit, RandomStatesReassembleWithinBudget) {
  std::mt19937_64 rng(15);
  for (int round = 0; round < 300; ++round) {
    Pages state;
    const int pages = static_cast<int>(rng() % 6);
    for (int i = 0; i < pages; ++i) {
      std::string name(1 + rng() % 40, static_cast<char>('a' + i));
      Bytes content(rng() % 400);
      for (auto& b : content) b = static_cast<std::uint8_t>(rng());
      state.insert_or_assign(std::move(name), std::move(content));
    }
    const std::uint64_t budget = rng() % 300;
    const auto plan = parts::plan(parts::sizes(state), budget);
    const auto pieces = parts::split(state, budget);
    ASSERT_EQ(pieces.size(), plan.size());
    Pages back;
    std::map<std::string, std::size_t> last_part;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const bool lone_overflow = pieces[i].size() == 1 && pieces[i].begin()->first.size() + 17 > budget;
      if (!lone_overflow) {
        EXPECT_LE(cost(pieces[i]), budget) << "round " << round << " part " << i;
      }
      for (const auto& piece : plan[i]) {
        auto [it, fresh] = last_part.try_emplace(piece.name, i);
        if (!fresh) {
          EXPECT_LT(it->second, i);
        }
        it->second = i;
      }
      parts::append(back, pieces[i]);
    }
    EXPECT_EQ(back, state) << "round " << round;
  }
}

}  // namespace
}  // namespace vorel::core::replication
