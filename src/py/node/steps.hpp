// Loop callbacks over steps of the engine that report failure as false with the Python error set.
#pragma once

#include <optional>
#include <utility>

#include "py/node/callback.hpp"

namespace vorel::py::steps {

// A Callback for `call_soon` and `call_later`; null with the error set.
template <class F>
Object bare(F f) {
  return Callback::bare([f = std::move(f)](Token) mutable -> Raised { return f() ? Raised() : caught(); });
}

// The loop's handle of a timer that runs `f` after `seconds`; null with the error set.
template <class F>
Object later(PyObject* loop, double seconds, F f) {
  Object timer = bare(std::move(f));
  Object delay = timer ? Object::steal(PyFloat_FromDouble(seconds)) : Object();
  if (!delay) return delay;
  return call_method(loop, "call_later", delay.get(), timer.get());
}

// Cancels a timer handle or a task, when there is one; false with the error set.
inline bool cancel(const Object& handle) {
  if (!handle || handle.get() == Py_None) return true;
  return static_cast<bool>(call_method(handle.get(), "cancel"));
}

// The end of a step that went on past a failure: true when nothing was kept, else the kept
// exception raised again. A later failure returns before this, and its error stands.
inline bool raise_kept(Object kept) {
  if (!kept) return true;
  PyErr_SetRaisedException(kept.release());
  return false;
}

// Adds a done callback to the future; false with the error set.
template <class F>
bool when_done(PyObject* future, F f) {
  Raised r = callback::when_done(
      future, [f = std::move(f)](Token, PyObject* finished) mutable -> Raised { return f(finished) ? Raised() : caught(); });
  if (!r) return true;
  rethrow(std::move(*r));
  return false;
}

}  // namespace vorel::py::steps
