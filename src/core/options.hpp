// The option set of an actor type, and the part of it the node runtime keeps per type.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/backoff.hpp"

namespace vorel::core {

// How many replicas confirm a state write, numbered in the order of their texts.
enum class WriteLevel : std::uint8_t { One = 0, Majority = 1, All = 2 };

inline constexpr std::array<std::string_view, 3> kWriteLevels = {"one", "majority", "all"};

inline std::string_view text(WriteLevel level) { return kWriteLevels[static_cast<std::size_t>(level)]; }

// The level whose text is exactly `text` (case-sensitive, no trimming).
inline std::optional<WriteLevel> write_level(std::string_view text) {
  for (std::size_t i = 0; i < kWriteLevels.size(); ++i) {
    if (kWriteLevels[i] == text) return static_cast<WriteLevel>(i);
  }
  return std::nullopt;
}

// What a durable type keeps in its store: every write, or the state once a period after a write.
struct Durability {
  struct Write {
    friend bool operator==(const Write&, const Write&) = default;
  };
  struct After {
    Duration period;
    friend bool operator==(const After&, const After&) = default;
  };

  std::variant<Write, After> value;

  static Durability write() { return Durability{Write{}}; }
  static Durability after(Duration period) { return Durability{After{period}}; }
  const After* as_after() const { return std::get_if<After>(&value); }

  friend bool operator==(const Durability&, const Durability&) = default;
};

struct Options {
  bool pinned = false;
  std::uint64_t replicas = 3;
  WriteLevel write = WriteLevel::Majority;
  std::optional<std::uint64_t> mailbox;  // none: unbounded
  bool wait = false;                     // on_full "wait": a full mailbox parks askers instead of refusing
  // Unset, each takes the system's.
  std::optional<Duration> idle_after;
  std::optional<Duration> ask_timeout;
  std::optional<Duration> write_timeout;
  std::optional<Backoff> backoff;
  std::optional<Durability> durable;  // none: the type is not durable
};

// One actor type as the node runtime knows it.
struct Kind {
  std::string name;
  std::optional<Duration> write_timeout;
  std::optional<Durability> durability;
  std::uint64_t replicas = 0;
  bool pinned = false;
  WriteLevel write = WriteLevel::Majority;

  static Kind of(std::string name, const Options& options) {
    return Kind{std::move(name), options.write_timeout, options.durable, options.replicas, options.pinned,
                options.write};
  }

  friend bool operator==(const Kind&, const Kind&) = default;
};

}  // namespace vorel::core
