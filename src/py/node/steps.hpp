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
