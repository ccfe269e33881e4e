// Test hooks of the questions a joined system asks its node: `stopped_node(system)` joins a running
// system to a node whose event loop has ended, so that every question meets a closed channel, and
// `persist(system, actor, key, kind)` hands a state operation to the system's node.
#include <memory>

#include "exec/threads.hpp"
#include "hooks.hpp"
#include "node/reach.hpp"
#include "py/node.hpp"
#include "py/node/facade.hpp"
#include "py/node/inbox.hpp"

namespace vorel::py::testing {
namespace {

PyObject* stopped_node(PyObject*, PyObject* system) {
  Node* node = facade::running(system);
  if (node == nullptr) return nullptr;
  Object loop = node->running();
  if (!loop) return nullptr;
  auto inbox = inbox::Inbox::open(loop.get());
  if (!inbox) return nullptr;
  auto threads = exec::Threads::start(1);
  if (!threads) {
    PyErr_SetString(PyExc_RuntimeError, threads.error().c_str());
    return nullptr;
  }
  // The receiving end goes at once: the loop of this node has ended before anything was asked.
  auto [asks, ended] = vorel::node::Asks::make();
  { auto gone = std::move(ended); }
  auto door = std::make_shared<vorel::node::Door>(vorel::node::Door{std::move(asks), std::make_shared<vorel::node::Bell>()});
  auto [published, members] = vorel::node::watch::channel<std::vector<core::membership::Member>>({});
  auto reach = std::make_shared<vorel::node::Reach>(vorel::node::Reach{
      node->id(), std::move(door), std::move(members), nullptr,
      std::make_shared<vorel::node::replication::service::Written>(), 4'194'304});
  auto side = std::make_shared<Joined>(*std::move(threads), inbox->bell());
  side->joined(vorel::node::Node(std::move(reach)));
  std::shared_ptr<Joined> old = node->joined.replace(std::move(side));
  Py_RETURN_NONE;
}

PyObject* persist(PyObject*, PyObject* args) {
  PyObject* system = nullptr;
  const char *actor = nullptr, *key = nullptr, *kind = nullptr;
  if (!PyArg_ParseTuple(args, "Osss:persist", &system, &actor, &key, &kind)) return nullptr;
  Node* node = facade::running(system);
  if (node == nullptr) return nullptr;
  Op op;
  const std::string_view k = kind;
  op.kind = k == "read" ? Op::Kind::Read : k == "write" ? Op::Kind::Write : Op::Kind::Delete;
  op.active = true;
  return node->persist(actor, key, std::move(op)).release();
}

PyMethodDef functions[] = {
    {"stopped_node", stopped_node, METH_O,
     "stopped_node(system, /)\n--\n\nJoins the running system to a node whose event loop has ended."},
    {"persist", persist, METH_VARARGS,
     "persist(system, actor, key, kind, /)\n--\n\nThe future of a state operation: read, write or delete."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_entered_hooks(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace vorel::py::testing
