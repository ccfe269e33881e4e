// The one owner of Python references in the binding layer. A reference is either stolen
// (the call gave us a new reference) or borrowed (we take our own): the choice is made at
// the call site, so no logic code calls Py_INCREF / Py_DECREF by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// Calls a Python callable with borrowed positional arguments; a null Object with the error set
// when the call raised.
template <class... Args>
Object call(PyObject* callable, Args... args) {
  PyObject* argv[] = {nullptr, args...};
  return Object::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// Calls a method by name (a str object, which hot paths intern once) with borrowed positional
// arguments.
template <class... Args>
Object call_method(PyObject* self, PyObject* name, Args... args) {
  PyObject* argv[] = {self, args...};
  return Object::steal(
      PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A name written in the source as a string literal. Only a constant can make one, so its address
// holds the same text for the life of the process and can stand for the text.
class Literal {
 public:
  consteval Literal(const char* text) : text_(text) {}  // NOLINT: converts from every literal
  const char* c_str() const { return text_; }

 private:
  const char* text_;
};

// The interned str of a method name (borrowed), made at its first use and kept for the life of the
// process; null with the error set when it cannot be made. The interpreter's method cache keys on
// interned names only: a fresh str per call costs an allocation and a lookup through the whole MRO.
PyObject* method_name(Literal name);

template <class... Args>
Object call_method(PyObject* self, Literal name, Args... args) {
  PyObject* method = method_name(name);
  if (method == nullptr) return Object();
  return call_method(self, method, args...);
}

inline Object attr(PyObject* o, const char* name) { return Object::steal(PyObject_GetAttrString(o, name)); }
inline Object import(const char* module) { return Object::steal(PyImport_ImportModule(module)); }
// A module imported already, straight from `sys.modules`, whose lookup costs far less than the
// import machinery's checks on paths that run for every message; imported when it is not there.
Object loaded(Literal module);
inline Object text(std::string_view s) {
  return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Object bytes_of(std::span<const std::uint8_t> b) {
  return Object::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

// The name of a class as every refusal prints it, its __name__ ("int", "Point"), as the
// interpreter's own refusals do; "?" when it has none. Never leaves an error set.
inline std::string class_name(PyTypeObject* type) {
  Object name = Object::steal(PyType_GetName(type));
  Py_ssize_t size = 0;
  const char* data = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// The name of an object's class, as above.
inline std::string type_name(PyObject* o) { return class_name(Py_TYPE(o)); }

// The UTF-8 form of a str; none with a TypeError set when the object is not a str, or with the
// interpreter's error when it has no UTF-8 form.
inline std::optional<std::string> utf8(PyObject* o) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a str, got %s", type_name(o).c_str());
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

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
