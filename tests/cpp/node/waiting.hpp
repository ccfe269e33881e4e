// Runs a coroutine on a pool and waits for its value on the test's own thread.
#pragma once

#include <future>

#include "node/threads_asio.hpp"

namespace vorel::node::testing {

template <class T>
T wait(Threads& threads, asio::awaitable<T> work) {
  std::promise<T> promise;
  auto future = promise.get_future();
  spawn(threads, [](asio::awaitable<T> work, std::promise<T> promise) -> asio::awaitable<void> {
    promise.set_value(co_await std::move(work));
  }(std::move(work), std::move(promise)));
  return future.get();
}

inline void wait(Threads& threads, asio::awaitable<void> work) {
  std::promise<void> promise;
  auto future = promise.get_future();
  spawn(threads, [](asio::awaitable<void> work, std::promise<void> promise) -> asio::awaitable<void> {
    co_await std::move(work);
    promise.set_value();
  }(std::move(work), std::move(promise)));
  future.get();
}

}  // namespace vorel::node::testing
