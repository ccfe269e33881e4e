#include "py/collections.hpp"

#include "core/collections/native.hpp"

namespace vorel::py::collections {
namespace {

// The kinds of collection the node runs, as a tuple of str.
PyObject* kinds(PyObject*, PyObject*) {
  const auto all = core::collections::kinds();
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(all.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < all.size(); ++i) {
    Object kind = text(all[i]);
    if (!kind) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), kind.release());
  }
  return out.release();
}

// The (kind, replicas, write) a str names, replicas and write None for "<kind>.actor"; None for
// any other name, a str with no UTF-8 form (lone surrogates) among them.
PyObject* name(PyObject*, PyObject* given) {
  auto read = utf8(given);
  if (!read) {
    if (!PyUnicode_Check(given)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  const auto found = core::collections::parsed(*read);
  if (!found) Py_RETURN_NONE;
  Object kind = text(found->kind);
  if (!kind) return nullptr;
  if (found->replicas.empty()) return PyTuple_Pack(3, kind.get(), Py_None, Py_None);
  // The digits may be more than 64 bits hold: the count is the int they write, as Python reads it.
  const std::string digits(found->replicas);
  Object replicas = Object::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
  Object write = replicas ? text(found->write) : Object();
  if (!write) return nullptr;
  return PyTuple_Pack(3, kind.get(), replicas.get(), write.get());
}

}  // namespace

Native collection(std::string_view name) { return core::collections::collection(name); }

PyMethodDef functions[] = {
    {"_collection_kinds", kinds, METH_NOARGS,
     "_collection_kinds()\n--\n\nThe kinds of collection the node runs, as the node names them."},
    {"_collection_name", name, METH_O,
     "_collection_name(name, /)\n--\n\nThe (kind, replicas, write) a collection's actor type name selects, as the "
     "node reads it; replicas and write are None in \"<kind>.actor\". None for any other name."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vorel::py::collections
