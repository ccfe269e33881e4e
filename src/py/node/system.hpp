// The class `ActorSystem`: a node that hosts actors, entered with `async with` on a running loop.
#pragma once

#include <memory>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::system {

// The class (borrowed, made once per process); null with the error set.
PyObject* type();

// The node of an ActorSystem object (the caller knows it is one).
const std::shared_ptr<Node>& node(PyObject* self);

// The entry of one of the class's own methods or attributes, which a Client shares by name.
PyMethodDef method(const char* name);
PyGetSetDef attribute(const char* name);

}  // namespace vorel::py::system
