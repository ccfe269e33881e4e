// The Asio side of the worker pool, for the code that runs sockets, timers and coroutines on it.
#pragma once

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <utility>

#include "exec/threads.hpp"

namespace vorel::exec {

asio::io_context& context(Threads& threads);

Task spawn(Threads& threads, asio::awaitable<void> work);

// The pool that runs this context while a holder has it; none once it is shutting down, or for a
// context that no pool runs.
std::shared_ptr<Threads> holder(asio::execution_context& context);

namespace detail {
template <class T>
struct Beside {
  std::mutex mutex;
  // The waiting coroutine's continuation; taken by whichever of the completion and a
  // cancellation comes first.
  std::move_only_function<void(T)> resume;

  std::move_only_function<void(T)> take() {
    std::lock_guard lock(mutex);
    return std::exchange(resume, nullptr);
  }
};
}  // namespace detail

// The completion of work that runs on a thread of its own. Called once, from any thread; called
// without a value (dropped unrun) it completes with the dropped value of beside().
template <class T>
class Done {
 public:
  Done(std::shared_ptr<detail::Beside<T>> state, std::shared_ptr<Threads> keep, T (*dropped)())
      : state_(std::move(state)), keep_(std::move(keep)), dropped_(dropped) {}
  Done(Done&&) = default;
  Done& operator=(Done&&) = delete;
  ~Done() {
    if (state_) (*this)(dropped_());
  }

  // Whether the coroutine still waits for the value, or was cancelled meanwhile.
  bool wanted() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<bool>(state_->resume);
  }

  void operator()(T value) {
    if (auto resume = state_->take()) resume(std::move(value));
    state_.reset();
    // The pool stays up until the continuation is queued on it and the copies of its executor
    // are gone; letting it go may end it here, on this thread.
    keep_.reset();
  }

 private:
  std::shared_ptr<detail::Beside<T>> state_;
  std::shared_ptr<Threads> keep_;
  T (*dropped_)();
};

// Runs `start(Done<T>)`, which hands work to another thread, and waits for that work's value on
// the coroutine's own executor. A cancellation of the coroutine completes it at once with
// `dropped()`; the work's value, when it comes later, is dropped. The pool running the coroutine
// is kept up while the work holds its Done, so the continuation always has somewhere to run.
template <class T, class Start>
asio::awaitable<T> beside(Start start, T (*dropped)()) {
  auto executor = co_await asio::this_coro::executor;
  auto keep = holder(asio::query(executor, asio::execution::context));
  // Named rather than written inside the co_await: g++ 12 destroys a lambda temporary of a
  // co_await expression twice, and with it what the lambda captured.
  auto initiation = [&start, dropped, &keep](auto handler) {
    auto state = std::make_shared<detail::Beside<T>>();
    auto ex = asio::get_associated_executor(handler);
    auto slot = asio::get_associated_cancellation_slot(handler);
    state->resume = [h = std::move(handler), ex](T value) mutable {
      asio::post(ex, [h = std::move(h), value = std::move(value)]() mutable { h(std::move(value)); });
    };
    if (slot.is_connected()) {
      slot.assign([state, dropped](asio::cancellation_type) {
        if (auto resume = state->take()) resume(dropped());
      });
    }
    if (!keep) {
      // The pool is going down: nothing may be handed to another thread that would later need
      // it. The continuation is queued and dropped with the pool.
      if (auto resume = state->take()) resume(dropped());
      return;
    }
    start(Done<T>(state, std::move(keep), dropped));
  };
  T value = co_await asio::async_initiate<decltype(asio::use_awaitable), void(T)>(initiation, asio::use_awaitable);
  // A cancelled coroutine ends at this wait instead of going on with the dropped value.
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) asio::detail::throw_error(asio::error::operation_aborted);
  co_return value;
}

}  // namespace vorel::exec
