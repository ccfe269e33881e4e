// Per-chunk compression of Data frames: each chunk is one self-contained zstd, LZ4 or zlib frame.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.hpp"

namespace vorel::net::compress {

class Name {
 public:
  // The numbers give the codecs' order; on the wire a codec travels by its text.
  enum Codec : std::uint8_t { Zstd = 0, Lz4 = 1, Zlib = 2 };

  constexpr Name(Codec codec) : codec_(codec) {}

  // Exactly "zstd", "lz4" or "zlib", byte for byte.
  static std::optional<Name> of(std::string_view text);

  constexpr Codec codec() const { return codec_; }
  std::string_view text() const;

  core::Bytes compress(core::ByteView chunk) const;
  // Never yields more than `limit` bytes, and never allocates more than limit + 1 for them,
  // whatever the compressed bytes declare.
  std::expected<core::Bytes, std::string> decompress(core::ByteView compressed, std::uint64_t limit) const;

  friend constexpr bool operator==(Name, Name) = default;

 private:
  Codec codec_;
};

}  // namespace vorel::net::compress
