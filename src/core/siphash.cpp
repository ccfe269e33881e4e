#include "core/siphash.hpp"

#include <bit>

namespace vorel::core {

SipHasher::SipHasher(int c_rounds, int d_rounds, std::uint64_t k0, std::uint64_t k1)
    : c_(c_rounds),
      d_(d_rounds),
      v0_(k0 ^ 0x736f6d6570736575ull),
      v1_(k1 ^ 0x646f72616e646f6dull),
      v2_(k0 ^ 0x6c7967656e657261ull),
      v3_(k1 ^ 0x7465646279746573ull) {}

namespace {
inline void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
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
}  // namespace

void SipHasher::compress(std::uint64_t m) {
  v3_ ^= m;
  for (int i = 0; i < c_; ++i) round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void SipHasher::write(ByteView bytes) {
  for (std::uint8_t b : bytes) {
    tail_ |= static_cast<std::uint64_t>(b) << (8 * (length_ % 8));
    ++length_;
    if (length_ % 8 == 0) {
      compress(tail_);
      tail_ = 0;
    }
  }
}

void SipHasher::write_u64(std::uint64_t value) {
  std::uint8_t le[8];
  for (int i = 0; i < 8; ++i) le[i] = static_cast<std::uint8_t>(value >> (8 * i));
  write(ByteView(le, 8));
}

void SipHasher::write_str(std::string_view text) {
  write(view_of(text));
  write_u8(0xff);
}

std::uint64_t SipHasher::finish() const {
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  const std::uint64_t last = tail_ | (length_ << 56);
  v3 ^= last;
  for (int i = 0; i < c_; ++i) round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < d_; ++i) round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

void feed(SipHasher& h, const NodeId& node) {
  h.write_u64(node.address ? 1 : 0);
  if (node.address) h.write_str(*node.address);
  h.write(ByteView(node.incarnation.data(), node.incarnation.size()));
}

void feed(SipHasher& h, const Target& target) {
  if (const auto* e = target.as_entity()) {
    h.write_u64(0);
    h.write_str(e->actor);
    h.write_str(e->key);
    return;
  }
  const auto* r = target.as_reply();
  h.write_u64(1);
  feed(h, r->node);
  h.write_i64(r->id);
}

}  // namespace vorel::core
