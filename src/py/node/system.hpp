// The class `ActorSystem`: a node that hosts actors, entered with `async with` on a running loop.
#pragma once

#include "py/object.hpp"

namespace vorel::py::system {

// The class (borrowed, made once per process); null with the error set.
PyObject* type();

}  // namespace vorel::py::system
