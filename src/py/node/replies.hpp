// The pending asks of a node: what settles an answer later needs the asker's future, the schema
// that reads the answer, the timer to cancel, where the ask went and, for a type that keeps
// askers waiting, a copy of the message to send again.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <unordered_map>

#include "core/deliver.hpp"
#include "py/keyed.hpp"
#include "py/object.hpp"

namespace vorel::py {

namespace replies {

struct Waiting {
  Object future;                // the asker's asyncio future
  std::optional<Entity> target; // the key the ask went to, once it was handed on
  std::optional<core::Deliver> kept;
  Object schema;                // the Schema that reads a Value; null for raw bytes
  std::uint32_t answer = 0;     // the node of that schema a Value is read at
  Object timer;                 // the loop timer of the ask timeout, once armed
};

}  // namespace replies

// Held behind the node's `replies` lock. Entries taken out are handed back rather than let go, so
// that the caller drops their Python references once the lock is released.
class Replies {
 public:
  // Puts the pending ask under its id; gives back the entry it replaced.
  std::optional<replies::Waiting> wait(std::int64_t id, replies::Waiting waiting) {
    auto [at, inserted] = waiting_.try_emplace(id);
    std::optional<replies::Waiting> replaced;
    if (!inserted) replaced = std::move(at->second);
    at->second = std::move(waiting);
    return replaced;
  }

  std::optional<replies::Waiting> forget(std::int64_t id) {
    auto at = waiting_.find(id);
    if (at == waiting_.end()) return std::nullopt;
    std::optional<replies::Waiting> taken = std::move(at->second);
    waiting_.erase(at);
    return taken;
  }

  // Asks are numbered 0, 1, 2, ... per node, and a number is never given twice.
  std::int64_t take_id() { return next_++; }

  std::size_t size() const { return waiting_.size(); }

  // Takes every pending ask out at once; the ids go on from where they were.
  std::unordered_map<std::int64_t, replies::Waiting, Keyed> abandon() { return std::exchange(waiting_, {}); }

 private:
  std::unordered_map<std::int64_t, replies::Waiting, Keyed> waiting_;
  std::int64_t next_ = 0;
};

}  // namespace vorel::py
