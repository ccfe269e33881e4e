// Work a body hands beside itself (`Context.ask`, `Context.to_self`): it runs as a future of its
// own, and what it gives comes back to the key as a message, like any tell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::handed {

// Starts `work` beside run `number` of the activation; false with the error set. `mapper` and
// `failed` may be null.
bool handed(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* work,
            std::string what, PyObject* mapper, PyObject* failed);

// `Context.ask(target, msg, /, mapper, *, failed=None)`; null with the error set.
PyObject* ask(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* args,
              PyObject* kwargs);
// `Context.to_self(work, mapper=None, /, *, failed=None)`; null with the error set.
PyObject* to_self(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* args,
                  PyObject* kwargs);

}  // namespace vorel::py::handed
