// The cluster side of a system: made when the system starts to enter its cluster, it holds the
// node runtime's handle once the runtime has started. Until then the system runs as a node
// outside any cluster.
#pragma once

#include <memory>
#include <mutex>

namespace vorel::node {
class Node;
}  // namespace vorel::node

namespace vorel::py {

class Joined {
 public:
  // The handle of the started node runtime; none while it starts.
  std::shared_ptr<vorel::node::Node> running() const {
    std::lock_guard guard(mutex_);
    return runtime_;
  }

  void started(std::shared_ptr<vorel::node::Node> runtime) {
    std::lock_guard guard(mutex_);
    runtime_ = std::move(runtime);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<vorel::node::Node> runtime_;
};

}  // namespace vorel::py
