// The schedules record: a key's messages to itself, kept in its reserved state page so that
// they survive deactivation, restarts and moves between nodes.
#pragma once

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

}  // namespace vorel::core::schedule
