#include "py/node/callback.hpp"

#include <mutex>
#include <new>

#include "py/once.hpp"

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

struct CallbackObject {
  PyObject_HEAD
  Armed armed;
};

Armed& armed(PyObject* self) { return reinterpret_cast<CallbackObject*>(self)->armed; }

void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  armed(self).~Armed();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(invoke)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Callback",
    sizeof(CallbackObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Once cell;

}  // namespace

PyObject* Callback::type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

Object Callback::make(Closure closure) {
  PyObject* t = type();
  if (t == nullptr) return Object();
  auto* tp = reinterpret_cast<PyTypeObject*>(t);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Object self = Object::steal(alloc(tp, 0));
  if (!self) return self;
  Armed* a = new (&armed(self.get())) Armed();
  a->closure = std::move(closure);
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

}  // namespace callback
}  // namespace vorel::py
