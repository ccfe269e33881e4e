// The `actor` decorator and the readers of its options. The readers of durations and backoff
// objects serve every other reader of such settings too (systems, clients, schedules, clusters),
// so that they behave the same everywhere.
//
// Every function here that can fail returns none (or null) with the Python exception set.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/backoff.hpp"
#include "core/options.hpp"
#include "py/definition.hpp"
#include "py/object.hpp"
#include "py/schema/introspect.hpp"

namespace vorel::py::actor {

// The duration of a timedelta of zero or more. A negative one is a ValueError that names `label`;
// any other object is the TypeError of the conversion.
std::optional<core::Duration> period(const char* label, PyObject* value);

// A backoff read from the attributes "first", "limit" and "factor" of any object.
std::optional<core::Backoff> backed_off(PyObject* value);

// The write level whose text is exactly the str `text`, else the ValueError that names it.
std::optional<core::WriteLevel> written(PyObject* text);

// Argument checks that name the argument: a str; an int (or an object with __index__) that fits
// 64 bits unsigned, out of range being the conversion's own OverflowError.
bool is_str(const char* label, PyObject* value);
std::optional<std::uint64_t> count(const char* label, PyObject* value);

// Sets a ValueError with the text, passed as a str object so that nothing in it reads as a format.
void value_error(const std::string& message);

// The debug form of a str, in which refusals show a refused text: between double quotes, with
// backslash escapes for quotes, backslashes, \t \r \n \0, and \u{hex} for any other character
// that does not print.
std::optional<std::string> debug(PyObject* text);

// The state or message schema of a type; a schema failure names `label` ("state" or "message").
Compiled compiled(const schema::Introspect& in, PyObject* hint, std::string_view label);

// Converts a timedelta field back for Python: a new `timedelta`, or null with the error set.
Object timedelta(core::Duration duration);

// The class of what `actor` returns without a body (borrowed, kept); null with the error set.
PyObject* decorator_type();

// The module's function `actor`, with its sentinel, for PyModule_AddFunctions.
extern PyMethodDef functions[];

}  // namespace vorel::py::actor

namespace vorel::py::collections {

// A new native collection of the kind an actor type name selects: "vorel.collections:<kind>.actor"
// or "vorel.collections:<kind>_<digits>_<level>"; null for any other name.
Native collection(std::string_view name);

}  // namespace vorel::py::collections
