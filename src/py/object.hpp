// The one owner of Python references in the binding layer. A reference is either stolen
// (the call gave us a new reference) or borrowed (we take our own): the choice is made at
// the call site, so no logic code calls Py_INCREF / Py_DECREF by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorel::py {

class Object {
 public:
  Object() = default;
  static Object steal(PyObject* p) { return Object(p); }
  static Object borrow(PyObject* p) {
    Py_XINCREF(p);
    return Object(p);
  }
  Object(const Object& o) : p_(o.p_) { Py_XINCREF(p_); }
  Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Object& operator=(Object o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Object() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to a caller that steals it (a return value, PyModule_AddObjectRef's twin).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Object(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Holds the interpreter lock released for the life of the scope.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vorel::py
