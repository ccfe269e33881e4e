// The native callables the asyncio loop calls (timers, steps, done callbacks), and the small
// vocabulary of calls that run on the loop: the token that proves the interpreter lock is held,
// the exception a call hands back, and the reference a call may carry across threads.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "py/object.hpp"

namespace vorel::py {

// Passed to every call that runs on the loop: holding one means the interpreter lock is held on
// this thread. Only the places where that is true by construction (a slot or method that Python
// called) make one; a call hands its own token down to what it calls.
class Token {
 public:
  static Token assume() { return Token(); }

 private:
  Token() = default;
};

// What a call hands back: nothing, or the exception it raised, taken out as one object.
using Raised = std::optional<Object>;

// The interpreter's current exception, taken out (for `return caught();` after a failed call).
Raised caught();

// Makes the exception current again; returns nullptr for `return rethrow(...)`.
PyObject* rethrow(Object exception);

// A strong reference that may be let go on any thread.
//
// A call handed to another thread, above all one queued on a Bell, can be destroyed where the
// interpreter lock is not held: a producer on a transport thread may drop the last handle on a
// channel whose reader is gone, and with it every call still queued; a call made for the loop
// may never be queued at all. So the rule: such a call holds its Python references as `Carried`,
// never as `Object`. A Carried takes the lock to let go when it is not held (the interpreter's
// own re-entrant state API, which costs a counter when the lock is already held), and is moved,
// never copied (a copy would need the lock). Closures of a `Callback` are exempt: the Callback is
// a Python object and is only ever dropped with the lock held.
//
// Once the interpreter is finalized nothing can be let go any more; the reference is then left
// behind. Threads that carry references are ended by their owners before that.
class Carried {
 public:
  Carried() = default;
  explicit Carried(Object o) : p_(o.release()) {}
  Carried(Carried&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Carried& operator=(Carried&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Carried(const Carried&) = delete;
  Carried& operator=(const Carried&) = delete;
  ~Carried() { reset(); }

  PyObject* get(Token) const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset();

 private:
  PyObject* p_ = nullptr;
};

// `Callback`: a Python callable over one boxed one-shot call. The loop may call it any number of
// times; the closure runs on the first call only and is released when that call returns (or when
// the loop drops a Callback it never called).
class Callback {
 public:
  // Takes the tuple of positional arguments the loop passed.
  using Closure = std::move_only_function<Raised(Token, PyObject* args)>;
  using Bare = std::move_only_function<Raised(Token)>;

  // The class (borrowed, kept for the life of the process), or null with the error set.
  static PyObject* type();
  // A new Callback, or null with the error set.
  static Object make(Closure closure);
  // A Callback that ignores the loop's arguments: for `call_soon` and `call_later`.
  static Object bare(Bare f);
};

namespace callback {

using Done = std::move_only_function<Raised(Token, PyObject* done)>;

// Adds to `fut` a Callback that runs `f` with the finished future (its first argument). The
// exception of making the Callback or of `add_done_callback` is handed back; `f` then never runs.
Raised when_done(PyObject* fut, Done f);

// Hands an exception that no caller can be given (a call handed to the loop from another thread, a
// step that must go on past a failure) to the loop's exception handler, under `message`. A handler
// that fails, or no loop, cannot be told anywhere else: the failure goes to the unraisable hook, so
// that one bad handler stops nothing. Never fails; leaves no error set.
void report(PyObject* loop, const char* message, Object exception);

}  // namespace callback
}  // namespace vorel::py
