// The `Ref` class: the Python handle through which code reaches an entity, a pending ask on some
// node, or nobody. Two refs are the same ref when their targets are equal; what a ref carries
// besides its target is the way to reach that target from here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "core/node.hpp"
#include "py/object.hpp"

namespace vorel::py {

class Node;

namespace refs {

struct Ref {
  std::optional<core::Target> target;  // none: the ref reaches nobody
  Object schema;                       // the Python `Schema` its messages are written with
  std::shared_ptr<py::Node> node;      // the system it sends through; none when bound to no system
  std::uint32_t messages = 0;          // the schema node its messages travel as
};

// The class, made at its first use and kept for the life of the process (borrowed); null with
// the error set when it could not be made.
PyObject* type();

// The module function `nobody`.
extern PyMethodDef functions[];

// A new Python `Ref` holding the record; null with the error set.
Object make(Ref ref);

// The record of a `Ref` object, or null when the object is not one.
const Ref* of(PyObject* o);

// The identity hash of a target: SipHash-1-3 with both keys zero of the target's presence and
// fields, never -1.
std::int64_t hash(const std::optional<core::Target>& target);

}  // namespace refs
}  // namespace vorel::py
