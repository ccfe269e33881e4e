#include "core/chain.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorel::core {
namespace {

using chain::Link;

std::vector<Link> numbered(int count) {
  std::vector<Link> links;
  for (int i = 1; i <= count; ++i) links.push_back({"A", std::to_string(i), static_cast<std::uint64_t>(i)});
  return links;
}

std::vector<std::string> keys(const Chain& chain) {
  std::vector<std::string> out;
  for (const auto& link : chain.links()) out.push_back(link.key);
  return out;
}

std::vector<std::string> key_range(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(std::to_string(i));
  return out;
}

TEST(Chain, OfKeepsTheNewestSixteen) {
  struct Case {
    int given;
    std::vector<std::string> kept;
  };
  for (const auto& c : std::vector<Case>{{0, {}}, {3, key_range(1, 3)}, {16, key_range(1, 16)},
                                         {17, key_range(2, 17)}, {20, key_range(5, 20)}}) {
    EXPECT_EQ(keys(Chain::of(numbered(c.given))), c.kept) << c.given << " links";
  }
}

TEST(Chain, ThenAppendsAndDropsTheOldestOfAFullChain) {
  auto ending_new = [](std::vector<std::string> kept) {
    kept.push_back("new");
    return kept;
  };
  struct Case {
    int given;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {{0, {"new"}},
                                   {3, {"1", "2", "3", "new"}},
                                   {15, ending_new(key_range(1, 15))},
                                   {16, ending_new(key_range(2, 16))}};
  for (const auto& c : cases) {
    const Chain before = Chain::of(numbered(c.given));
    const Chain after = before.then({"B", "new", 99});
    EXPECT_EQ(keys(after), c.expected) << c.given << " links";
    EXPECT_EQ(before.links().size(), static_cast<std::size_t>(c.given)) << "then leaves the chain unchanged";
    EXPECT_EQ(after.links().back(), (Link{"B", "new", 99}));
  }
}

TEST(Chain, ClosedFindsTheCycleThroughTheKey) {
  const Chain chain = Chain::of({{"A", "1", 10}, {"B", "2", 20}, {"C", "3", 30}});
  struct Case {
    std::string name;
    std::string actor, key;
    std::optional<std::uint64_t> hold;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"middle link", "B", "2", 20, "B/2 -> C/3 -> B/2"},
      {"oldest link", "A", "1", 10, "A/1 -> B/2 -> C/3 -> A/1"},
      {"newest link", "C", "3", 30, "C/3 -> C/3"},
      {"another hold", "B", "2", 21, std::nullopt},
      {"no hold", "B", "2", std::nullopt, std::nullopt},
      {"another actor", "X", "2", 20, std::nullopt},
      {"another key", "B", "22", 20, std::nullopt},
      {"prefix of the key", "B", "", 20, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(chain.closed(c.actor, c.key, c.hold), c.expected) << c.name;
}

TEST(Chain, ClosedStartsAtTheOlderOfTwoMatches) {
  const Chain chain = Chain::of({{"A", "1", 7}, {"B", "2", 8}, {"A", "1", 7}, {"C", "3", 9}});
  EXPECT_EQ(chain.closed("A", "1", 7), "A/1 -> B/2 -> A/1 -> C/3 -> A/1");
}

TEST(Chain, EmptyChainClosesNothing) {
  EXPECT_EQ(Chain().closed("A", "1", 0), std::nullopt);
  EXPECT_TRUE(Chain().empty());
}

}  // namespace
}  // namespace vorel::core
