#include "py/awaited.hpp"

#include <mutex>
#include <utility>

#include "py/node.hpp"
#include "py/node/body.hpp"

namespace vorel::py::awaited {
namespace {

struct Record {
  Record(Object f, std::shared_ptr<Node> n, std::int64_t i) : future(std::move(f)), node(std::move(n)), id(i) {}
  Object future;
  std::mutex mutex;
  Object steps;
  std::shared_ptr<Node> node;
  std::int64_t id;
};

Record& record(PyObject* self) { return body::record<Record>(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(record(self).future.get());
  Py_VISIT(record(self).steps.get());
  return 0;
}

int clear(PyObject* self) {
  Object future = std::move(record(self).future);
  Object steps;
  {
    std::lock_guard guard(record(self).mutex);
    steps = std::move(record(self).steps);
  }
  return 0;
}

// The future's __await__ through its type's slot, which is what the method stands for.
Object awaiting(PyObject* future) {
  auto slot = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(future), Py_am_await));
  if (slot != nullptr) return Object::steal(slot(future));
  PyErr_Clear();
  return call_method(future, "__await__");
}

// The iterator of the future's __await__, made at the first step and kept; `kept` says whether it
// was there before this call.
Object steps(PyObject* self, bool* kept = nullptr) {
  Record& r = record(self);
  std::lock_guard guard(r.mutex);
  if (kept != nullptr) *kept = static_cast<bool>(r.steps);
  if (r.steps) return r.steps;
  Object made = awaiting(r.future.get());
  if (made) r.steps = made;
  return made;
}

bool stepped(PyObject* self) {
  std::lock_guard guard(record(self).mutex);
  return static_cast<bool>(record(self).steps);
}

PyObject* send_value(PyObject* self, PyObject* value) {
  bool kept = false;
  Object it = steps(self, &kept);
  if (!it) return nullptr;
  if (!kept || value == nullptr) {
    // The iterator's own next slot, as asyncio's steps send None: the StopIteration carrying the
    // result reaches the awaiting frame as the iterator set it, without a call by name.
    auto next = reinterpret_cast<iternextfunc>(PyType_GetSlot(Py_TYPE(it.get()), Py_tp_iternext));
    if (next != nullptr) return next(it.get());
    PyErr_Clear();
    return call_method(it.get(), "__next__").release();
  }
  return call_method(it.get(), "send", value).release();
}

// Gives up the ask this stands for: the asker's future is cancelled, the pending ask forgotten,
// its timer stopped and the owner of the key told.
bool abandon(PyObject* self) {
  Record& r = record(self);
  if (!r.node) return true;
  if (!call_method(r.future.get(), "cancel")) return false;
  std::optional<replies::Waiting> waiting = r.node->forget(r.id);
  if (!waiting) return true;
  return r.node->cancel(r.id, *waiting);
}

PyObject* await_(PyObject* self) { return Py_NewRef(self); }

PyObject* next(PyObject* self) { return send_value(self, nullptr); }

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs > 1) {
    PyErr_SetString(PyExc_TypeError, "send expected at most 1 argument");
    return nullptr;
  }
  PyObject* value = nargs == 1 && args[0] != Py_None ? args[0] : nullptr;
  return send_value(self, value);
}

PyObject* throw_(PyObject* self, PyObject* raised) {
  if (!abandon(self)) return nullptr;
  Object it = steps(self);
  if (!it) return nullptr;
  Object method = attr(it.get(), "throw");
  if (!method) return nullptr;
  return PyObject_CallObject(method.get(), raised);
}

PyObject* close(PyObject* self, PyObject*) {
  const bool kept = stepped(self);
  if (!abandon(self)) return nullptr;
  Object done;
  if (kept) {
    Object it = steps(self);
    if (!it) return nullptr;
    done = call_method(it.get(), "close");
  } else {
    done = call_method(record(self).future.get(), "cancel");
  }
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send)), METH_FASTCALL,
     "send($self, value=None)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_VARARGS,
     "throw($self, *raised)\n--\n\n"},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("One awaited value, as the coroutine protocol asyncio drives.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_am_await, reinterpret_cast<void*>(await_)},
    {Py_tp_iter, reinterpret_cast<void*>(await_)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Awaited", sizeof(body::Of<Record>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

body::Type<Record> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

Object make(Object future, std::shared_ptr<Node> node, std::int64_t id) {
  return kind.make(std::move(future), std::move(node), id);
}

}  // namespace vorel::py::awaited
