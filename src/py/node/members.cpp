#include "py/node/members.hpp"

#include <set>
#include <string>
#include <vector>

#include "core/placement/ring.hpp"
#include "py/node.hpp"
#include "py/node/identity.hpp"

namespace vorel::py::members {
namespace {

// A member as the package shows it: its node, its status name and the frozenset of its types.
Object member(PyObject* cls, PyObject* frozenset, const core::NodeId& node, core::membership::Status status,
              const std::set<std::string>& types) {
  Object names = Object::steal(PyList_New(0));
  for (const std::string& name : types) {
    Object t = names ? text(name) : Object();
    if (!t || PyList_Append(names.get(), t.get()) < 0) return Object();
  }
  if (!names) return names;
  Object id = identity::of(node);
  Object status_name = id ? text(core::membership::status_text(status)) : Object();
  Object kinds = status_name ? call(frozenset, names.get()) : Object();
  return kinds ? call(cls, id.get(), status_name.get(), kinds.get()) : Object();
}

Object tuple_of(std::vector<Object> items) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; out && i < items.size(); ++i) {
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return out;
}

PyObject* replicas(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"actor", "key", "nodes", "count", nullptr};
  PyObject *actor, *key, *nodes, *count;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUOO!:replicas", const_cast<char**>(names), &actor, &key, &nodes,
                                   &PyLong_Type, &count)) {
    return nullptr;
  }
  auto a = utf8(actor);
  auto k = a ? utf8(key) : std::nullopt;
  if (!k) return nullptr;
  const unsigned long long n = PyLong_AsUnsignedLongLong(count);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  Object items = Object::steal(PyObject_GetIter(nodes));
  if (!items) return nullptr;
  std::vector<core::NodeId> given;
  while (Object item = Object::steal(PyIter_Next(items.get()))) {
    auto id = identity::read(item.get());
    if (!id) return nullptr;
    given.push_back(std::move(*id));
  }
  if (PyErr_Occurred()) return nullptr;
  const auto ring = core::placement::Ring::build(given, core::placement::kTokens);
  std::vector<core::NodeId> owners = ring.replicas(core::placement::token(*a, *k), n);
  Object out = Object::steal(PyList_New(0));
  for (const core::NodeId& owner : owners) {
    Object id = out ? identity::of(owner) : Object();
    if (!id || PyList_Append(out.get(), id.get()) < 0) return nullptr;
  }
  return out.release();
}

}  // namespace

Object listed(Node& node) {
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "Member") : Object();
  Object builtins = cls ? import("builtins") : Object();
  Object frozenset = builtins ? attr(builtins.get(), "frozenset") : Object();
  if (!frozenset) return frozenset;
  std::vector<core::membership::Member> list = node.members.get();
  std::vector<Object> out;
  if (!list.empty()) {
    for (const auto& m : list) {
      out.push_back(member(cls.get(), frozenset.get(), m.node, m.status, m.types));
      if (!out.back()) return Object();
    }
    return tuple_of(std::move(out));
  }
  // Nothing heard yet from a node runtime; without one, this node is the whole cluster.
  if (node.cluster()) return tuple_of({});
  std::set<std::string> types;
  for (core::Kind& kind : node.catalog.lock()->kinds()) types.insert(std::move(kind.name));
  Object self = member(cls.get(), frozenset.get(), node.id(), core::membership::Status::Alive, types);
  if (!self) return self;
  out.push_back(std::move(self));
  return tuple_of(std::move(out));
}

PyMethodDef functions[] = {
    {"replicas", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replicas)), METH_VARARGS | METH_KEYWORDS,
     "replicas(actor, key, nodes, count)\n--\n\nThe nodes that keep `key` among `nodes`, the one the ring gives it to "
     "first. A test hook, not part of the\nAPI: a test learns from it which node to take away."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vorel::py::members
