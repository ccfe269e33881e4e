#include "py/schema/bare.hpp"

#include <string_view>

namespace vorel::py::schema::bare {

namespace {

// What dataclasses names the __init__ it writes: it defines the function inside one named
// __create_fn__, from source text it executes.
constexpr std::string_view kGeneratedName = "__create_fn__.<locals>.__init__";
constexpr std::string_view kGeneratedFile = "<string>";
// The name under which that frozen __init__ reaches object, to store each field with
// object.__setattr__ past the class's own __setattr__, which refuses.
constexpr const char* kFrozenStore = "__dataclass_builtins_object__";
constexpr long kVarArgs = 0x04, kVarKeywords = 0x08;  // CO_VARARGS, CO_VARKEYWORDS

bool same_slot(PyTypeObject* a, PyTypeObject* b, int slot) { return PyType_GetSlot(a, slot) == PyType_GetSlot(b, slot); }

// The attribute, or a null Object when the object has none; any other error passes through.
Result<Object> optional(PyObject* o, const char* name) {
  Object value = attr(o, name);
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
  PyErr_Clear();
  return Object();
}

Result<bool> text_is(PyObject* o, const char* name, std::string_view expected) {
  VOREL_TRY(value, optional(o, name));
  if (!value || !PyUnicode_Check(value.get())) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (data == nullptr) return raised();
  return std::string_view(data, static_cast<std::size_t>(size)) == expected;
}

Result<long> number(PyObject* o, const char* name) {
  Object value = attr(o, name);
  if (!value) return raised();
  const long n = PyLong_AsLong(value.get());
  if (n == -1 && PyErr_Occurred()) return raised();
  return n;
}

}  // namespace

Result<bool> stores_fields(PyObject* cls, std::span<const Object> names) {
  if (!PyType_Check(cls)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // A metaclass's __call__ or a __new__ of the class's own would run code of their own.
  if (!same_slot(Py_TYPE(cls), &PyType_Type, Py_tp_call)) return false;
  if (!same_slot(type, &PyBaseObject_Type, Py_tp_new)) return false;
  VOREL_TRY(post, optional(cls, "__post_init__"));
  if (post) return false;
  VOREL_TRY(init, optional(cls, "__init__"));
  Object types = import("types");
  if (!types) return raised();
  Object function = attr(types.get(), "FunctionType");
  if (!function) return raised();
  if (!init || reinterpret_cast<PyObject*>(Py_TYPE(init.get())) != function.get()) return false;
  Object code = attr(init.get(), "__code__");
  if (!code) return raised();
  VOREL_TRY(generated, text_is(code.get(), "co_qualname", kGeneratedName));
  if (!generated) return false;
  VOREL_TRY(executed, text_is(code.get(), "co_filename", kGeneratedFile));
  if (!executed) return false;
  Object free = attr(code.get(), "co_freevars");
  if (!free) return raised();
  Object store = text(kFrozenStore);
  if (!store) return raised();
  const int frozen = PySequence_Contains(free.get(), store.get());
  if (frozen < 0) return raised();
  if (frozen == 0) return false;
  // Its parameters after self must be exactly the fields: a field it does not take (init=False) is
  // one it sets otherwise, and an InitVar it takes is one no field gives.
  VOREL_TRY(flags, number(code.get(), "co_flags"));
  VOREL_TRY(positional, number(code.get(), "co_argcount"));
  VOREL_TRY(keywords, number(code.get(), "co_kwonlyargcount"));
  if ((flags & (kVarArgs | kVarKeywords)) != 0 || positional < 1) return false;
  if (static_cast<std::size_t>(positional - 1 + keywords) != names.size()) return false;
  Object variables = attr(code.get(), "co_varnames");
  if (!variables) return raised();
  Object parameters = Object::steal(PySequence_GetSlice(variables.get(), 1, positional + keywords));
  if (!parameters) return raised();
  for (const Object& name : names) {
    const int taken = PySequence_Contains(parameters.get(), name.get());
    if (taken < 0) return raised();
    if (taken == 0) return false;
  }
  return true;
}

Result<Object> made(PyObject* cls, std::span<const Object> names, std::span<PyObject* const> values) {
  auto make = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Object nothing = Object::steal(PyTuple_New(0));
  if (!nothing) return raised();
  Object self = Object::steal(make(reinterpret_cast<PyTypeObject*>(cls), nothing.get(), nullptr));
  if (!self) return raised();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyObject_GenericSetAttr(self.get(), names[i].get(), values[i]) < 0) return raised();
  }
  return self;
}

}  // namespace vorel::py::schema::bare
