#include "core/siphash.hpp"

#include <bit>

namespace vorel::core {

namespace {
struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t little_endian(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}
}  // namespace

std::uint64_t siphash13(SipKey key, ByteView data) {
  State s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
          key.k1 ^ 0x7465646279746573ull};
  const std::size_t whole = data.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(little_endian(data.data() + i, 8));
  // The last block carries the input's length in its top byte.
  const std::uint64_t last =
      little_endian(data.data() + whole, data.size() - whole) | (static_cast<std::uint64_t>(data.size()) << 56);
  s.absorb(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace vorel::core
