// Helpers of the live transport tests: an io_context on two threads, bounded waits, loopback pairs.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include "net/pool.hpp"

namespace vorel::net::testing {

// Every wait of the live tests is bounded: a hang fails the test instead of the run.
inline constexpr std::chrono::seconds kBound{20};

class Threads {
 public:
  Threads() : work_(asio::make_work_guard(io_)) {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~Threads() {
    work_.reset();
    io_.stop();
    for (auto& t : threads_) t.join();
  }
  asio::io_context& io() { return io_; }
  asio::any_io_executor executor() { return io_.get_executor(); }

  // Runs a coroutine on the context and waits for its result, failing the test after `bound`.
  template <class T>
  std::optional<T> run(std::function<asio::awaitable<T>()> body, std::chrono::nanoseconds bound = kBound) {
    auto future = asio::co_spawn(io_, std::move(body), asio::use_future);
    if (future.wait_for(bound) != std::future_status::ready) {
      ADD_FAILURE() << "a coroutine did not finish in time";
      return std::nullopt;
    }
    return future.get();
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

// Polls `done` until it holds or `bound` passes.
inline bool eventually(const std::function<bool()>& done, std::chrono::nanoseconds bound = kBound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Two connected loopback TCP sockets: (dialer's, acceptor's).
inline std::pair<asio::ip::tcp::socket, asio::ip::tcp::socket> socket_pair(asio::io_context& io) {
  using asio::ip::tcp;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  tcp::socket dialer(io);
  dialer.connect(acceptor.local_endpoint());
  tcp::socket accepted = acceptor.accept();
  return {std::move(dialer), std::move(accepted)};
}

// What a pool's peer callback was given, readable from the test thread. The callback shares
// what it fills: a report already on its way while the pool closes may land after the test's
// copy is gone.
class Peers {
 public:
  std::shared_ptr<std::function<void(pool::Peer)>> callback() {
    return std::make_shared<std::function<void(pool::Peer)>>([seen = seen_](pool::Peer peer) {
      std::lock_guard lock(seen->mutex);
      seen->peers.push_back(std::move(peer));
    });
  }
  bool has(pool::Peer::Kind kind, const core::NodeId& node) {
    std::lock_guard lock(seen_->mutex);
    return std::count(seen_->peers.begin(), seen_->peers.end(), pool::Peer{kind, node}) > 0;
  }
  std::size_t count() {
    std::lock_guard lock(seen_->mutex);
    return seen_->peers.size();
  }

 private:
  struct Seen {
    std::mutex mutex;
    std::vector<pool::Peer> peers;
  };
  std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
};

}  // namespace vorel::net::testing
