// Types named as a Python programmer writes them, for the compiler's refusals and the names of
// opaque values, and the supported type to write instead of a refused one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"

namespace vorel::py::schema::naming {

Result<std::string> name(const Introspect& in, PyObject* hint);

// What to write instead of the refused type (the hint's origin, or the hint when it has none),
// given the hint's arguments; none when there is nothing to suggest.
Result<std::optional<std::string>> replacement(const Introspect& in, PyObject* refused, const std::vector<Object>& args);

}  // namespace vorel::py::schema::naming
