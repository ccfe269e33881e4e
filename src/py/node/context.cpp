#include "py/node/context.hpp"

#include "py/generic.hpp"
#include "py/once.hpp"

namespace vorel::py::context {
namespace {

// Context[S] is Context[S, Never]: a body that reads no messages still has two type arguments, so
// every actor type is read the same way.
PyObject* class_getitem(PyObject* cls, PyObject* item) {
  std::vector<Object> arguments = generic::subscript(item);
  if (arguments.size() == 1) {
    Object typing = import("typing");
    if (!typing) return nullptr;
    Object never = attr(typing.get(), "Never");
    if (!never) return nullptr;
    arguments.push_back(std::move(never));
  }
  return generic::aliased(cls, arguments).release();
}

PyMethodDef methods[] = {
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "The context of one run of the body of an activation: its key, its state, and the messages that reach it.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Context",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Once cell;

}  // namespace

PyObject* type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

}  // namespace vorel::py::context
