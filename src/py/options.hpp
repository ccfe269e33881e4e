// The readers of option values that every setting shares: the options of `actor`, of systems and
// clients, of schedules and of cluster configurations read durations, backoffs, write levels,
// counts and texts alike, and refuse them in the same words.
//
// Every function here that can fail returns none (or null) with the Python exception set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/backoff.hpp"
#include "core/options.hpp"
#include "py/object.hpp"

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

// Whether a str equals the ASCII text exactly, whatever it holds (lone surrogates and NULs
// included); never raises.
bool equals(PyObject* text, const char* ascii);

// A refusal of a text option: ValueError "{label} is {debug form}, {rest}".
void refused(const char* label, PyObject* value, std::string_view rest);

// The class `datetime.timedelta`; null with the error set.
Object timedelta_class();

// Converts a timedelta field back for Python: a new `timedelta`, or null with the error set.
Object timedelta(core::Duration duration);

}  // namespace vorel::py::actor
