// Node identities as the Python package shows them: a `vorel.NodeId` of an address and a UUID.
#pragma once

#include <optional>

#include "core/node.hpp"
#include "py/object.hpp"

namespace vorel::py::identity {

// The `vorel.NodeId` of a node; null with the error set. The classes are looked up at every call,
// so a package reloaded by a test is the one used.
Object of(const core::NodeId& id);

// The node an object with `incarnation` (whose `bytes` are sixteen byte values) and `address`
// (None or a str) names; none with the error set.
std::optional<core::NodeId> read(PyObject* object);

// A fresh incarnation, the bytes of a random UUID; none with the error set.
std::optional<core::Incarnation> incarnation();

}  // namespace vorel::py::identity
