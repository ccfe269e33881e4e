// The class `Context`, which every run of a body is given. Actor types read their state and
// message types from the annotation of that one parameter, Context[S, M].
#pragma once

#include "py/object.hpp"

namespace vorel::py::context {

// The class (borrowed, kept for the life of the process), or nullptr with the error set.
PyObject* type();

}  // namespace vorel::py::context
