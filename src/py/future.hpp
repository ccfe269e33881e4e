// The asyncio futures the binding settles. A future is settled only while it is not done: its
// waiter may have cancelled it, or a timeout settled it first, and a second result would raise.
#pragma once

#include <optional>

#include "py/object.hpp"

namespace vorel::py::future {

// True when the future is done; none with the error set.
std::optional<bool> done(PyObject* future);

// Sets the future's result, unless it is done; false with the error set. A null value is a value
// that could not be made: false, with its error left set.
bool resolve(PyObject* future, PyObject* value);

// Sets the future's exception, unless it is done; false with the error set. A null error is an
// exception that could not be made: false, with its error left set.
bool fail(PyObject* future, PyObject* error);

// Ends the `async for` that awaits the future with a new StopAsyncIteration, unless it is done.
bool stop(PyObject* future);

}  // namespace vorel::py::future
