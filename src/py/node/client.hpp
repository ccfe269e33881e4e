// The class `Client`: sends messages to the actors of a cluster without hosting keys or joining
// its membership.
#pragma once

#include <memory>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::client {

// The class (borrowed, made once per process); null with the error set.
PyObject* type();

// The node of a Client object (the caller knows it is one).
const std::shared_ptr<Node>& node(PyObject* self);

}  // namespace vorel::py::client
