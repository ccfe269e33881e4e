// Byte buffers shared by every codec of the core.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vorel::core {

// An owned, growable byte buffer: what writers append to.
using Bytes = std::vector<std::uint8_t>;
// A borrowed slice of bytes: what readers walk.
using ByteView = std::span<const std::uint8_t>;

inline ByteView view_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view text_of(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool valid_utf8(ByteView bytes);

}  // namespace vorel::core
