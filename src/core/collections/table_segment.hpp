// A segment of a table: the keys whose hash modulo its modulus is its id, each with an ordered set
// of values, and its part in the table's growth, handing keys to a new segment when it splits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/collections/native.hpp"
#include "core/collections/table.hpp"

namespace vorel::core::collections::table {

// A segment holding more keys than this reports itself crowded, so callers grow the table.
inline constexpr std::size_t kCrowded = 512;

// The first four bytes of the unkeyed 8-byte BLAKE2b digest of the key, big-endian.
std::uint32_t hashes(ByteView key);
// The greatest of the values that read as one signed 64-bit MessagePack integer; 0 when none does.
std::int64_t listed_under(const std::vector<Bytes>& values);

struct Bucket {
  Entries entries;
  // At least 1: the bucket holds the keys whose hash modulo this is its id.
  std::uint64_t modulus = 1;
  std::int64_t id = 0;
  // Raised by one with every change but an adoption, which guards the hand-over of keys.
  std::int64_t version = 0;

  // Each part on its own: no entries, modulus 1, id 0 and version 0 when it cannot be read.
  static Bucket of(const Parts& parts);
  // {"entries", "id", "modulus", "version"}
  Parts pages() const;
  bool holds(ByteView key) const;
  // The entries that stay under `modulus`, then those that move; each keeps its order.
  std::pair<Entries, Entries> parted(std::uint64_t modulus) const;

  friend bool operator==(const Bucket&, const Bucket&) = default;
};

class Segment final : public Native {
 public:
  std::string_view fmt() const override { return "Segment"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;

  // ["table_segment.Adopt", {"reply_to", "entries", "modulus", "id", "version"}]
  static Bytes adopt_message(const Entries& moving, std::int64_t modulus, std::int64_t id, std::int64_t version,
                             const Target& reply);
};

}  // namespace vorel::core::collections::table
