// Test hooks of actor type definitions and of the per-system node, which no Python class reaches
// yet: `definition(actor)` shows what a type was built from, `node(...)` makes a bare node whose
// fields and operations the tests drive through a `NodeHook`, `weak_node` watches the node of a
// system go, and `contend` lets the last hold on its transport threads go under contention.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "core/schema/ir.hpp"
#include "hooks.hpp"
#include "py/options.hpp"
#include "py/definition.hpp"
#include "py/node.hpp"
#include "py/node/client.hpp"
#include "py/node/facade.hpp"
#include "py/node/system.hpp"
#include "py/once.hpp"
#include "py/refs.hpp"
#include "py/runtime.hpp"
#include "py/wall.hpp"

namespace vorel::py::testing {
namespace {

Object kinds_of(const Compiled& held) {
  const schema::Schema* schema = schema::held(held.get());
  const auto& nodes = schema->tree.nodes;
  Object names = Object::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
  for (std::size_t i = 0; names && i < nodes.size(); ++i) {
    PyList_SetItem(names.get(), static_cast<Py_ssize_t>(i),
                   PyUnicode_FromString(core::schema::ir::kind_name(nodes[i].kind())));
  }
  if (!names) return names;
  return Object::steal(Py_BuildValue("(Ok)", names.get(), static_cast<unsigned long>(schema->tree.root)));
}

// definition(actor, /): {"name", "native", "state", "message"}, each schema as (node kinds, root).
PyObject* definition(PyObject*, PyObject* actor) {
  auto d = Definition::of(actor);
  if (!d) return nullptr;
  Object native = d->native ? text(d->native->fmt()) : Object::borrow(Py_None);
  Object state = kinds_of(d->state);
  Object message = kinds_of(d->message);
  if (!native || !state || !message) return nullptr;
  return Py_BuildValue("{s:s#,s:O,s:O,s:O}", "name", d->name.data(), static_cast<Py_ssize_t>(d->name.size()),
                       "native", native.get(), "state", state.get(), "message", message.get());
}

// A bare node, with threads of its own that read its `wanted` mask while a test runs.
struct NodeHookObject {
  PyObject_HEAD
  std::shared_ptr<Node> node;
  std::atomic<bool> stop;
  std::vector<std::thread> readers;
  std::vector<std::vector<bool>> seen;  // per reader, one flag per mask value read
};

Node& node_of(PyObject* self) { return *reinterpret_cast<NodeHookObject*>(self)->node; }
NodeHookObject& hook(PyObject* self) { return *reinterpret_cast<NodeHookObject*>(self); }

void stop_readers(NodeHookObject& h) {
  if (h.readers.empty()) return;
  h.stop.store(true);
  Unlocked unlocked;
  for (auto& t : h.readers) t.join();
  h.readers.clear();
}

void hook_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  stop_readers(hook(self));
  hook(self).~NodeHookObject();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

PyObject* none_or(Object o) { return o ? o.release() : Object::borrow(Py_None).release(); }

PyObject* enter(PyObject* self, PyObject* args) {
  PyObject* loop = nullptr;
  PyObject* system = nullptr;
  if (!PyArg_ParseTuple(args, "OO:enter", &loop, &system)) return nullptr;
  Object old_loop = node_of(self).event_loop.replace(loop == Py_None ? Object() : Object::borrow(loop));
  Object old_system = node_of(self).system_.replace(system == Py_None ? Object() : Object::borrow(system));
  Py_RETURN_NONE;
}

PyObject* id(PyObject* self, PyObject*) {
  core::NodeId id = node_of(self).id();
  Object address = id.address ? text(*id.address) : Object::borrow(Py_None);
  return Py_BuildValue("(Oy#)", address.get(), reinterpret_cast<const char*>(id.incarnation.data()),
                       static_cast<Py_ssize_t>(id.incarnation.size()));
}

PyObject* config(PyObject* self, PyObject*) {
  const NodeConfig& c = node_of(self).config;
  Object idle = actor::timedelta(c.idle_after), ask = actor::timedelta(c.ask_timeout),
         write = actor::timedelta(c.write_timeout), leave = actor::timedelta(c.leave_timeout),
         first = actor::timedelta(c.backoff.first), limit = actor::timedelta(c.backoff.limit);
  if (!idle || !ask || !write || !leave || !first || !limit) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O,s:(OOd)}", "idle_after", idle.get(), "ask_timeout", ask.get(),
                       "write_timeout", write.get(), "leave_timeout", leave.get(), "backoff", first.get(),
                       limit.get(), c.backoff.factor);
}

PyObject* flags(PyObject* self, PyObject*) {
  Node& n = node_of(self);
  return Py_BuildValue("{s:K,s:K,s:O,s:O,s:n}", "next_run", static_cast<unsigned long long>(n.next_run.load()),
                       "writes_confirmed", static_cast<unsigned long long>(n.writes_confirmed.load()), "leaving",
                       n.leaving.load() ? Py_True : Py_False, "stopped", n.stopped.load() ? Py_True : Py_False,
                       "pending", static_cast<Py_ssize_t>(n.replies.lock()->size()));
}

PyObject* now(PyObject* self, PyObject*) {
  auto t = node_of(self).now();
  return t ? PyFloat_FromDouble(*t) : nullptr;
}

PyObject* clock(PyObject*, PyObject*) { return PyFloat_FromDouble(wall::seconds()); }

PyObject* future(PyObject* self, PyObject*) { return node_of(self).future().release(); }
PyObject* running(PyObject* self, PyObject*) { return node_of(self).running().release(); }
PyObject* system(PyObject* self, PyObject*) { return node_of(self).system().release(); }
PyObject* cluster(PyObject* self, PyObject*) { return PyBool_FromLong(node_of(self).cluster().has_value()); }

// Keeps a cluster side whose node runtime has not started.
PyObject* join_pending(PyObject* self, PyObject*) {
  auto old = node_of(self).joined.replace(std::make_shared<Joined>(nullptr, nullptr));
  Py_RETURN_NONE;
}

PyObject* activation(PyObject* self, PyObject* args) {
  const char* actor = nullptr;
  const char* key = nullptr;
  if (!PyArg_ParseTuple(args, "ss:activation", &actor, &key)) return nullptr;
  return none_or(node_of(self).activation(actor, key));
}

PyObject* take_id(PyObject* self, PyObject*) { return PyLong_FromLongLong(node_of(self).replies.lock()->take_id()); }

PyObject* waited(PyObject* self, PyObject* args) {
  long long id = 0;
  PyObject* future = nullptr;
  if (!PyArg_ParseTuple(args, "LO:waited", &id, &future)) return nullptr;
  node_of(self).waited(id, Object::borrow(future), Object(), 0);
  Py_RETURN_NONE;
}

PyObject* forget(PyObject* self, PyObject* arg) {
  const long long id = PyLong_AsLongLong(arg);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  auto waiting = node_of(self).forget(id);
  return none_or(waiting ? waiting->future : Object());
}

PyObject* learn(PyObject* self, PyObject* actor) {
  auto d = Definition::of(actor);
  if (!d) return nullptr;
  node_of(self).learn(actor, d);
  Py_RETURN_NONE;
}

// resolve(name, /): the object the catalog keeps for the name once resolved, or None.
PyObject* resolve(PyObject* self, PyObject* name) {
  auto text = utf8(name);
  if (!text) return nullptr;
  if (!node_of(self).resolve(*text)) Py_RETURN_NONE;
  return none_or(node_of(self).catalog.lock()->object(*text));
}

PyObject* missing(PyObject* self, PyObject*) {
  std::vector<std::string> names = node_of(self).catalog.lock()->missing();
  Object out = Object::steal(PyList_New(0));
  for (const auto& n : names) {
    Object t = text(n);
    if (!out || !t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
  }
  return out.release();
}

Object durability(const std::optional<core::Durability>& d) {
  if (!d) return Object::borrow(Py_None);
  if (const auto* after = d->as_after()) return actor::timedelta(after->period);
  return text("write");
}

PyObject* kinds(PyObject* self, PyObject*) {
  std::vector<core::Kind> all = node_of(self).catalog.lock()->kinds();
  Object out = Object::steal(PyList_New(0));
  for (const core::Kind& k : all) {
    Object timeout = k.write_timeout ? actor::timedelta(*k.write_timeout) : Object::borrow(Py_None);
    Object durable = durability(k.durability);
    if (!out || !timeout || !durable) return nullptr;
    std::string_view write = core::text(k.write);
    Object item = Object::steal(Py_BuildValue("(s#OOKOs#)", k.name.data(), static_cast<Py_ssize_t>(k.name.size()),
                                              timeout.get(), durable.get(),
                                              static_cast<unsigned long long>(k.replicas),
                                              k.pinned ? Py_True : Py_False, write.data(),
                                              static_cast<Py_ssize_t>(write.size())));
    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* dropped(PyObject* self, PyObject* args) {
  const char* actor = nullptr;
  const char* key = nullptr;
  const char* reason = nullptr;
  if (!PyArg_ParseTuple(args, "sss:dropped", &actor, &key, &reason)) return nullptr;
  node_of(self).dropped(actor, key, reason);
  Py_RETURN_NONE;
}

PyObject* subscribe(PyObject* self, PyObject*) {
  if (!node_of(self).subscribe()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_wanted(PyObject* self, void*) { return PyLong_FromLong(node_of(self).wanted.load()); }

// watch(count, /): starts `count` threads that read the mask without the interpreter lock until
// `watched` stops them.
PyObject* watch(PyObject* self, PyObject* arg) {
  const long count = PyLong_AsLong(arg);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  NodeHookObject& h = hook(self);
  stop_readers(h);
  h.stop.store(false);
  h.seen.assign(static_cast<std::size_t>(count), std::vector<bool>(1u << 16, false));
  for (long i = 0; i < count; ++i) {
    // One read after the stop is seen, so the last mask written before `watched` is always read.
    // The readers never hold the node: `watched` and the hook's end join them while the hook does.
    h.readers.emplace_back([node = h.node.get(), &stop = h.stop, &seen = h.seen[static_cast<std::size_t>(i)]] {
      for (bool last = false; !last;) {
        last = stop.load();
        seen[node->wanted.load(std::memory_order_acquire)] = true;
      }
    });
  }
  Py_RETURN_NONE;
}

// watched(): stops the readers; every mask value any of them read, in ascending order.
PyObject* watched(PyObject* self, PyObject*) {
  NodeHookObject& h = hook(self);
  stop_readers(h);
  Object out = Object::steal(PyList_New(0));
  for (std::size_t value = 0; out && value < (1u << 16); ++value) {
    bool any = false;
    for (const auto& s : h.seen) any = any || s[value];
    if (!any) continue;
    Object v = Object::steal(PyLong_FromSize_t(value));
    if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
  }
  return out.release();
}

PyMethodDef hook_methods[] = {
    {"enter", enter, METH_VARARGS, "enter(loop, system, /)\n--\n\nKeeps the loop and the system object, as entering does."},
    {"id", id, METH_NOARGS, "id()\n--\n\n(address, incarnation)."},
    {"config", config, METH_NOARGS, "config()\n--\n\nThe node's settings."},
    {"flags", flags, METH_NOARGS, "flags()\n--\n\nThe counters and flags, and the number of pending asks."},
    {"now", now, METH_NOARGS, "now()\n--\n\n"},
    {"clock", clock, METH_NOARGS, "clock()\n--\n\n"},
    {"future", future, METH_NOARGS, "future()\n--\n\n"},
    {"running", running, METH_NOARGS, "running()\n--\n\n"},
    {"system", system, METH_NOARGS, "system()\n--\n\n"},
    {"cluster", cluster, METH_NOARGS, "cluster()\n--\n\nWhether the node runtime's handle is there."},
    {"join_pending", join_pending, METH_NOARGS, "join_pending()\n--\n\nKeeps a cluster side still starting."},
    {"activation", activation, METH_VARARGS, "activation(actor, key, /)\n--\n\n"},
    {"take_id", take_id, METH_NOARGS, "take_id()\n--\n\nThe next ask id."},
    {"waited", waited, METH_VARARGS, "waited(id, future, /)\n--\n\n"},
    {"forget", forget, METH_O, "forget(id, /)\n--\n\nThe future of the pending ask taken out, or None."},
    {"learn", learn, METH_O, "learn(actor, /)\n--\n\n"},
    {"resolve", resolve, METH_O, "resolve(name, /)\n--\n\n"},
    {"missing", missing, METH_NOARGS, "missing()\n--\n\n"},
    {"kinds", kinds, METH_NOARGS, "kinds()\n--\n\n"},
    {"dropped", dropped, METH_VARARGS, "dropped(actor, key, reason, /)\n--\n\n"},
    {"subscribe", subscribe, METH_NOARGS, "subscribe()\n--\n\n"},
    {"watch", watch, METH_O, "watch(count, /)\n--\n\n"},
    {"watched", watched, METH_NOARGS, "watched()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hook_getset[] = {
    {"wanted", get_wanted, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hook_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(hook_dealloc)},
    {Py_tp_methods, hook_methods},
    {Py_tp_getset, hook_getset},
    {0, nullptr},
};

PyType_Spec hook_spec = {
    "vorel._vorel_testing.NodeHook",
    sizeof(NodeHookObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    hook_slots,
};

Once hook_cell;

// node(observer=None, store=None): a node with the default settings and a random incarnation.
PyObject* node(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"observer", "store", nullptr};
  PyObject* observer = Py_None;
  PyObject* store = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:node", const_cast<char**>(keywords), &observer, &store)) {
    return nullptr;
  }
  PyObject* t = hook_cell.get([] { return PyType_FromSpec(&hook_spec); });
  if (t == nullptr) return nullptr;
  core::NodeId id;
  Object uuid = import("uuid");
  Object fresh = uuid ? call_method(uuid.get(), "uuid4") : Object();
  Object bytes = fresh ? attr(fresh.get(), "bytes") : Object();
  if (!bytes) return nullptr;
  std::memcpy(id.incarnation.data(), PyBytes_AsString(bytes.get()), id.incarnation.size());
  auto* tp = reinterpret_cast<PyTypeObject*>(t);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  new (&hook(self).node) std::shared_ptr<Node>(
      Node::new_(NodeConfig{}, std::move(id), Object::borrow(observer), Object::borrow(store), nullptr));
  new (&hook(self).stop) std::atomic<bool>(false);
  new (&hook(self).readers) std::vector<std::thread>();
  new (&hook(self).seen) std::vector<std::vector<bool>>();
  return self;
}

// pending(ref, /): how many asks wait for an answer on the node the ref sends through.
PyObject* pending(PyObject*, PyObject* o) {
  const refs::Ref* r = refs::of(o);
  if (r == nullptr || !r->node) {
    PyErr_SetString(PyExc_TypeError, "not a Ref bound to a system");
    return nullptr;
  }
  return PyLong_FromSize_t(r->node->replies.lock()->size());
}

// The node of an ActorSystem or Client object; null with TypeError for anything else.
const std::shared_ptr<Node>* node_of_system(PyObject* o) {
  for (PyObject* cls : {system::type(), client::type()}) {
    if (cls == nullptr) return nullptr;
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(cls))) return &facade::node_of(o);
  }
  PyErr_SetString(PyExc_TypeError, "not an ActorSystem or a Client");
  return nullptr;
}

constexpr const char kWeakNode[] = "vorel._vorel_testing.weak_node";

void weak_node_gone(PyObject* capsule) {
  delete static_cast<std::weak_ptr<Node>*>(PyCapsule_GetPointer(capsule, kWeakNode));
}

// weak_node(system, /): a weak reference to the node of an ActorSystem or Client, for
// `node_alive`: the node outlives the system object as long as anything of it is left (an
// activation, a context, a ref, a callback on the loop).
PyObject* weak_node(PyObject*, PyObject* o) {
  const std::shared_ptr<Node>* node = node_of_system(o);
  if (node == nullptr) return nullptr;
  auto* weak = new std::weak_ptr<Node>(*node);
  PyObject* capsule = PyCapsule_New(weak, kWeakNode, weak_node_gone);
  if (capsule == nullptr) delete weak;
  return capsule;
}

// node_alive(weak, /): how many holds keep the node now; 0 once it is gone.
PyObject* node_alive(PyObject*, PyObject* capsule) {
  auto* weak = static_cast<std::weak_ptr<Node>*>(PyCapsule_GetPointer(capsule, kWeakNode));
  if (weak == nullptr) return nullptr;
  return PyLong_FromLong(weak->use_count());
}

// contend(holders, /): lets the last hold on a system's transport threads go while one of their
// workers waits for the interpreter lock. `holders` is a list whose one item is a Client or an
// ActorSystem held nowhere else, whose node holds the threads alone. A task on those threads
// waits for the lock; once it has begun, the list is emptied with the lock held all along, so the
// node goes while the task waits. Answers whether the task had the lock before the threads ended.
PyObject* contend(PyObject*, PyObject* holders) {
  if (!PyList_Check(holders) || PyList_Size(holders) != 1) {
    PyErr_SetString(PyExc_TypeError, "contend() takes a list of one system");
    return nullptr;
  }
  const std::shared_ptr<Node>* node = node_of_system(PyList_GetItem(holders, 0));
  if (node == nullptr) return nullptr;
  std::shared_ptr<vorel::exec::Threads> threads = (*node)->threads;
  if (!threads) {
    PyErr_SetString(PyExc_ValueError, "the system has no transport threads");
    return nullptr;
  }
  struct Flags {
    std::atomic<bool> begun{false};
    std::atomic<bool> locked{false};
  };
  auto flags = std::make_shared<Flags>();
  threads->spawn([flags] {
    flags->begun.store(true);
    PyGILState_STATE state = PyGILState_Ensure();
    flags->locked.store(true);
    PyGILState_Release(state);
  });
  threads.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!flags->begun.load()) {
    if (std::chrono::steady_clock::now() > deadline) {
      PyErr_SetString(PyExc_RuntimeError, "the task on the transport threads did not begin within 10 s");
      return nullptr;
    }
    std::this_thread::yield();
  }
  if (PyList_SetSlice(holders, 0, 1, nullptr) < 0) return nullptr;
  return PyBool_FromLong(flags->locked.load());
}

PyMethodDef functions[] = {
    {"weak_node", weak_node, METH_O, "weak_node(system, /)\n--\n\nA weak reference to the node of a system."},
    {"node_alive", node_alive, METH_O, "node_alive(weak, /)\n--\n\nHow many holds keep the node; 0 once gone."},
    {"contend", contend, METH_O,
     "contend(holders, /)\n--\n\nLets a system's transport threads go while a worker waits for the lock."},
    {"pending", pending, METH_O, "pending(ref, /)\n--\n\nThe number of pending asks of the ref's node."},
    {"definition", definition, METH_O,
     "definition(actor, /)\n--\n\nThe name, native kind and schemas an actor type was built with."},
    {"node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node)), METH_VARARGS | METH_KEYWORDS,
     "node(observer=None, store=None)\n--\n\nA bare node of a system that no Python class makes yet."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_node_hooks(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace vorel::py::testing
