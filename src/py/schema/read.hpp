// Reads of Python objects for the schema layer: each failure is the Python exception, passed
// through as the pass-through kind of schema failure.
#pragma once

#include <string>
#include <vector>

#include "py/object.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema::read {

Result<bool> instance(PyObject* o, PyObject* cls);
Result<bool> subclass(PyObject* o, PyObject* cls);
// An attribute that must be a str, as UTF-8.
Result<std::string> text_attribute(PyObject* o, const char* name);
// Everything an iterable yields, in order.
Result<std::vector<Object>> items(PyObject* iterable);

}  // namespace vorel::py::schema::read
