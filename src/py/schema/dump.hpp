// How a value chooses what it is written by: the test of a value against a node, and the choice
// of a union's alternative. The value writer writes the chosen alternative in its own form.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py::schema::dump {

// The __qualname__ of the value's type: how refusals name what was found.
Result<std::string> named(PyObject* value);

// The position of the first of the literal's values that the value is: an exact bool of the same
// truth, an exact int equal to it, an exact str of the same UTF-8 bytes. None when it is none.
Result<std::optional<std::size_t>> literal(const core::schema::ir::Node::Literal& node, PyObject* value);

// Whether the value has the Python type the node writes. A literal matches only the values it
// writes, so a union chooses the same alternative for a value whatever order it lists them in.
Result<bool> matches(const Schema& schema, core::schema::ir::Index node, PyObject* value);

struct Choice {
  core::schema::ir::Index node;
  bool tagged;  // a dataclass entry, written as [name, map]
};

// A union's alternative for the value: the dataclass entry named by the value's exact type, else
// the first enumeration that matches, else the first alternative that matches; none when no
// alternative takes the value.
Result<std::optional<Choice>> chosen(const Schema& schema, const core::schema::ir::Node::Union& node,
                                     PyObject* value);

}  // namespace vorel::py::schema::dump
