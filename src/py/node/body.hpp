// Python objects of heap types whose body is one C++ record: built in place after the
// interpreter's allocation, destroyed before its free.
#pragma once

#include <new>
#include <utility>

#include "py/object.hpp"
#include "py/once.hpp"

namespace vorel::py::body {

template <class R>
struct Of {
  PyObject_HEAD
  R record;
};

template <class R>
R& record(PyObject* self) {
  return reinterpret_cast<Of<R>*>(self)->record;
}

// The type's dealloc slot. An object of a type with garbage collection leaves the collector first,
// so that it is never traversed half destroyed.
template <class R>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyType_GetFlags(tp) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  record<R>(self).~R();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

// A new object of `type` (a type whose basic size is that of Of<R>) with its record made from
// the arguments; null with the error set.
template <class R, class... A>
Object make(PyObject* type, A&&... args) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Object self = Object::steal(alloc(tp, 0));
  if (self) new (&record<R>(self.get())) R(std::forward<A>(args)...);
  return self;
}

// A heap type made from its spec at its first use and kept for the life of the process, whose
// objects each hold an R.
template <class R>
class Type {
 public:
  explicit Type(PyType_Spec& spec) : spec_(spec) {}

  // The class (borrowed); null with the error set.
  PyObject* get() {
    return cell_.get([this] { return PyType_FromSpec(&spec_); });
  }
  // A new object with its record made from the arguments; null with the error set.
  template <class... A>
  Object make(A&&... args) {
    PyObject* t = get();
    if (t == nullptr) return Object();
    return body::make<R>(t, std::forward<A>(args)...);
  }

 private:
  PyType_Spec& spec_;
  Once cell_;
};

}  // namespace vorel::py::body
