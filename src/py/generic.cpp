#include "py/generic.hpp"

namespace vorel::py::generic {

std::vector<Object> subscript(PyObject* item) {
  std::vector<Object> out;
  if (!PyTuple_Check(item)) {
    out.push_back(Object::borrow(item));
    return out;
  }
  const Py_ssize_t n = PyTuple_Size(item);
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(Object::borrow(PyTuple_GetItem(item, i)));
  return out;
}

Object aliased(PyObject* cls, const std::vector<Object>& arguments) {
  Object types = import("types");
  if (!types) return types;
  Object generic_alias = attr(types.get(), "GenericAlias");
  if (!generic_alias) return generic_alias;
  Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), Object(arguments[i]).release()) < 0) return Object();
  }
  return call(generic_alias.get(), cls, tuple.get());
}

}  // namespace vorel::py::generic
