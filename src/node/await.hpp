// Waiting on the node runtime's threads for what other threads hand over: a bell that wakes one
// waiting task, and a latest-value watch. Any thread may ring or publish; a waiting task resumes
// on its own executor, never inside the caller.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include <asio/awaitable.hpp>

#include "net/permit.hpp"

namespace vorel::node {

using Instant = std::chrono::steady_clock::time_point;

// Wakes one waiting task; a ring given while nobody waits stays pending and ends the next wait
// at once. A waiter may also resume without a ring, so it checks what it waits for again.
class Bell {
 public:
  void ring();
  // Until a ring, until `until` when given, or until the waiting task is cancelled (which throws
  // as every cancelled wait of the runtime does).
  asio::awaitable<void> wait(std::optional<Instant> until = std::nullopt);

 private:
  // The waiter set while a task waits cancels its timer on the task's own executor.
  net::Permit permit_;
};

namespace watch {

namespace detail {

template <class T>
struct Shared {
  explicit Shared(T v) : value(std::move(v)) {}
  mutable std::shared_mutex mutex;
  T value;
};

}  // namespace detail

// The latest value, read by any number of holders; one publisher replaces it.
template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}
  // A copy of the value last published, made under the read lock.
  T get() const {
    std::shared_lock lock(shared_->mutex);
    return shared_->value;
  }

 private:
  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}
  // The value the readers see from now on; the replaced one is let go outside the lock.
  void publish(T value) {
    {
      std::unique_lock lock(shared_->mutex);
      std::swap(shared_->value, value);
    }
  }
  // Whether a receiver still reads.
  bool watched() const { return shared_.use_count() > 1; }

 private:
  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel(T initial) {
  auto shared = std::make_shared<detail::Shared<T>>(std::move(initial));
  return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace watch
}  // namespace vorel::node
