// Loop callbacks over steps of the engine that report failure as false with the Python error set.
#pragma once

#include <utility>

#include "py/node/callback.hpp"

namespace vorel::py::steps {

// A Callback for `call_soon` and `call_later`; null with the error set.
template <class F>
Object bare(F f) {
  return Callback::bare([f = std::move(f)](Token) mutable -> Raised { return f() ? Raised() : caught(); });
}

// Has the loop run the step `delay` seconds from now (`call_later`): the timer's handle, or null
// with the error set.
template <class F>
Object later(PyObject* loop, double delay, F f) {
  Object step = bare(std::move(f));
  if (!step) return step;
  Object seconds = Object::steal(PyFloat_FromDouble(delay));
  if (!seconds) return seconds;
  return call_method(loop, "call_later", seconds.get(), step.get());
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
