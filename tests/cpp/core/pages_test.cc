#include "core/pages.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace vorel::core {
namespace {

std::shared_ptr<const Bytes> piece(Bytes bytes) { return std::make_shared<const Bytes>(std::move(bytes)); }

TEST(Page, JoinedIsItsPiecesEndToEnd) {
  const Page page = Page::joined({piece({1, 2}), piece({}), piece({3})});
  EXPECT_EQ(page.size(), 3U);
  EXPECT_EQ(page, (Bytes{1, 2, 3}));
  EXPECT_EQ(page, Page(Bytes{1, 2, 3}));
  EXPECT_NE(page, Page(Bytes{1, 2, 4}));
  EXPECT_EQ(Page::joined({piece({}), piece({})}), Page());
  EXPECT_TRUE(Page::joined({}).empty());
}

TEST(Page, CopiesShareTheirBytes) {
  const Page one(Bytes(1000, 7));
  const Page two = one;  // NOLINT(performance-unnecessary-copy-initialization): the sharing is the point
  EXPECT_EQ(one.data(), two.data());
  EXPECT_EQ(Page().size(), 0U);
  EXPECT_TRUE(Page(Bytes{}).empty());
}

TEST(Page, TakeMovesTheBytesOutOnlyWhenNoOtherPageHasThem) {
  Page alone(Bytes(100, 1));
  const std::uint8_t* where = alone.data();
  Bytes taken = std::move(alone).take();
  EXPECT_EQ(taken.data(), where);
  EXPECT_TRUE(alone.empty());  // NOLINT(bugprone-use-after-move): take leaves it empty

  Page shared(Bytes(100, 2));
  const Page other = shared;
  Bytes copied = std::move(shared).take();
  EXPECT_EQ(copied, Bytes(100, 2));
  EXPECT_EQ(other, Bytes(100, 2));

  Page joined = Page::joined({piece({5}), piece({6})});
  EXPECT_EQ(std::move(joined).take(), (Bytes{5, 6}));
}

// A joined page handed to several threads at once is joined once, and every reader sees the same
// bytes.
TEST(Page, ThreadsReadingAJoinedPageAtOnceSeeTheSameBytes) {
  std::vector<std::shared_ptr<const Bytes>> pieces;
  Bytes whole;
  for (int i = 0; i < 64; ++i) {
    Bytes bytes(1000, static_cast<std::uint8_t>(i));
    whole.insert(whole.end(), bytes.begin(), bytes.end());
    pieces.push_back(piece(std::move(bytes)));
  }
  for (int round = 0; round < 20; ++round) {
    const Page page = Page::joined(pieces);
    std::vector<const std::uint8_t*> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
      threads.emplace_back([&page, &seen, &whole, t] {
        const Page mine = page;
        EXPECT_EQ(mine.bytes(), whole);
        seen[t] = mine.data();
      });
    }
    for (auto& thread : threads) thread.join();
    for (const std::uint8_t* at : seen) EXPECT_EQ(at, seen[0]);
  }
}

}  // namespace
}  // namespace vorel::core
