// Test hooks of the native collections' driver: `gate(system, callable)` makes every write of a
// live key of that system pass the callable first, so that a test can hold a write back or fail it.
#include "hooks.hpp"
#include "py/node.hpp"
#include "py/node/system.hpp"

namespace vorel::py::testing {
namespace {

// gate(system, callable, /): None takes the gate away.
PyObject* gate(PyObject*, PyObject* args) {
  PyObject* system = nullptr;
  PyObject* callable = nullptr;
  if (!PyArg_ParseTuple(args, "OO:gate", &system, &callable)) return nullptr;
  PyObject* cls = system::type();
  if (cls == nullptr) return nullptr;
  if (!PyObject_TypeCheck(system, reinterpret_cast<PyTypeObject*>(cls))) {
    PyErr_SetString(PyExc_TypeError, "gate takes an ActorSystem");
    return nullptr;
  }
  const std::shared_ptr<Node>& node = system::node(system);
  Object old = node->gate.replace(callable == Py_None ? Object() : Object::borrow(callable));
  Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"gate", gate, METH_VARARGS,
     "gate(system, callable, /)\n--\n\nEvery write of a live key passes callable(actor, key) first: None goes on, an "
     "awaitable holds the write until it ends and fails it with its failure."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_native_hooks(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace vorel::py::testing
