// Waiting on the node runtime's threads for what other threads hand over: a bell that wakes one
// waiting task, a one-shot value with an awaitable receive, and a latest-value watch. Any thread
// may ring, send or publish; the waiting task resumes on its own executor, never inside the caller.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include <asio/awaitable.hpp>

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
  std::mutex mutex_;
  bool pending_ = false;
  // Set while a task waits: cancels its timer on the task's own executor.
  std::function<void()> waiter_;
};

namespace once {

enum class Status { Waiting, Ready, Closed };

namespace detail {

template <class T>
struct Shared {
  std::mutex mutex;
  std::optional<T> value;
  bool closed = false;
  Bell bell;
};

}  // namespace detail

// Carries at most one value. A sender dropped without sending closes the channel, so the
// receiver learns that no value will come; sending to a receiver that is gone is not an error.
template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      close();
      shared_ = std::move(other.shared_);
    }
    return *this;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { close(); }

  // Only the first value counts; the sender is spent afterwards.
  void send(T value) { finish(std::move(value)); }
  explicit operator bool() const { return static_cast<bool>(shared_); }

 private:
  void close() { finish(std::nullopt); }

  // The shared block is let go only after its lock is released: this may be its last holder.
  void finish(std::optional<T> value) {
    auto shared = std::move(shared_);
    if (!shared) return;
    {
      std::lock_guard lock(shared->mutex);
      if (!shared->closed && value) shared->value = std::move(value);
      shared->closed = true;
    }
    shared->bell.ring();
  }

  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}

  // The value, or none once the sender went without one.
  asio::awaitable<std::optional<T>> receive() {
    auto got = co_await receive_until(std::nullopt);
    co_return std::move(got.value);
  }

  struct Got {
    std::optional<T> value;
    // The time ran out before the sender sent or went.
    bool late = false;
  };
  // As `receive`, but gives up at `until`.
  asio::awaitable<Got> receive_until(std::optional<Instant> until) {
    if (!shared_) co_return Got{};
    for (;;) {
      {
        std::lock_guard lock(shared_->mutex);
        if (shared_->closed) co_return Got{std::exchange(shared_->value, std::nullopt), false};
      }
      if (until && !(std::chrono::steady_clock::now() < *until)) co_return Got{std::nullopt, true};
      co_await shared_->bell.wait(until);
    }
  }

  // Without waiting: the value when it is there.
  std::optional<T> take() {
    if (!shared_) return std::nullopt;
    std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->value, std::nullopt);
  }
  Status status() const {
    if (!shared_) return Status::Closed;
    std::lock_guard lock(shared_->mutex);
    if (shared_->value) return Status::Ready;
    return shared_->closed ? Status::Closed : Status::Waiting;
  }

 private:
  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
  auto shared = std::make_shared<detail::Shared<T>>();
  return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace once

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
