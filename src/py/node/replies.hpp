// The pending asks of a node: what settles an answer later needs the asker's future, the schema
// that reads the answer, when it times out, where the ask went and, for a type that keeps askers
// waiting, a copy of the message to send again.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <vector>
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
  std::optional<double> deadline;  // the loop time the ask times out at, once armed
};

// The ids are this node's own, counted up from 0: however an answer names one, it can only be
// looked for among the ids the node gave, so they need no keyed hash, and consecutive ids land in
// buckets of their own.
using Table = std::unordered_map<std::int64_t, Waiting>;

}  // namespace replies

// Held behind the node's `replies` lock. Entries taken out are handed back rather than let go, so
// that the caller drops their Python references once the lock is released.
//
// The asks' timeouts share one loop timer, armed for the earliest deadline: an answered ask only
// leaves the index, and the timer, when it fires, fails what is due and arms itself for the next.
class Replies {
 public:
  // Puts the pending ask under its id; gives back the entry it replaced.
  std::optional<replies::Waiting> wait(std::int64_t id, replies::Waiting waiting) {
    std::optional<replies::Waiting> replaced = forget(id);
    if (waiting.deadline) due_.emplace(*waiting.deadline, id);
    waiting_.emplace(id, std::move(waiting));
    return replaced;
  }

  std::optional<replies::Waiting> forget(std::int64_t id) {
    auto at = waiting_.find(id);
    if (at == waiting_.end()) return std::nullopt;
    std::optional<replies::Waiting> taken = std::move(at->second);
    waiting_.erase(at);
    if (taken->deadline) due_.erase({*taken->deadline, id});
    return taken;
  }

  // The pending ask, to change in place; null when there is none. Its deadline is set by `arm`.
  replies::Waiting* find(std::int64_t id) {
    auto at = waiting_.find(id);
    return at == waiting_.end() ? nullptr : &at->second;
  }

  // Gives the pending ask its deadline; false when it is not pending.
  bool arm(std::int64_t id, double deadline) {
    replies::Waiting* w = find(id);
    if (w == nullptr) return false;
    if (w->deadline) due_.erase({*w->deadline, id});
    w->deadline = deadline;
    due_.emplace(deadline, id);
    return true;
  }

  // Takes out every pending ask whose deadline is not after `now`, earliest first.
  std::vector<std::pair<std::int64_t, replies::Waiting>> expired(double now) {
    std::vector<std::pair<std::int64_t, replies::Waiting>> out;
    while (!due_.empty() && due_.begin()->first <= now) {
      const std::int64_t id = due_.begin()->second;
      out.emplace_back(id, *forget(id));
    }
    return out;
  }

  // The earliest deadline of a pending ask.
  std::optional<double> earliest() const {
    if (due_.empty()) return std::nullopt;
    return due_.begin()->first;
  }

  // The loop timer of the earliest deadline and the loop time it fires at.
  Object timer;
  std::optional<double> timer_due;

  // Asks are numbered 0, 1, 2, ... per node, and a number is never given twice.
  std::int64_t take_id() { return next_++; }

  std::size_t size() const { return waiting_.size(); }

  // Takes every pending ask out at once; the ids go on from where they were.
  replies::Table abandon() {
    due_.clear();
    return std::exchange(waiting_, {});
  }

 private:
  replies::Table waiting_;
  std::set<std::pair<double, std::int64_t>> due_;
  std::int64_t next_ = 0;
};

}  // namespace vorel::py
