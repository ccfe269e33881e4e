// The class Runtime: a pool of transport threads that systems and clients share.
#pragma once

#include <memory>

#include "exec/threads.hpp"
#include "py/object.hpp"

namespace vorel::py::runtime {

// The class object (borrowed, kept for the life of the process), or nullptr with the
// interpreter's error set when it could not be made.
PyObject* type();

// The pool that an instance of the class, or of a subclass, holds; none for any other object.
std::shared_ptr<exec::Threads> threads(PyObject* object);

}  // namespace vorel::py::runtime
