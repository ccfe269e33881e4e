#include "core/siphash.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorel::core {
namespace {

ByteView bytes_of(const std::string& s) { return view_of(s); }

std::uint64_t digest(SipHasher h, ByteView bytes) {
  h.write(bytes);
  return h.finish();
}

constexpr std::uint64_t kK0 = 0x0706050403020100ull;  // key bytes 00..0f
constexpr std::uint64_t kK1 = 0x0f0e0d0c0b0a0908ull;

TEST(SipHash, TwoFourMatchesThePublishedVectors) {
  std::string fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back(static_cast<char>(i));
  EXPECT_EQ(digest(SipHasher(2, 4, kK0, kK1), {}), 0x726fdb47dd0e0e31ull);
  EXPECT_EQ(digest(SipHasher(2, 4, kK0, kK1), bytes_of(fifteen)), 0xa129ca6149be45e5ull);
}

// Digests of SipHash-1-3 with both keys zero, as the interpreter's bytes hash computes them
// when its hash secret is zero.
struct Vector {
  std::string input;
  std::uint64_t digest;
};

class Sip13 : public ::testing::TestWithParam<Vector> {};

TEST_P(Sip13, ZeroKeys) {
  EXPECT_EQ(digest(SipHasher::sip13(), bytes_of(GetParam().input)), GetParam().digest);
  // Fed in pieces of every size, the digest is the same.
  for (std::size_t piece = 1; piece <= 9; ++piece) {
    SipHasher h = SipHasher::sip13();
    for (std::size_t at = 0; at < GetParam().input.size(); at += piece) {
      h.write(bytes_of(GetParam().input.substr(at, piece)));
    }
    EXPECT_EQ(h.finish(), GetParam().digest) << piece;
  }
}

std::string counting(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

INSTANTIATE_TEST_SUITE_P(Vectors, Sip13,
                         ::testing::Values(Vector{"a", 0x407448d2b89b1813ull}, Vector{"abc", 0xc03bc3a0042630f2ull},
                                           Vector{"abcdefg", 0x6db12aae9070f506ull},
                                           Vector{"abcdefgh", 0x3f7b849c0b8e35eaull},
                                           Vector{"abcdefghijklmnopq", 0x61c47e6da27eacccull},
                                           Vector{counting(64), 0x75e05fd5bbc870c6ull}));

std::uint64_t of(const Target& t) {
  SipHasher h = SipHasher::sip13();
  feed(h, t);
  return h.finish();
}

TEST(SipHash, TargetsFeedEveryFieldUnambiguously) {
  Incarnation inc{};
  inc[0] = 7;
  EXPECT_EQ(of(Target::entity("a", "b")), of(Target::entity("a", "b")));
  EXPECT_NE(of(Target::entity("ab", "c")), of(Target::entity("a", "bc")));
  EXPECT_NE(of(Target::entity("a", "b")), of(Target::entity("b", "a")));
  EXPECT_NE(of(Target::reply(NodeId{std::nullopt, inc}, 1)), of(Target::reply(NodeId{"", inc}, 1)));
  EXPECT_NE(of(Target::reply(NodeId{std::nullopt, inc}, 1)), of(Target::reply(NodeId{std::nullopt, inc}, 2)));
  EXPECT_NE(of(Target::reply(NodeId{std::nullopt, inc}, 1)), of(Target::reply(NodeId{std::nullopt, Incarnation{}}, 1)));
  EXPECT_EQ(of(Target::reply(NodeId{"h:1", inc}, 1)), of(Target::reply(NodeId{"h:1", inc}, 1)));
}

}  // namespace
}  // namespace vorel::core
