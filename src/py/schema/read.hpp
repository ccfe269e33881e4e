// Reads of Python objects for the schema layer: each failure is the Python exception, passed
// through as the pass-through kind of schema failure.
#pragma once

#include <string>
#include <vector>

#include "py/object.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema::read {

// Whether o is an instance of cls. Defined here so that every caller answers the value of the very
// class, as most are, inline and without a call into the interpreter.
inline Result<bool> instance(PyObject* o, PyObject* cls) {
  if (Py_IS_TYPE(o, reinterpret_cast<PyTypeObject*>(cls))) return true;
  const int r = PyObject_IsInstance(o, cls);
  if (r < 0) return raised();
  return r == 1;
}
Result<bool> subclass(PyObject* o, PyObject* cls);
// An attribute that must be a str, as UTF-8.
Result<std::string> text_attribute(PyObject* o, const char* name);
// Everything an iterable yields, in order.
Result<std::vector<Object>> items(PyObject* iterable);

}  // namespace vorel::py::schema::read
