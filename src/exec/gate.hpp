// A gate in front of work in flight, for an orderly shutdown: each piece of work holds a pass
// while it runs, closing refuses new passes, and whoever closed hears once the last pass is
// back. Safe from any thread; the passes share the gate's state, so they may outlive the Gate.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace vorel::exec {

class Gate {
  struct State;

 public:
  // One piece of work inside the gate; it leaves when the pass goes, or at `leave`.
  class Pass {
   public:
    Pass(Pass&&) noexcept = default;
    Pass& operator=(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass() { leave(); }

    // The last pass out of a closed gate runs the close's callbacks here, on this thread: let it
    // go where they may run, never under a lock they take.
    void leave();

   private:
    friend class Gate;
    explicit Pass(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  Gate();
  Gate(Gate&&) noexcept = default;
  Gate& operator=(Gate&&) noexcept = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // A pass while the gate is open; none once it is closed.
  std::optional<Pass> enter();

  // Closes the gate for good and calls `closed` once no pass is out: at once, on this thread,
  // when none is, and then it says true; otherwise on the thread of the last pass to leave.
  // Every close is answered.
  bool close(std::move_only_function<void()> closed = nullptr);

  bool is_closed() const;
  // Passes out, for a test or a statistic; it may change as soon as it is read.
  std::size_t count() const;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vorel::exec
