#include "py/schema/read.hpp"

namespace vorel::py::schema::read {

Result<bool> subclass(PyObject* o, PyObject* cls) {
  int r = PyObject_IsSubclass(o, cls);
  if (r < 0) return raised();
  return r == 1;
}

Result<std::string> text_attribute(PyObject* o, const char* name) {
  Object value = attr(o, name);
  if (!value) return raised();
  auto text = utf8(value.get());
  if (!text) return raised();
  return *std::move(text);
}

Result<std::vector<Object>> items(PyObject* iterable) {
  Object iterator = Object::steal(PyObject_GetIter(iterable));
  if (!iterator) return raised();
  std::vector<Object> out;
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) out.push_back(std::move(item));
  if (PyErr_Occurred()) return raised();
  return out;
}

}  // namespace vorel::py::schema::read
