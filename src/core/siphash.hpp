// SipHash-1-3: a keyed 64-bit digest, fast on short inputs.
#pragma once

#include <cstdint>

#include "core/bytes.hpp"

namespace vorel::core {

struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// One compression round per 8-byte block and three finalisation rounds; the key words are read as
// the two little-endian halves of the 128-bit key.
std::uint64_t siphash13(SipKey key, ByteView data);

}  // namespace vorel::core
