// The queue of one activation, with its optional bound and its policy for a full queue.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
#include <vector>

#include "core/deliver.hpp"
#include "core/node.hpp"

namespace vorel::core {

namespace mailbox {

struct Put {
  struct Queued {
    friend bool operator==(const Queued&, const Queued&) = default;
  };
  // The queue is full and the delivery could not wait: it goes back to the caller.
  struct Refused {
    Deliver delivery;
    friend bool operator==(const Refused&, const Refused&) = default;
  };
  // The asker waits for room; only its reply target was kept.
  struct Parked {
    friend bool operator==(const Parked&, const Parked&) = default;
  };

  std::variant<Queued, Refused, Parked> value;
  friend bool operator==(const Put&, const Put&) = default;
};

struct Withdrawn {
  // A queued delivery was removed; `released` holds the parked target its room went to, if any.
  struct Queued {
    std::vector<Target> released;
    friend bool operator==(const Queued&, const Queued&) = default;
  };
  struct Parked {
    friend bool operator==(const Parked&, const Parked&) = default;
  };
  struct Absent {
    friend bool operator==(const Absent&, const Absent&) = default;
  };

  std::variant<Queued, Parked, Absent> value;
  friend bool operator==(const Withdrawn&, const Withdrawn&) = default;
};

// What a take gives: the oldest delivery, if any, and the parked targets released by it.
struct Took {
  std::optional<Deliver> delivery;
  std::vector<Target> released;
};

// Everything a mailbox held, oldest first.
struct Drained {
  std::vector<Deliver> queue;
  std::vector<Target> parked;
};

}  // namespace mailbox

// A released target is an invitation to try again, not a delivery: its asker kept a copy of
// the message and sends it anew when told the mailbox was full.
class Mailbox {
 public:
  Mailbox() = default;
  Mailbox(std::optional<std::uint64_t> bound, bool wait) : bound_(bound), wait_(wait) {}

  mailbox::Put put(Deliver delivery);
  mailbox::Took take();
  mailbox::Drained drain();
  mailbox::Withdrawn withdraw(const Target& target);

  std::optional<std::uint64_t> bound() const { return bound_; }
  bool wait() const { return wait_; }
  const std::deque<Deliver>& queue() const { return queue_; }
  const std::deque<Target>& parked() const { return parked_; }
  // Every queued delivery is numbered in arrival order from 0; a number is never given twice, so
  // a mark taken now is below the number of every delivery queued later.
  std::uint64_t next() const { return next_; }
  std::optional<std::uint64_t> oldest() const {
    return numbers_.empty() ? std::nullopt : std::optional<std::uint64_t>(numbers_.front());
  }

 private:
  // At most one parked asker is invited back for each delivery that leaves the queue.
  void release_one(std::vector<Target>& released);

  std::optional<std::uint64_t> bound_;
  std::deque<Deliver> queue_;
  std::deque<Target> parked_;
  std::deque<std::uint64_t> numbers_;  // the number of each queued delivery, in step with queue_
  std::uint64_t next_ = 0;
  bool wait_ = false;
};

}  // namespace vorel::core
