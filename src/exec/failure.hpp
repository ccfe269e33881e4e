// What an exception that leaves background work means. Work on the worker threads reports its
// failures as values; an exception that gets out all the same is a fault of this program, and
// ends the process with a fixed text rather than vanishing with the thread's next task. The
// one exception is the unwind of a thread that is being ended (pthread_exit or a cancellation),
// which must reach the start of its thread.
#pragma once

#include <cxxabi.h>

#include <exception>

namespace vorel::exec {

// Whether the exception is the end of a coroutine whose wait was cancelled: the way an aborted
// coroutine stops.
bool cancelled(const std::exception_ptr& error);

// Writes `text`, and the exception's own text when it has one, then aborts.
[[noreturn]] void broken(const std::exception_ptr& error, const char* text);

// Runs `work`, letting a thread-exit unwind through and ending the process with `text` on any
// other exception. The unwind carries no object, so its handler binds a reference to null:
// UBSan's null check is off here for that.
template <class F>
[[gnu::no_sanitize("null")]] void guarded(F&& work, const char* text) {
  try {
    work();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    broken(std::current_exception(), text);
  }
}

}  // namespace vorel::exec
