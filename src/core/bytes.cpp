#include "core/bytes.hpp"

#include <cstring>

namespace vorel::core {

bool valid_utf8(ByteView bytes) {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* end = p + bytes.size();
  while (p < end) {
    // Most payload text is ASCII: step over it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    const std::uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      need = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      need = 2;
      if (c == 0xe0) lo = 0xa0;         // overlong
      else if (c == 0xed) hi = 0x9f;    // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      need = 3;
      if (c == 0xf0) lo = 0x90;         // overlong
      else if (c == 0xf4) hi = 0x8f;    // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= need; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
    }
    p += need + 1;
  }
  return true;
}

}  // namespace vorel::core
