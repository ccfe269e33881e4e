#include "py/node/identity.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vorel::py::identity {

Object of(const core::NodeId& id) {
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "NodeId") : Object();
  Object uuid = cls ? import("uuid") : Object();
  Object uuid_cls = uuid ? attr(uuid.get(), "UUID") : Object();
  if (!uuid_cls) return Object();
  Object bytes = bytes_of(id.incarnation);
  Object kwargs = bytes ? Object::steal(Py_BuildValue("{s:O}", "bytes", bytes.get())) : Object();
  Object empty = Object::steal(PyTuple_New(0));
  Object u = kwargs && empty ? Object::steal(PyObject_Call(uuid_cls.get(), empty.get(), kwargs.get())) : Object();
  if (!u) return u;
  Object address = id.address ? text(*id.address) : Object::borrow(Py_None);
  if (!address) return address;
  return call(cls.get(), address.get(), u.get());
}

std::optional<core::NodeId> read(PyObject* object) {
  Object incarnation = attr(object, "incarnation");
  Object raw = incarnation ? attr(incarnation.get(), "bytes") : Object();
  if (!raw) return std::nullopt;
  // Any sequence of byte values serves, as `bytes(...)` reads it; a str is no such sequence.
  if (PyUnicode_Check(raw.get())) {
    PyErr_SetString(PyExc_TypeError, "an incarnation's bytes are byte values, not a str");
    return std::nullopt;
  }
  Object bytes = Object::steal(PyBytes_FromObject(raw.get()));
  if (!bytes) return std::nullopt;
  Object address = attr(object, "address");
  if (!address) return std::nullopt;
  core::NodeId id;
  if (address.get() != Py_None) {
    auto a = utf8(address.get());
    if (!a) return std::nullopt;
    id.address = std::move(*a);
  }
  if (PyBytes_Size(bytes.get()) != 16) {
    PyErr_SetString(PyExc_ValueError, "an incarnation is sixteen bytes");
    return std::nullopt;
  }
  const char* data = PyBytes_AsString(bytes.get());
  std::copy(data, data + 16, reinterpret_cast<char*>(id.incarnation.data()));
  return id;
}

std::optional<core::Incarnation> incarnation() {
  Object uuid = import("uuid");
  if (!uuid) return std::nullopt;
  Object made = call_method(uuid.get(), "uuid4");
  if (!made) return std::nullopt;
  Object bytes = attr(made.get(), "bytes");
  if (!bytes) return std::nullopt;
  if (!PyBytes_Check(bytes.get()) || PyBytes_Size(bytes.get()) != 16) {
    PyErr_SetString(PyExc_ValueError, "a uuid is sixteen bytes");
    return std::nullopt;
  }
  core::Incarnation out{};
  std::memcpy(out.data(), PyBytes_AsString(bytes.get()), 16);
  return out;
}

}  // namespace vorel::py::identity
