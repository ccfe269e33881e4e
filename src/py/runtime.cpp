#include "py/runtime.hpp"

#include <fmt/format.h>

#include <new>
#include <string>

#include "py/once.hpp"

namespace vorel::py::runtime {
namespace {

struct Instance {
  PyObject_HEAD
  std::shared_ptr<exec::Threads> threads;
};

Once cell;

// The binding's conversion of an integer argument: what `operator.index` accepts, as an unsigned
// 64-bit number; a refusal keeps its class and names the argument.
bool unsigned_argument(const char* name, PyObject* value, unsigned long long& out) {
  Object index = Object::steal(PyNumber_Index(value));
  if (index) {
    out = PyLong_AsUnsignedLongLong(index.get());
    if (!(out == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return true;
  }
  Object raised = Object::steal(PyErr_GetRaisedException());
  Object text = Object::steal(PyObject_Str(raised.get()));
  const char* detail = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (detail == nullptr) return false;
  PyErr_SetString(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())),
                  fmt::format("argument '{}': {}", name, detail).c_str());
  return false;
}

PyObject* make(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  if (Py_ssize_t given = PyTuple_Size(args); given != 0) {
    return PyErr_Format(PyExc_TypeError, "Runtime() takes 0 positional arguments but %zd %s given", given,
                        given == 1 ? "was" : "were");
  }
  PyObject* value = nullptr;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &item)) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "threads") == 0) {
        value = item;
      } else {
        return PyErr_Format(PyExc_TypeError, "Runtime() got an unexpected keyword argument '%S'", key);
      }
    }
  }
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Runtime() missing 1 required keyword-only argument: 'threads'");
    return nullptr;
  }
  unsigned long long count = 0;
  if (!unsigned_argument("threads", value, count)) return nullptr;
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "threads is 0, and the transport needs at least one");
    return nullptr;
  }
  auto started = exec::Threads::start(count);
  if (!started) {
    PyErr_SetString(PyExc_RuntimeError, started.error().c_str());
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
  PyObject* self = alloc(cls, 0);
  if (self == nullptr) {
    Unlocked unlocked;
    started->reset();
    return nullptr;
  }
  new (&reinterpret_cast<Instance*>(self)->threads) std::shared_ptr<exec::Threads>(std::move(*started));
  return self;
}

void dealloc(PyObject* self) {
  Object cls = Object::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  auto* instance = reinterpret_cast<Instance*>(self);
  std::shared_ptr<exec::Threads> held = std::move(instance->threads);
  instance->threads.~shared_ptr();
  {
    // The last hold joins the workers: without the interpreter lock, so that none of them can
    // be waiting for it meanwhile.
    Unlocked unlocked;
    held.reset();
  }
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls.get()), Py_tp_free));
  free(self);
}

PyObject* tasks(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(reinterpret_cast<Instance*>(self)->threads->tasks());
}

PyMethodDef methods[] = {
    {"_tasks", tasks, METH_NOARGS,
     "_tasks($self)\n--\n\nHow many tasks are alive on these threads, for a test that looks at what a system left "
     "behind."},
    {nullptr, nullptr, 0, nullptr},
};

const char doc[] =
    "Runtime(*, threads)\n--\n\n"
    "Threads for the transport of the systems and clients given it.\n\n"
    "Without one, each `ActorSystem` in a cluster and each `Client` starts a thread per core of its own. Given the "
    "same\n`Runtime`, they share its threads, and a system that ends stops only its node, its listener and its "
    "connections;\nthe threads go when nothing holds the runtime any more.\n\n"
    "Parameters\n----------\nthreads\n    How many threads carry the transport. Zero raises `ValueError`.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(make)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(doc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Runtime", sizeof(Instance), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots,
};

}  // namespace

PyObject* type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

std::shared_ptr<exec::Threads> threads(PyObject* object) {
  PyObject* cls = type();
  if (cls == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(cls))) return nullptr;
  return reinterpret_cast<Instance*>(object)->threads;
}

}  // namespace vorel::py::runtime
