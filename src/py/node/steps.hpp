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

// True when the future is done; none with the error set.
inline std::optional<bool> done(PyObject* future) {
  Object answer = call_method(future, "done");
  if (!answer) return std::nullopt;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return std::nullopt;
  return truth == 1;
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
