#include "py/node/observe.hpp"

namespace vorel::py::observe {
namespace {

Object built(Event event, const std::vector<Object>& arguments) {
  Object vorel = import("vorel");
  if (!vorel) return vorel;
  Object cls = attr(vorel.get(), kNames[static_cast<std::size_t>(event)]);
  if (!cls) return cls;
  Object args = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
  for (std::size_t i = 0; args && i < arguments.size(); ++i) {
    PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), Object(arguments[i]).release());
  }
  if (!args) return args;
  return Object::steal(PyObject_CallObject(cls.get(), args.get()));
}

}  // namespace

void deliver(PyObject* loop, PyObject* observer, Event event, const std::vector<Object>& arguments) {
  Object made = built(event, arguments);
  if (made && call_method(loop, "call_soon", observer, made.get())) return;
  PyErr_WriteUnraisable(observer);
}

}  // namespace vorel::py::observe
