// SipHash with a chosen number of compression and finalisation rounds, fed incrementally. The
// identity hash of a `Ref` is SipHash-1-3 with both keys zero over its target's fields, so that
// equal targets hash alike in every process and on every run.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.hpp"
#include "core/node.hpp"

namespace vorel::core {

class SipHasher {
 public:
  SipHasher(int c_rounds, int d_rounds, std::uint64_t k0 = 0, std::uint64_t k1 = 0);
  static SipHasher sip13() { return SipHasher(1, 3); }

  void write(ByteView bytes);
  void write_u8(std::uint8_t value) { write(ByteView(&value, 1)); }
  // Little-endian, eight bytes.
  void write_u64(std::uint64_t value);
  void write_i64(std::int64_t value) { write_u64(static_cast<std::uint64_t>(value)); }
  // The bytes, then 0xff: no two different sequences of texts feed the same bytes.
  void write_str(std::string_view text);

  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t m);

  int c_, d_;
  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;  // the bytes that do not yet fill a word, little-endian
  std::uint64_t length_ = 0;
};

// A node identity's fields in order: presence of the address (u64 0 or 1) and the address, then
// the sixteen incarnation bytes.
void feed(SipHasher& h, const NodeId& node);
// The variant (u64 0 for an entity, 1 for a reply), then its fields in order.
void feed(SipHasher& h, const Target& target);

}  // namespace vorel::core
