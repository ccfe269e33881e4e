#include "py/node/facade.hpp"

#include <vector>

#include "py/node.hpp"
#include "py/node/client.hpp"
#include "py/node/hooks.hpp"
#include "py/node/members.hpp"
#include "py/node/stats.hpp"
#include "py/node/system.hpp"

namespace vorel::py::facade {
namespace {

PyObject* stats_(PyObject* self, PyObject*) {
  Node* node = running(self);
  return node ? stats::snapshot(*node).release() : nullptr;
}

PyObject* activations(PyObject* self, PyObject*) {
  Node* node = running(self);
  return node ? stats::activations(*node).release() : nullptr;
}

PyObject* members_(PyObject* self, void*) {
  Node* node = running(self);
  return node ? members::listed(*node).release() : nullptr;
}

PyMethodDef both[] = {
    {"stats", stats_, METH_NOARGS,
     "stats($self)\n--\n\nWhat this counts now: its activations by actor type, the answers it waits for, its writes "
     "and its traffic."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef hosting_only[] = {
    {"activations", activations, METH_NOARGS,
     "activations($self)\n--\n\nThe keys active on this node now, by actor type then key."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef shared_getset[] = {
    {"members", members_, nullptr, "The members of the cluster as this sees them.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* name_of(const PyMethodDef& m) { return m.ml_name; }
const char* name_of(const PyGetSetDef& g) { return g.name; }

template <class T>
void append(std::vector<T>& out, const T* table) {
  for (; name_of(*table) != nullptr; ++table) out.push_back(*table);
}

template <class T>
T* joined(std::vector<T>& kept, std::initializer_list<const T*> tables) {
  kept.clear();
  for (const T* t : tables) append(kept, t);
  kept.push_back(T{});
  return kept.data();
}

}  // namespace

const std::shared_ptr<Node>& node_of(PyObject* self) {
  PyObject* system_type = system::type();
  if (system_type != nullptr && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(system_type))) {
    return system::node(self);
  }
  return client::node(self);
}

Node* running(PyObject* self) {
  Node& node = *node_of(self);
  if (node.is_stopped()) {
    PyErr_SetString(PyExc_RuntimeError, kStopped);
    return nullptr;
  }
  if (!node.running()) return nullptr;
  return &node;
}

PyMethodDef* methods(const PyMethodDef* own, bool hosting) {
  // One table per class, made once when the class is: the type keeps pointing at it.
  static std::vector<PyMethodDef> system_table, client_table;
  if (hosting) return joined(system_table, {own, both, hosting_only, hooks::shared, hooks::hosting});
  return joined(client_table, {own, both, hooks::shared});
}

PyGetSetDef* getset(const PyGetSetDef* own, bool hosting) {
  static std::vector<PyGetSetDef> system_table, client_table;
  return joined(hosting ? system_table : client_table, {own, shared_getset});
}

}  // namespace vorel::py::facade
