// Runs a coroutine on a pool and waits for its value on the test's own thread. Every wait is
// bounded: one that does not end fails the test by an exception instead of hanging the run.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>

#include "exec/threads_asio.hpp"

namespace vorel::exec::testing {

inline constexpr std::chrono::seconds kBound{60};

// The future's value once it is ready, waiting no longer than the bound.
template <class T>
T settled(std::future<T>& future) {
  if (future.wait_for(kBound) != std::future_status::ready) throw std::runtime_error("a wait of the test did not end in time");
  return future.get();
}

template <class T>
T wait(Threads& threads, asio::awaitable<T> work) {
  // Shared with the coroutine, which may still run after a wait that gave up.
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  spawn(threads, [](asio::awaitable<T> work, std::shared_ptr<std::promise<T>> promise) -> asio::awaitable<void> {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(work);
      promise->set_value();
    } else {
      promise->set_value(co_await std::move(work));
    }
  }(std::move(work), promise));
  return settled(future);
}

}  // namespace vorel::exec::testing
