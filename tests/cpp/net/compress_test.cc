#include "net/compress.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <random>
#include <string>

#include "net/support.hpp"

namespace vorel::net::compress {
namespace {

using testing::B;

const Name kAll[] = {Name::Zstd, Name::Lz4, Name::Zlib};

TEST(CompressName, OfIsExactAndCaseSensitive) {
  EXPECT_EQ(Name::of("zstd"), Name(Name::Zstd));
  EXPECT_EQ(Name::of("lz4"), Name(Name::Lz4));
  EXPECT_EQ(Name::of("zlib"), Name(Name::Zlib));
  for (const char* other : {"ZSTD", "Zstd", "lz4 ", " lz4", "zlib\n", "", "gzip", "deflate"}) {
    EXPECT_EQ(Name::of(other), std::nullopt) << other;
  }
  for (const Name n : kAll) EXPECT_EQ(Name::of(n.text()), n);
}

class Codec : public ::testing::TestWithParam<Name> {};

TEST_P(Codec, RoundTripsEveryChunkUpToTheLimit) {
  const Name codec = GetParam();
  std::mt19937_64 rng(7);
  constexpr std::uint64_t kLimit = 300000;
  for (const B& chunk : {B{}, B{42}, testing::random_bytes(rng, 1000), testing::compressible(100000),
                         testing::random_bytes(rng, kLimit), testing::compressible(kLimit)}) {
    const auto packed = codec.compress(chunk);
    auto back = codec.decompress(packed, kLimit);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, chunk) << codec.text() << " " << chunk.size();
  }
}

TEST_P(Codec, ExactlyTheLimitPassesAndOneByteMoreIsRefused) {
  const Name codec = GetParam();
  const std::uint64_t limit = 70000;
  auto exact = codec.decompress(codec.compress(testing::compressible(limit)), limit);
  ASSERT_TRUE(exact.has_value()) << exact.error();
  EXPECT_EQ(exact->size(), limit);

  auto over = codec.decompress(codec.compress(testing::compressible(limit + 1)), limit);
  ASSERT_FALSE(over.has_value());
  const std::string expected = codec == Name::Zstd
                                   ? "compressed frame without a size up to 70000 bytes"
                                   : fmt::format("{} frame truncated or larger than 70000 bytes", codec.text());
  EXPECT_EQ(over.error(), expected);
}

// A stream cut anywhere before its end marker is corrupt; it never passes as a shorter chunk.
TEST_P(Codec, EveryTruncationIsAnError) {
  const Name codec = GetParam();
  std::mt19937_64 rng(11);
  B chunk = testing::compressible(5000);
  const B noise = testing::random_bytes(rng, 3000);
  chunk.insert(chunk.end(), noise.begin(), noise.end());
  const B packed = codec.compress(chunk);
  for (std::size_t cut = 0; cut < packed.size(); ++cut) {
    auto got = codec.decompress(core::ByteView(packed).first(cut), 1 << 20);
    ASSERT_FALSE(got.has_value()) << codec.text() << " cut at " << cut << " of " << packed.size();
    if (codec == Name::Zstd) continue;  // zstd names a cut header by its missing size
    EXPECT_EQ(got.error().rfind(fmt::format("corrupt {} frame: ", codec.text()), 0), 0u) << got.error();
  }
}

TEST_P(Codec, BytesAfterTheEndAreCorrupt) {
  const Name codec = GetParam();
  B packed = codec.compress(testing::compressible(1000));
  packed.push_back(0);
  auto got = codec.decompress(packed, 1 << 20);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().rfind(fmt::format("corrupt {} frame: ", codec.text()), 0), 0u) << got.error();
}

// A small payload that would inflate far beyond the limit stops at the limit.
TEST_P(Codec, BombStopsAtTheLimit) {
  const Name codec = GetParam();
  const B packed = codec.compress(B(16 << 20, 0));
  ASSERT_LT(packed.size(), 1u << 20);
  auto got = codec.decompress(packed, 262144);
  ASSERT_FALSE(got.has_value());
  EXPECT_NE(got.error().find("262144"), std::string::npos) << got.error();
}

INSTANTIATE_TEST_SUITE_P(Compress, Codec, ::testing::ValuesIn(kAll),
                         [](const auto& info) { return std::string(info.param.text()); });

TEST(Zstd, WritesItsContentSize) {
  const B packed = Name(Name::Zstd).compress(testing::compressible(12345));
  EXPECT_EQ(ZSTD_getFrameContentSize(packed.data(), packed.size()), 12345u);
}

TEST(Zstd, AFrameWithoutItsSizeIsRefused) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  const B chunk{1, 2, 3};
  B packed(ZSTD_compressBound(chunk.size()));
  packed.resize(ZSTD_compress2(c, packed.data(), packed.size(), chunk.data(), chunk.size()));
  ZSTD_freeCCtx(c);
  auto got = Name(Name::Zstd).decompress(packed, 1 << 20);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "compressed frame without a size up to 1048576 bytes");
}

// The header alone of a frame that declares a gibibyte: refused before anything is decoded.
TEST(Zstd, AnOversizedDeclarationIsRefusedFromTheHeader) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setPledgedSrcSize(c, 1ull << 30);
  B packed(1024);
  const B chunk(100, 0);
  ZSTD_outBuffer out{packed.data(), packed.size(), 0};
  ZSTD_inBuffer in{chunk.data(), chunk.size(), 0};
  ZSTD_compressStream2(c, &out, &in, ZSTD_e_flush);
  ZSTD_freeCCtx(c);
  packed.resize(out.pos);
  ASSERT_EQ(ZSTD_getFrameContentSize(packed.data(), packed.size()), 1ull << 30);
  auto got = Name(Name::Zstd).decompress(packed, 262144);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "compressed frame without a size up to 262144 bytes");
}

TEST(Zstd, CorruptBodyNamesTheLibraryError) {
  B packed = Name(Name::Zstd).compress(testing::compressible(10000));
  for (std::size_t i = 10; i < packed.size(); ++i) packed[i] ^= 0x5a;
  auto got = Name(Name::Zstd).decompress(packed, 1 << 20);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().rfind("corrupt zstd frame: ", 0), 0u) << got.error();
  EXPECT_GT(got.error().size(), std::string("corrupt zstd frame: ").size());
}

TEST(Zlib, WritesTheZlibFormatAtLevelOne) {
  const B chunk = testing::compressible(4096);
  const B packed = Name(Name::Zlib).compress(chunk);
  ASSERT_GE(packed.size(), 2u);
  EXPECT_EQ(packed[0], 0x78);  // deflate, 32 KiB window
  EXPECT_EQ(packed[1], 0x01);  // the fastest level
  B back(chunk.size());
  uLongf n = back.size();
  ASSERT_EQ(uncompress(back.data(), &n, packed.data(), packed.size()), Z_OK);
  EXPECT_EQ(back, chunk);
}

TEST(Zlib, APresetDictionaryIsCorrupt) {
  // 78 bb: a zlib header with FDICT set, then a dictionary id.
  auto got = Name(Name::Zlib).decompress(B{0x78, 0xbb, 0, 0, 0, 1, 3, 0}, 1024);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().rfind("corrupt zlib frame: ", 0), 0u) << got.error();
}

TEST(Lz4, WritesTheFrameFormat) {
  const B packed = Name(Name::Lz4).compress(testing::compressible(100));
  ASSERT_GE(packed.size(), 4u);
  EXPECT_EQ(B(packed.begin(), packed.begin() + 4), (B{0x04, 0x22, 0x4d, 0x18}));
}

// Mutated and random payloads for each codec: an error or at most the limit, never a crash.
TEST(CompressFuzz, MutatedPayloadsStayWithinTheLimit) {
  std::mt19937_64 rng(0xc0dec);
  constexpr std::uint64_t kLimit = 4096;
  for (const Name codec : kAll) {
    const B seeds[] = {codec.compress(testing::compressible(3000)), codec.compress(testing::random_bytes(rng, 500)),
                       codec.compress(B(kLimit, 0)), codec.compress(B{})};
    for (int round = 0; round < 6000; ++round) {
      B input = round % 4 == 3 ? testing::random_bytes(rng, testing::pick(rng, 64))
                               : testing::mutate(rng, seeds[testing::pick(rng, std::size(seeds))]);
      if (round % 7 == 0) input.resize(testing::pick(rng, input.size() + 1));
      auto got = codec.decompress(input, kLimit);
      if (got) {
        ASSERT_LE(got->size(), kLimit);
      }
    }
  }
}

}  // namespace
}  // namespace vorel::net::compress
