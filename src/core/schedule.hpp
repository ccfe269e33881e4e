// The schedules record: a key's messages to itself, kept in its reserved state page so that
// they survive deactivation, restarts and moves between nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"

namespace vorel::core::schedule {

// The state page that holds the record.
inline constexpr std::string_view kPage = "@schedules";

struct Schedule {
  std::string name;
  // Already encoded by the key's message schema.
  Bytes message;
  // Microseconds since the Unix epoch, wall clock.
  std::int64_t due = 0;
  // Microseconds; none for a schedule that fires once.
  std::optional<std::uint64_t> every;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

// ["Schedules", {"schedules": [{"name", "message", "due", "every"}, ...]}], in the given order.
Bytes encode(std::span<const Schedule> schedules);
// The schedules in the record's order; no partial list on failure. Bytes after the record are
// not looked at.
msgpack::Result<std::vector<Schedule>> decode(ByteView bytes);

// The record of a key's live schedules, kept encoded while they change. A key that holds many
// schedules rewrites its page at every change; encoding every schedule again each time made the
// cost of one change grow with their number. Here a change encodes only its own element, and the
// page is the elements already written, copied once.
//
// Schedules are identified by a number, and the record keeps them in ascending order of their
// numbers: the live list appends each new schedule with the next number, so this is its order.
class Encoded {
 public:
  // Puts `schedule` in its place by `number`, replacing one of the same number.
  void put(std::uint64_t number, const Schedule& schedule);
  // False when no live schedule has `number`.
  bool remove(std::uint64_t number);
  // The schedule `number` is due at `due` now; false when there is none.
  bool redue(std::uint64_t number, std::int64_t due);
  void clear();
  std::size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }
  // `encode` of the live schedules in the order of their numbers.
  Bytes bytes() const;

 private:
  struct Slot {
    std::uint64_t number = 0;
    std::size_t at = 0;  // where the element starts in `body_`
    std::size_t size = 0;
    std::size_t due_at = 0;  // where the due time's integer starts, from `at`
    std::uint8_t due_size = 0;
    bool live = false;
  };

  std::vector<Slot>::iterator find(std::uint64_t number);
  // Removed elements are left in place until they outweigh the live ones, so that a removal
  // costs no move of the elements behind it; this drops them.
  void compact();
  // Replaces `size` bytes of `body_` at `at` by `with`, moving every later slot along.
  void splice(std::size_t at, std::size_t size, ByteView with);

  std::vector<Slot> slots_;  // ascending numbers, live or removed
  Bytes body_;
  std::size_t live_ = 0;
  std::size_t dead_bytes_ = 0;
};

}  // namespace vorel::core::schedule
