// A channel that carries at most one value from the node runtime to whoever waits for it. A
// sender dropped without sending closes the channel, so the waiting side learns that no answer
// will come; sending to a receiver that is gone is not an error.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorel::node::oneshot {

enum class Status { Waiting, Ready, Closed };

namespace detail {

template <class T>
struct Shared {
  std::mutex mutex;
  std::optional<T> value;
  bool closed = false;
};

}  // namespace detail

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
  void send(T value) {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->closed) shared_->value = std::move(value);
      shared_->closed = true;
    }
    shared_.reset();
  }

 private:
  // The handle goes only after the lock is released: when the receiver went first, it is the
  // last one, and the mutex goes with it.
  void close() {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->closed = true;
    }
    shared_.reset();
  }

  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}

  Status status() const {
    if (!shared_) return Status::Closed;
    std::lock_guard lock(shared_->mutex);
    if (shared_->value) return Status::Ready;
    return shared_->closed ? Status::Closed : Status::Waiting;
  }

  // The value, once; none while waiting or when the channel closed without one.
  std::optional<T> take() {
    if (!shared_) return std::nullopt;
    std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->value, std::nullopt);
  }

 private:
  std::shared_ptr<detail::Shared<T>> shared_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
  auto shared = std::make_shared<detail::Shared<T>>();
  return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace vorel::node::oneshot
