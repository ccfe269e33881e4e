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

// The node of an ActorSystem; null with a TypeError for any other object.
std::shared_ptr<Node> node(PyObject* system);

}  // namespace vorel::py::system
