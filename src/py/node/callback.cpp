#include "py/node/callback.hpp"

#include <mutex>

#include "py/node/body.hpp"

namespace vorel::py {

Raised caught() {
  Object exception = Object::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  return exception;
}

PyObject* rethrow(Object exception) {
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

void Carried::reset() {
  PyObject* p = std::exchange(p_, nullptr);
  if (p == nullptr || !Py_IsInitialized()) return;
  PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(p);
  PyGILState_Release(state);
}

namespace {

struct Armed {
  std::mutex mutex;
  Callback::Closure closure;
};

Armed& armed(PyObject* self) { return body::record<Armed>(self); }

PyObject* invoke(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "Callback() takes no keyword arguments");
    return nullptr;
  }
  Callback::Closure closure;
  {
    Armed& a = armed(self);
    std::lock_guard lock(a.mutex);
    closure = std::move(a.closure);
    a.closure = nullptr;
  }
  if (!closure) Py_RETURN_NONE;
  Raised failed = closure(Token::assume(), args);
  // What the closure captured goes now, not whenever the loop lets go of the Callback.
  closure = nullptr;
  if (failed) return rethrow(std::move(*failed));
  Py_RETURN_NONE;
}

constexpr const char kDoc[] = "A closure the loop calls, with the arguments it passes.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Armed>)},
    {Py_tp_call, reinterpret_cast<void*>(invoke)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Callback",
    sizeof(body::Of<Armed>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

body::Type<Armed> kind(spec);

}  // namespace

PyObject* Callback::type() { return kind.get(); }

Object Callback::make(Closure closure) {
  Object self = kind.make();
  if (self) armed(self.get()).closure = std::move(closure);
  return self;
}

Object Callback::bare(Bare f) {
  return make([f = std::move(f)](Token token, PyObject*) mutable { return f(token); });
}

namespace callback {

Raised when_done(PyObject* fut, Done f) {
  Object cb = Callback::make([f = std::move(f)](Token token, PyObject* args) mutable -> Raised {
    if (PyTuple_Size(args) < 1) {
      PyErr_SetString(PyExc_TypeError, "a done callback takes the finished future");
      return caught();
    }
    return f(token, PyTuple_GetItem(args, 0));
  });
  if (!cb) return caught();
  if (!call_method(fut, "add_done_callback", cb.get())) return caught();
  return std::nullopt;
}

void report(PyObject* loop, const char* message, Object exception) {
  if (!exception) return;
  if (loop == nullptr) {
    PyErr_SetRaisedException(exception.release());
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  Object context = Object::steal(Py_BuildValue("{s:s,s:O}", "message", message, "exception", exception.get()));
  if (!context || !call_method(loop, "call_exception_handler", context.get())) PyErr_WriteUnraisable(nullptr);
}

}  // namespace callback
}  // namespace vorel::py
