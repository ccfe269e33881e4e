// The cluster side of a system: made when the system starts to enter its cluster, it holds the
// transport threads, the loop channel the node runtime answers through and, once the start has
// completed, the running node and its handle. Until then the system runs as a node outside any
// cluster.
//
// Its three mutexes (threads, running, start) each guard one take or store and are never held
// together, nor across a call into Python.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/options.hpp"
#include "exec/threads.hpp"
#include "node/cluster.hpp"
#include "node/host.hpp"
#include "node/node.hpp"
#include "py/node/inbox.hpp"

namespace vorel::node {
class Running;
}  // namespace vorel::node

namespace vorel::py {

class Node;

namespace cluster {
class Mapping;
}  // namespace cluster

// A hold on a system's core that a task on the transport threads may carry and drop there: the
// last hold lets the core go with the interpreter lock, which it takes when it is not held.
class Anchored {
 public:
  Anchored() = default;
  explicit Anchored(std::shared_ptr<Node> node) : node_(std::move(node)) {}
  Anchored(Anchored&&) noexcept = default;
  Anchored& operator=(Anchored&& other) noexcept {
    if (this != &other) {
      reset();
      node_ = std::move(other.node_);
    }
    return *this;
  }
  Anchored(const Anchored&) = delete;
  Anchored& operator=(const Anchored&) = delete;
  ~Anchored() { reset(); }

  const std::shared_ptr<Node>& get(Token) const { return node_; }
  explicit operator bool() const { return static_cast<bool>(node_); }
  void reset();

 private:
  std::shared_ptr<Node> node_;
};

class Joined {
 public:
  Joined(std::shared_ptr<vorel::exec::Threads> threads, std::shared_ptr<inbox::Bell> bell);
  // The last reference shuts the side down before its fields go.
  ~Joined();
  Joined(const Joined&) = delete;
  Joined& operator=(const Joined&) = delete;

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
  // Set once, by the start's completion; a later call keeps the first handle, and a side that has
  // shut down keeps none.
  void joined(vorel::node::Node node) {
    if (!threads()) return;
    std::lock_guard guard(node_mutex_);
    if (!node_) node_.emplace(std::move(node));
  }

  // Spawns the start of the node runtime on the side's threads; its completion on the loop
  // resolves `future` with `value`, or fails it with Refused. With a mapping, every address the
  // node dials passes the mapping first. On the loop thread; false with the error set when the
  // side has shut down already.
  static bool start(const std::shared_ptr<Joined>& self, vorel::node::Cluster cluster,
                    std::vector<core::Kind> kinds, std::shared_ptr<vorel::node::Host> host,
                    std::shared_ptr<cluster::Mapping> mapping, bool member, std::shared_ptr<Node> node,
                    Object future, Object value);
  // Ends the node: gracefully (the keys are handed over within the leave timeout) or at once.
  // `exit` is the future the leave resolves, null after a removal, whose leave joins again.
  // On the loop thread.
  static void leave(const std::shared_ptr<Joined>& self, const std::shared_ptr<Node>& node, bool abort,
                    Object exit);
  // Aborts a start under way and lets the transport threads go. Never fails. The first form is for
  // a thread without the interpreter lock; the second, for the loop, lets the lock go while the
  // threads may be joined, since a worker may be waiting for it.
  void shutdown();
  void shutdown(Token);

  // For the start's completion: keeps the started node, dropping one kept before.
  void keep(std::unique_ptr<vorel::node::Running> running);

 protected:
  mutable std::mutex threads_mutex_;
  std::shared_ptr<vorel::exec::Threads> threads_;
  std::shared_ptr<inbox::Bell> bell_;
  mutable std::mutex node_mutex_;
  std::optional<vorel::node::Node> node_;
  std::mutex running_mutex_;
  std::unique_ptr<vorel::node::Running> running_;
  std::mutex start_mutex_;
  std::optional<vorel::exec::Task> start_;

 private:
  std::shared_ptr<vorel::exec::Threads> stopped();
};

namespace cluster {

// The end of a leave, on the loop: the side shut down and let go by the system, then either the
// system stops (with an exit future) or, after a removal, it joins its cluster again.
Raised left(Token token, const std::shared_ptr<Joined>& joined, const std::shared_ptr<Node>& node, Object exit);

}  // namespace cluster
}  // namespace vorel::py
