// The calls of a Python store object (`load`, `save`, `drop`): each runs as a task of the loop
// under a time limit, and its outcome comes back to the caller as one value on the loop thread.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/store.hpp"
#include "py/node/callback.hpp"

namespace vorel::py::storage {

// The record a load found (none: no record, and every save and drop), or the failure text.
using Result = std::expected<std::optional<core::Stored>, std::string>;
using Done = std::move_only_function<Raised(Token, Result)>;

// Calls the store with the request and hands its outcome to `done`, at once when the call could
// not start, else from the task's done callback. Hands back the exception of `done` when it ran
// at once, or the exception that kept the call from being watched at all; `done` is then released
// without being called, and `ran` tells the two apart.
Raised perform(Token token, PyObject* store, std::string_view actor, std::string_view key, double timeout,
               core::Storage request, Done done, bool* ran = nullptr);

// The failure text of an exception a store call ended with.
std::string described(PyObject* exception, double timeout);

// What a load's answer is: a record, none, or the failure text of an answer of the wrong shape.
Result record(PyObject* answer);

}  // namespace vorel::py::storage
