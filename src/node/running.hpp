// The start of a node from its configuration, and the two ways it ends: a graceful leave that
// hands the node's keys over first, and an abort.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "core/backoff.hpp"
#include "core/options.hpp"
#include "node/cluster.hpp"
#include "node/host.hpp"
#include "node/node.hpp"
#include "exec/threads.hpp"

namespace vorel::net {
class Flag;
}  // namespace vorel::net

namespace vorel::node {

// The start's refusal when the loop ended before the node joined.
inline constexpr std::string_view kStoppedBeforeJoin = "the node stopped before it joined";

// A started node. Dropping it aborts the node's event loop, whose endpoint then closes the pool
// abruptly; `leave` and `crash` end it on purpose instead.
class Running {
 public:
  // Runs on the node runtime's threads: it spawns the node's event loop there, then waits, with
  // no time limit, until the node has joined. `member`: false for a client, which binds no
  // listener and hosts no keys.
  static asio::awaitable<std::expected<Running, std::string>> began(Cluster cluster, std::vector<core::Kind> kinds,
                                                                    std::shared_ptr<Host> host, bool member);

  Running(Running&&) noexcept = default;
  Running& operator=(Running&&) = delete;
  ~Running();

  // Announces the leave, hands the node's keys to their next replicas for at most leave_timeout,
  // then gives up what is still owed (the observer hears of it), departs, stops the loop and
  // closes the transport gracefully. Gives the keys given up. Ends at once for a node whose loop
  // ended on its own.
  asio::awaitable<std::vector<Key>> leave();
  // Aborts the node's event loop and waits until it and its listener have ended.
  asio::awaitable<void> crash();

  const Node& node() const { return node_; }
  core::Duration leave_timeout() const { return leave_timeout_; }
  // Set once the listener's accept task has ended; none for a client.
  const std::shared_ptr<net::Flag>& accepting() const { return accepting_; }
  // Whether the event loop and its endpoint are gone.
  bool ended() const;

 private:
  Running(std::shared_ptr<net::Flag> accepting, core::Duration leave_timeout, Node node, exec::Task run,
          std::shared_ptr<net::Flag> ended);
  asio::awaitable<void> over();

  std::shared_ptr<net::Flag> accepting_;
  core::Duration leave_timeout_;
  Node node_;
  exec::Task run_;
  std::shared_ptr<net::Flag> ended_;
};

}  // namespace vorel::node
