// The class `Context`, which every run of a body is given, and the classes `State` and `Inbox` it
// hands out. Actor types read their state and message types from the annotation of the body's one
// parameter, Context[S, M].
#pragma once

#include <cstdint>
#include <memory>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::context {

// The class (borrowed, kept for the life of the process), or nullptr with the error set.
PyObject* type();
// The Context of run `number` of the activation; null with the error set.
Object make(const Object& activation, std::shared_ptr<Node> node, std::uint64_t number);

}  // namespace vorel::py::context

namespace vorel::py::state {
PyObject* type();
// The State of run `number` of the activation.
Object make(const Object& activation, std::uint64_t number);
}  // namespace vorel::py::state

namespace vorel::py::messages {
// The class `Inbox`.
PyObject* type();
// The inbox of run `number`, merged with the async iterator `source` unless it is null.
Object make(const Object& activation, std::uint64_t number, Object source);
}  // namespace vorel::py::messages
