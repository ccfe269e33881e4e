// The `actor` decorator, which reads its options with the readers of py/options.hpp.
//
// Every function here that can fail returns none (or null) with the Python exception set.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/definition.hpp"
#include "py/object.hpp"
#include "py/schema/introspect.hpp"

namespace vorel::py::actor {

// The state or message schema of a type; a schema failure names `label` ("state" or "message").
Compiled compiled(const schema::Introspect& in, PyObject* hint, std::string_view label);

// The class of what `actor` returns without a body (borrowed, kept); null with the error set.
PyObject* decorator_type();

// The module's function `actor`, with its sentinel, for PyModule_AddFunctions.
extern PyMethodDef functions[];

}  // namespace vorel::py::actor
