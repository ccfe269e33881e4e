// One pending permit and at most one waiter, the shared heart of the runtime's wake-ups: a ring
// given while nobody waits is kept and ends the next wait at once.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace vorel::net {

class Permit {
 public:
  // Calls the waiter when one is set (outside the lock), else keeps the permit. From any thread.
  void ring() {
    std::function<void()> waiter;
    {
      std::lock_guard lock(mutex_);
      if (!waiter_) {
        pending_ = true;
        return;
      }
      waiter.swap(waiter_);
    }
    waiter();
  }

  // Takes the kept permit (true), or sets `waiter` for the next ring to call (false).
  bool take_or_wait(std::function<void()> waiter) {
    std::lock_guard lock(mutex_);
    if (pending_) {
      pending_ = false;
      return true;
    }
    waiter_ = std::move(waiter);
    return false;
  }

  // Drops a waiter that no ring called; it is destroyed outside the lock.
  void forget() {
    std::function<void()> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(waiter_);
  }

 private:
  std::mutex mutex_;
  bool pending_ = false;
  std::function<void()> waiter_;
};

}  // namespace vorel::net
