// A channel that carries at most one value from the node runtime to whoever waits for it. A
// sender dropped without sending closes the channel, so the waiting side learns that no answer
// will come; sending to a receiver that is gone is not an error. The receiver may look without
// waiting, or wait on the node runtime's threads.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>

#include "node/await.hpp"

namespace vorel::node {

namespace oneshot {

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

// One receiver, so that one task at most waits on the channel's bell.
template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) noexcept = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

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

}  // namespace oneshot

}  // namespace vorel::node
