// Test hooks of the observer events the node runtime makes, which no producer of this build makes
// yet: `observed(loop, observer, variant, *fields)` builds the record and delivers it.
#include <cstring>
#include <string>
#include <vector>

#include "hooks.hpp"
#include "py/node/observe.hpp"

namespace vorel::py::testing {
namespace {

using namespace observe;

bool node_of(PyObject* address, PyObject* incarnation, core::NodeId& out) {
  if (address != Py_None) {
    auto a = utf8(address);
    if (!a) return false;
    out.address = *a;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(incarnation, &data, &size) < 0 || size != 16) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an incarnation has 16 bytes");
    return false;
  }
  std::memcpy(out.incarnation.data(), data, 16);
  return true;
}

// observed(loop, observer, variant, fields, /): variant by index of observe::Observed; fields:
// 0 (address, incarnation, status, previous or None); 1 (kind, reason, actor, key, write);
// 2 and 3 (actor, out); 4 (actor, keys); 5 (address, incarnation); 6 (actor, key, reason).
PyObject* observed(PyObject*, PyObject* args) {
  PyObject *loop, *observer, *fields;
  int variant;
  if (!PyArg_ParseTuple(args, "OOiO!", &loop, &observer, &variant, &PyTuple_Type, &fields)) return nullptr;
  Observed made;
  const char *a = nullptr, *b = nullptr, *c = nullptr;
  PyObject *x = nullptr, *y = nullptr, *z = nullptr;
  int n = 0, m = 0;
  switch (variant) {
    case 0: {
      observed::MemberChanged e;
      if (!PyArg_ParseTuple(fields, "OOiO", &x, &y, &n, &z) || !node_of(x, y, e.node)) return nullptr;
      e.status = static_cast<core::membership::Status>(n);
      if (z != Py_None) e.previous = static_cast<core::membership::Status>(PyLong_AsLong(z));
      made = e;
      break;
    }
    case 1:
      if (!PyArg_ParseTuple(fields, "isssp", &n, &a, &b, &c, &m)) return nullptr;
      made = observed::WriteFailed{static_cast<observed::Kind>(n), a, b, c, m != 0};
      break;
    case 2:
    case 3:
      if (!PyArg_ParseTuple(fields, "sp", &a, &m)) return nullptr;
      if (variant == 2) made = observed::HandoffStarted{a, m != 0};
      else made = observed::HandoffEnded{a, m != 0};
      break;
    case 4: {
      if (!PyArg_ParseTuple(fields, "sO!", &a, &PyList_Type, &x)) return nullptr;
      observed::KeysGivenUp e{a, {}};
      for (Py_ssize_t i = 0; i < PyList_Size(x); ++i) {
        auto k = utf8(PyList_GetItem(x, i));
        if (!k) return nullptr;
        e.keys.push_back(*k);
      }
      made = e;
      break;
    }
    case 5: {
      observed::ConnectionLost e;
      if (!PyArg_ParseTuple(fields, "OO", &x, &y) || !node_of(x, y, e.node)) return nullptr;
      made = e;
      break;
    }
    case 6:
      if (!PyArg_ParseTuple(fields, "sss", &a, &b, &c)) return nullptr;
      made = observed::MessageDropped{a, b, c};
      break;
    default:
      PyErr_SetString(PyExc_ValueError, "no such variant");
      return nullptr;
  }
  deliver(loop, observer, made);
  return PyLong_FromLong(static_cast<long>(event_of(made)));
}

PyMethodDef methods[] = {
    {"observed", observed, METH_VARARGS,
     "observed(loop, observer, variant, fields, /)\n--\n\nDelivers an event of the node runtime; answers its bit."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_observe_hooks(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vorel::py::testing
