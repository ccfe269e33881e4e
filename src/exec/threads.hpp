// The pool of worker threads on which the node runtime, the transport and the store run their
// tasks. It is shared by handle; no holder can stop it, it stops when the last holder lets go.
// Code that needs Asio itself (sockets, timers, coroutines) includes exec/threads_asio.hpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vorel::exec {

class Threads;

// A handle on one spawned task. Dropping it leaves the task running.
class Task {
 public:
  Task() = default;

  // A task that has not started never starts; a coroutine that is under way is cancelled at the
  // operation it waits on, and ends at its next wait.
  void abort() const;
  // Whether the task has ended: run to its end, aborted or dropped with its pool.
  bool finished() const;

  struct Control;
  explicit Task(std::shared_ptr<Control> control) : control_(std::move(control)) {}

 private:
  std::shared_ptr<Control> control_;
};

class Threads : public std::enable_shared_from_this<Threads> {
 public:
  // Without a count, one worker per processor core.
  static std::expected<std::shared_ptr<Threads>, std::string> start(std::optional<std::size_t> count = std::nullopt);

  ~Threads();
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;

  // A task reports its failures as values: an exception out of one is a fault of this program
  // and ends the process (exec/failure.hpp); a thread-exit unwind ends only its worker.
  Task spawn(std::move_only_function<void()> work);

  // Tasks spawned and not yet ended (run to their end, aborted, or dropped unrun).
  std::size_t tasks() const;
  std::size_t workers() const;
  // Whether the calling thread is one of this pool's workers.
  bool inside() const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  explicit Threads(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorel::exec
