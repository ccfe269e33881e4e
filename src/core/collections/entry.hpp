// The entry: at most one value, with a generation that only grows, so that a caller fills an
// empty entry only by presenting the next generation.
#pragma once

#include <cstdint>

#include "core/collections/native.hpp"

namespace vorel::core::collections {

namespace entry {
// Whole microseconds since the Unix epoch of a wall-clock time in seconds: 0 before the epoch,
// capped at the largest signed 64-bit value.
std::int64_t micros(double now);
// {"value": bin or nil, "generation": int}
Parts saved(std::optional<ByteView> value, std::int64_t generation);
}  // namespace entry

class Entry final : public Native {
 public:
  std::string_view fmt() const override { return "Entry"; }
  // Empty, at the generation of `now`.
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
  // Empty, and at a generation that a later `initial` cannot fall below: deleting an entry whose
  // generation runs ahead of the clock would let it start again lower.
  bool disposable(const Parts& parts, double now) const override;
};

}  // namespace vorel::core::collections
