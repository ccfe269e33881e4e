// The schedules record: a key's messages to itself, kept in its reserved state page so that
// they survive deactivation, restarts and moves between nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"
#include "core/pages.hpp"

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
// schedules rewrites its page at every change; encoding every schedule again each time, or even
// copying the whole record into each page, made the cost of one change grow with their number.
// Here a change encodes only its own element, and the elements lie in chunks of bounded size that
// the pages made of the record share: a change copies at most the one chunk it touches, and a page
// costs one reference per chunk.
//
// Schedules are identified by a number, and the record keeps them in ascending order of their
// numbers: the live list appends each new schedule with the next number, so this is its order.
class Encoded {
 public:
  // The size chunks are kept near. A change copies up to one chunk; a page holds one reference per
  // chunk: both stay small next to the other costs of a change up to hundreds of thousands of
  // schedules.
  static constexpr std::size_t kChunk = 16 * 1024;

  // Puts `schedule` in its place by `number`, replacing one of the same number.
  void put(std::uint64_t number, const Schedule& schedule);
  // False when no live schedule has `number`.
  bool remove(std::uint64_t number);
  // The schedule `number` is due at `due` now; false when there is none.
  bool redue(std::uint64_t number, std::int64_t due);
  void clear();
  std::size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }
  // `encode` of the live schedules in the order of their numbers. The page keeps its bytes
  // whatever this record does afterwards.
  Page page() const;
  Bytes bytes() const { return page().bytes(); }
  // How many chunks the elements lie in.
  std::size_t chunks() const { return chunks_.size(); }

 private:
  struct Slot {
    std::uint64_t number = 0;
    std::size_t at = 0;  // where the element starts in its chunk
    std::size_t size = 0;
    std::size_t due_at = 0;  // where the due time's integer starts, from `at`
    std::uint8_t due_size = 0;
  };
  struct Chunk {
    std::shared_ptr<Bytes> body;
    std::vector<Slot> slots;  // ascending numbers; never empty
    // A page holds `body`, which is then copied before it changes.
    mutable bool shared = false;
  };

  static std::vector<Slot>::iterator slot_of(std::vector<Slot>& slots, std::uint64_t number);
  // The chunk where `number` is or would go; the record is not empty.
  std::size_t chunk_of(std::uint64_t number) const;
  // The chunk's body, copied first when a page holds it.
  static Bytes& own(Chunk& chunk, bool last);
  // Replaces `size` bytes at `at` in the chunk by `with`, moving the slots behind them along.
  static void splice(Chunk& chunk, bool last, std::size_t at, std::size_t size, ByteView with);
  // Keeps chunks near their size after a change of the chunk at `index`: one grown past twice the
  // size is halved; one that fits in one chunk with a neighbour is joined to it. Any two
  // neighbours then hold more than one chunk's size, so the chunks are at most twice as many as
  // full ones would be.
  void balance(std::size_t index);
  // Joins the chunk after `index` to it when the two fit in one; false when they do not.
  bool join(std::size_t index);

  std::vector<Chunk> chunks_;  // ascending numbers across the chunks
  std::size_t live_ = 0;
};

}  // namespace vorel::core::schedule
