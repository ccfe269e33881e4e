// What `ActorSystem` and `Client` share: the node behind either object, the checks of a running
// system, and the methods and attributes both classes carry besides their own.
#pragma once

#include <memory>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::facade {

// The node of an `ActorSystem` or `Client` object (the caller knows it is one of them).
const std::shared_ptr<Node>& node_of(PyObject* self);

// The node, unless the system has stopped or was never entered; null with RuntimeError "the system
// has stopped" or "the system has not started", tested in that order.
Node* running(PyObject* self);

// The class's own methods followed by the shared ones, and by the hooks of a hosting system when
// `hosting` is set; the table lives as long as the process.
PyMethodDef* methods(const PyMethodDef* own, bool hosting);
// The class's own attributes followed by the shared ones.
PyGetSetDef* getset(const PyGetSetDef* own, bool hosting);

}  // namespace vorel::py::facade
