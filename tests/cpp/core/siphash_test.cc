#include "core/siphash.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorel::core {
namespace {

// Digests of an independent SipHash-1-3 (the interpreter's bytes hash, with the key its hash seed
// gives), over inputs shorter than, equal to and longer than one block.
TEST(SipHash13, KnownDigests) {
  struct Case {
    SipKey key;
    std::string data;
    std::uint64_t digest;
  };
  const SipKey seeded{0xaed66ce184be2329ull, 0xebe9bbf1f1499052ull};
  const std::vector<Case> cases = {
      {{}, std::string(1, '\0'), 0x68a914128e01e473ull},
      {{}, "\x01", 0x44bc103b1f8540edull},
      {{}, "abc", 0xc03bc3a0042630f2ull},
      {{}, "01234567", 0xda3dcedf84ea6cc6ull},
      {{}, "0123456789abcdef", 0x1d42b30f7e060c24ull},
      {{}, "0123456789abcdef0123", 0x560ed5360a9a319aull},
      {seeded, std::string(1, '\0'), 0xecd3e5afcecda4b9ull},
      {seeded, "\x01", 0xc1147c52c3233753ull},
  };
  for (const auto& c : cases) EXPECT_EQ(siphash13(c.key, view_of(c.data)), c.digest) << c.data.size();
}

}  // namespace
}  // namespace vorel::core
