// Instances made the way a class's own construction makes them, without running its Python code,
// where that code does nothing but store the values given: the generated __init__ of a frozen
// dataclass, and UUID's. Reading a value then costs what storing its fields costs, and nothing
// can tell the instance from one the class made. Which way a class is made is decided when its
// schema is compiled, like everything else a schema knows of the class: an __init__ or a
// __post_init__ given to the class after that is not seen.
#pragma once

#include <span>

#include "py/object.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema::bare {

// Whether making an instance of `cls` from one value per field is object.__new__(cls) followed by
// object.__setattr__ of every field in `names`' order, and nothing else: the class is created by
// type's own call, has no __new__ and no __post_init__, and its __init__ is the one dataclasses
// generates for a frozen class, taking exactly these names.
Result<bool> stores_fields(PyObject* cls, std::span<const Object> names);

// object.__new__(cls), then object.__setattr__(instance, names[i], values[i]) in order; the error
// of either is passed through.
Result<Object> made(PyObject* cls, std::span<const Object> names, std::span<PyObject* const> values);

}  // namespace vorel::py::schema::bare
