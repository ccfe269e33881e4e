// The cluster side of a system: made when the system starts to enter its cluster, it holds the
// transport threads, the loop channel the node runtime answers through and, once the start has
// completed, the handle of the joined node. Until then the system runs as a node outside any
// cluster.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "node/node.hpp"
#include "py/node/inbox.hpp"

namespace vorel::exec {
class Threads;
}  // namespace vorel::exec

namespace vorel::py {

class Joined {
 public:
  Joined(std::shared_ptr<vorel::exec::Threads> threads, std::shared_ptr<inbox::Bell> bell)
      : threads_(std::move(threads)), bell_(std::move(bell)) {}

  // The loop channel every answer of the node runtime comes back through.
  const std::shared_ptr<inbox::Bell>& bell() const { return bell_; }
  // The threads the node runtime runs on; none once the side has shut down.
  std::shared_ptr<vorel::exec::Threads> threads() const {
    std::lock_guard guard(threads_mutex_);
    return threads_;
  }
  // The joined node's handle; none until the start has completed.
  std::optional<vorel::node::Node> node() const {
    std::lock_guard guard(node_mutex_);
    return node_;
  }
  // Set once, by the start's completion; a later call keeps the first handle.
  void joined(vorel::node::Node node) {
    std::lock_guard guard(node_mutex_);
    if (!node_) node_.emplace(std::move(node));
  }

 protected:
  mutable std::mutex threads_mutex_;
  std::shared_ptr<vorel::exec::Threads> threads_;
  std::shared_ptr<inbox::Bell> bell_;
  mutable std::mutex node_mutex_;
  std::optional<vorel::node::Node> node_;
};

}  // namespace vorel::py
