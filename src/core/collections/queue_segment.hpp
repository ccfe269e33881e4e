// A segment of a queue: one bounded run of items that seals itself when full, and that checks
// with its directory before it creates state, so a drained segment is never brought back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/collections/native.hpp"

namespace vorel::core::collections::queue {

// A run seals itself at this many items, or at this many bytes of items.
inline constexpr std::size_t kItems = 1024;
inline constexpr std::uint64_t kBytes = 65536;

struct Run {
  // Oldest first, including those taken but not yet removed.
  std::vector<Bytes> items;
  // How many items at the front have been taken.
  std::uint64_t taken = 0;
  // No more items are accepted; never cleared.
  bool sealed = false;

  // Each part on its own: no items, nothing taken, or not sealed when it cannot be read.
  static Run of(const Parts& parts);
  // {"items": [bin, ...], "sealed": bool, "taken": int}
  Parts parts() const;
  // Whether the item was accepted. An empty run takes an item of any size.
  bool offer(ByteView value);
  void clear();

  friend bool operator==(const Run&, const Run&) = default;
};

// ["Advance", {"reply_to": reply, "head": 0, "tail": 0}]: reads the directory's head and tail,
// changing nothing.
Bytes where_is(const Target& reply);
// [[bin, ...], sealed]
Bytes listed(const std::vector<Bytes>& items, bool sealed);

class Segment final : public Native {
 public:
  std::string_view fmt() const override { return "Segment"; }
  // No parts at all, which differs from an empty run that was written.
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
  // No parts, or sealed with every item taken.
  bool disposable(const Parts& parts, double now) const override;
};

}  // namespace vorel::core::collections::queue
