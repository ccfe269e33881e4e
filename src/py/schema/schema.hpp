// A compiled annotation with everything that writing and reading a value by it need.
#pragma once

#include <utility>
#include <vector>

#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"
#include "py/schema/values.hpp"

namespace vorel::py::schema {

// Immutable once built; shared by reference by whatever writes or reads by it.
struct Schema {
  core::schema::ir::Tree tree;
  std::vector<Object> classes;                    // indexed by Path, Enum, Dataclass and Tagged nodes
  std::vector<std::pair<Object, Object>> codecs;  // (encode, decode), indexed by Opaque nodes
  Values values;

  // Compiles one annotation with an introspection of its own.
  static Result<Schema> of(PyObject* annotation, bool sorted);
  // Compiles one annotation with the introspection of a larger compilation (an actor type's).
  // `sorted` makes frozensets and mappings write their elements in the order of their encodings.
  static Result<Schema> compiled(const Introspect& in, PyObject* annotation, bool sorted);
};

}  // namespace vorel::py::schema
