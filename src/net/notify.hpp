// The transport's small wake-up primitives: a flag set once for good, a wake-up that keeps one
// pending permit, and an unbounded many-to-one channel that knows when its last sender is gone.
// Waiters resume on their own executor (their strand), never inside the caller of set or send.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "net/permit.hpp"

namespace vorel::net {

namespace notify {

// Turns a move-only completion handler into a copyable call that resumes it on its executor.
template <class Handler>
std::function<void()> resumer(Handler handler) {
  auto executor = asio::get_associated_executor(handler);
  auto shared = std::make_shared<Handler>(std::move(handler));
  return [shared, executor]() { asio::post(executor, std::move(*shared)); };
}

}  // namespace notify

// False until `set`, then true for good; any number of holders can wait for it or be called back.
class Flag {
 public:
  // True when this call was the one that set it.
  bool set() {
    std::map<std::uint64_t, std::function<void()>> calls;
    {
      std::lock_guard lock(mutex_);
      if (set_) return false;
      set_ = true;
      calls.swap(calls_);
    }
    for (auto& [ticket, call] : calls) call();
    return true;
  }

  bool is_set() const {
    std::lock_guard lock(mutex_);
    return set_;
  }

  // Calls `call` once the flag is set: at once, on this thread, when it already is. The ticket
  // lets a holder that stops caring drop the call, so finished tasks leave nothing behind.
  std::uint64_t subscribe(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      if (!set_) {
        const auto ticket = next_++;
        calls_.emplace(ticket, std::move(call));
        return ticket;
      }
    }
    call();
    return 0;
  }

  void forget(std::uint64_t ticket) {
    std::function<void()> dropped;
    std::lock_guard lock(mutex_);
    if (auto it = calls_.find(ticket); it != calls_.end()) {
      dropped = std::move(it->second);
      calls_.erase(it);
    }
  }

  template <class Token = asio::use_awaitable_t<>>
  auto wait(Token&& token = {}) {
    return asio::async_initiate<Token, void()>(
        [this](auto handler) { subscribe(notify::resumer(std::move(handler))); }, token);
  }

 private:
  mutable std::mutex mutex_;
  bool set_ = false;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::function<void()>> calls_;
};

// Wakes one waiter; a wake-up given while nobody waits stays pending and satisfies the next wait.
class Wakeup {
 public:
  void notify() { permit_.ring(); }

  template <class Token = asio::use_awaitable_t<>>
  auto wait(Token&& token = {}) {
    return asio::async_initiate<Token, void()>(
        [this](auto handler) {
          auto resume = notify::resumer(std::move(handler));
          if (permit_.take_or_wait(resume)) resume();
        },
        token);
  }

 private:
  Permit permit_;
};

// Unbounded, many senders, one receiver, values in the order they were sent. The receiver sees the
// end once every sender is gone; senders see a closed channel once the receiver is gone.
template <class T>
class Channel {
  struct State {
    std::mutex mutex;
    std::deque<T> values;
    std::size_t senders = 0;
    bool receiving = true;
    std::function<void()> waiter;

    void wake(std::unique_lock<std::mutex>& lock) {
      auto waiter = std::move(this->waiter);
      this->waiter = nullptr;
      lock.unlock();
      if (waiter) waiter();
    }
  };

 public:
  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) { attach(); }
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(Sender other) {
      std::swap(state_, other.state_);
      return *this;
    }
    ~Sender() { release(); }

    // False when the receiver is gone: the value is dropped.
    bool send(T value) const {
      if (!state_) return false;
      std::unique_lock lock(state_->mutex);
      if (!state_->receiving) {
        lock.unlock();
        return false;
      }
      state_->values.push_back(std::move(value));
      state_->wake(lock);
      return true;
    }

    void release() {
      if (!state_) return;
      auto state = std::move(state_);
      std::unique_lock lock(state->mutex);
      if (--state->senders == 0) state->wake(lock);
    }

   private:
    void attach() {
      if (!state_) return;
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
    std::shared_ptr<State> state_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
      close();
      state_ = std::move(other.state_);
      return *this;
    }
    ~Receiver() { close(); }

    // The next value, or none once no sender is left and nothing is queued.
    asio::awaitable<std::optional<T>> recv() {
      for (;;) {
        if (auto value = try_recv()) co_return value;
        {
          std::lock_guard lock(state_->mutex);
          if (state_->values.empty() && state_->senders == 0) co_return std::nullopt;
        }
        co_await wait();
      }
    }

    std::optional<T> try_recv() {
      std::lock_guard lock(state_->mutex);
      if (state_->values.empty()) return std::nullopt;
      T value = std::move(state_->values.front());
      state_->values.pop_front();
      return value;
    }

   private:
    auto wait() {
      return asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
          [this](auto handler) {
            auto resume = notify::resumer(std::move(handler));
            {
              std::lock_guard lock(state_->mutex);
              if (state_->values.empty() && state_->senders > 0) {
                state_->waiter = std::move(resume);
                return;
              }
            }
            resume();
          },
          asio::use_awaitable);
    }

    // Values still queued are dropped outside the lock: they may hold handles whose release
    // takes other locks.
    void close() {
      if (!state_) return;
      std::deque<T> dropped;
      {
        std::lock_guard lock(state_->mutex);
        state_->receiving = false;
        dropped.swap(state_->values);
        state_->waiter = nullptr;
      }
      state_.reset();
    }

    std::shared_ptr<State> state_;
  };

  static std::pair<Sender, Receiver> make() {
    auto state = std::make_shared<State>();
    return {Sender(state), Receiver(state)};
  }
};

}  // namespace vorel::net
