#include "py/node/system.hpp"

#include <fmt/format.h>

#include <cstring>

#include "core/placement/pin.hpp"
#include "py/awaited.hpp"
#include "py/future.hpp"
#include "py/generic.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/body.hpp"
#include "py/node/entered.hpp"
#include "py/node/facade.hpp"
#include "py/node/identity.hpp"
#include "py/node/observe.hpp"
#include "py/node/steps.hpp"
#include "py/once.hpp"
#include "py/options.hpp"
#include "py/refs.hpp"
#include "py/runtime.hpp"

namespace vorel::py::system {
namespace {

struct Record {
  std::shared_ptr<Node> node;
  Object cluster;
};

std::optional<core::Duration> duration(PyObject* value, const char* name, core::Duration fallback) {
  if (value == nullptr || value == Py_None) return fallback;
  return actor::period(name, value);
}

PyObject* new_(PyTypeObject* cls, PyObject*, PyObject* kwargs) {
  PyObject* named[9] = {};
  static const char* names[] = {"cluster",       "idle_after", "backoff", "ask_timeout", "write_timeout",
                                "leave_timeout", "observer",   "store",   "runtime"};
  if (kwargs != nullptr) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      auto name = utf8(k);
      if (!name) return nullptr;
      bool known = false;
      for (int i = 0; i < 9; ++i) {
        if (*name == names[i]) {
          named[i] = v == Py_None ? nullptr : v;
          known = true;
        }
      }
      if (!known) {
        PyErr_Format(PyExc_TypeError, "ActorSystem() got an unexpected keyword argument '%U'", k);
        return nullptr;
      }
    }
  }
  std::shared_ptr<vorel::exec::Threads> threads;
  if (named[8] != nullptr) {
    threads = runtime::threads(named[8]);
    if (!threads) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError,
                        fmt::format("runtime must be a Runtime, not {}", type_name(named[8])).c_str());
      }
      return nullptr;
    }
  }
  NodeConfig config;
  auto idle = duration(named[1], "idle_after", config.idle_after);
  if (!idle) return nullptr;
  auto ask = duration(named[3], "ask_timeout", config.ask_timeout);
  if (!ask) return nullptr;
  auto write = duration(named[4], "write_timeout", config.write_timeout);
  if (!write) return nullptr;
  auto leave = duration(named[5], "leave_timeout", config.leave_timeout);
  if (!leave) return nullptr;
  config.idle_after = *idle;
  config.ask_timeout = *ask;
  config.write_timeout = *write;
  config.leave_timeout = *leave;
  if (named[2] != nullptr) {
    auto b = actor::backed_off(named[2]);
    if (!b) return nullptr;
    config.backoff = *b;
  }
  auto drawn = identity::incarnation();
  if (!drawn) return nullptr;
  Object observer = observe::observing(named[6]);
  if (!observer) return nullptr;
  Object store;
  if (named[7] != nullptr) {
    for (const char* method : {"load", "save", "drop"}) {
      Object m = attr(named[7], method);
      if (!m) PyErr_Clear();
      if (!m || !PyCallable_Check(m.get())) {
        Object r = Object::steal(PyObject_Repr(named[7]));
        if (r) PyErr_Format(PyExc_TypeError, "store is %U, which has no %s method to call", r.get(), method);
        return nullptr;
      }
    }
    store = Object::borrow(named[7]);
  }
  auto node = Node::new_(config, core::NodeId{std::nullopt, *drawn}, std::move(observer), std::move(store),
                         std::move(threads));
  return body::make<Record>(reinterpret_cast<PyObject*>(cls), Record{std::move(node), Object::borrow(named[0])})
      .release();
}

int init(PyObject*, PyObject*, PyObject*) { return 0; }

constexpr char kStopping[] = "Exception while a vorel system stopped";

// The bodies still running once the drain is over went on after the leave timeout cancelled them:
// the system stops without them, and each is named to the loop's exception handler.
void stragglers(Node& node) {
  for (const Object& a : node.census()) {
    std::optional<bool> on = activation::running(a);
    if (on && !*on) continue;
    if (on) {
      const Activation& at = activation::the(a);
      PyErr_SetString(PyExc_RuntimeError,
                      fmt::format("{}/{}: the body did not stop when it was cancelled at the leave timeout, and the "
                                  "system stopped without it",
                                  at.actor, at.key)
                          .c_str());
    }
    node.report(kStopping);
  }
}

PyObject* aenter(PyObject* self, PyObject*) {
  Record& r = body::record<Record>(self);
  Node& node = *r.node;
  Object loop = node.entering(self);
  if (!loop) return nullptr;
  Object future = node.future();
  if (!future) return nullptr;
  if (!r.cluster) {
    if (!call_method(future.get(), "set_result", self)) return nullptr;
    return awaited::make(std::move(future)).release();
  }
  // The entry resolves once the node has joined; seeds that never answer keep it waiting until
  // the caller gives up (asyncio.wait_for), which stops the node.
  if (!node.join(r.cluster.get(), loop.get(), future, self)) return nullptr;
  return node.entry(std::move(future)).release();
}

PyObject* aexit(PyObject* self, PyObject* exc) {
  Record& r = body::record<Record>(self);
  std::shared_ptr<Node> node = r.node;
  bool raised = false;
  for (Py_ssize_t i = 0; i < PyTuple_Size(exc); ++i) raised = raised || PyTuple_GetItem(exc, i) != Py_None;
  Object exit = node->future();
  if (!exit) return nullptr;
  if (raised) {
    node->leaving.exchange(true);
    node->stopped.exchange(true);
    node->abandon();
    node->departed(true, exit.get());
    return awaited::make(std::move(exit)).release();
  }
  // The node announces the leave at once, so that the cluster stops sending it new work while
  // its activations drain.
  if (auto joined = node->cluster()) joined->runtime.ask(vorel::node::Ask{vorel::node::Ask::Leave{}});
  node->leaving.exchange(true);
  auto began = node->now();
  if (!began) return nullptr;
  Object drain = node->future();
  if (!drain) return nullptr;
  std::vector<Object> live = node->census();
  Object timer;
  if (live.empty()) {
    if (!call_method(drain.get(), "set_result", Py_None)) return nullptr;
  } else {
    Object old = node->drained.replace(drain);
    for (const Object& a : live) {
      if (!activation::drain(a)) return nullptr;
    }
    // Draining ends at the leave timeout at the latest: what is still live then is cancelled and
    // let go, and the exit goes on without waiting for a body that does not stop.
    Object loop = node->running();
    if (loop) {
      std::weak_ptr<Node> weak = node;
      timer = steps::later(loop.get(), node->config.leave_timeout.as_seconds(), [weak] {
        auto n = weak.lock();
        if (!n) return true;
        n->abandon();
        Object drained = n->drained.replace(Object());
        return !drained || future::resolve(drained.get(), Py_None);
      });
    }
    if (!timer) return nullptr;
  }
  // The saves of durable keys still planned or under way finish within what is left of the leave
  // timeout, before the system is gone.
  Raised added = callback::when_done(drain.get(), [node, exit, timer, began = *began](Token, PyObject*) -> Raised {
    // The timer would keep the loop busy until the leave timeout though nothing is left to let go.
    if (!steps::cancel(timer)) node->report(kStopping);
    stragglers(*node);
    if (auto now = node->now()) {
      const double left = node->config.leave_timeout.as_seconds() - (*now - began);
      if (durable::closing(node, left, [node, exit] { node->departed(false, exit.get()); })) return Raised();
    }
    // The system stops all the same, so that whoever awaits the exit wakes; the failure goes to the
    // loop's exception handler.
    Raised failed = caught();
    node->departed(false, exit.get());
    return failed;
  });
  if (added) return rethrow(std::move(*added));
  return awaited::make(std::move(exit)).release();
}

PyObject* release(PyObject* self, PyObject* args) {
  PyObject *actor, *key;
  if (!PyArg_ParseTuple(args, "OU:release", &actor, &key)) return nullptr;
  Node* node = facade::running(self);
  if (node == nullptr) return nullptr;
  auto definition = Definition::of(actor);
  if (!definition) return nullptr;
  auto k = utf8(key);
  if (!k) return nullptr;
  Object future = node->future();
  if (!future) return nullptr;
  Object live = node->activation(definition->name, *k);
  if (!live) {
    if (!call_method(future.get(), "set_result", Py_False)) return nullptr;
  } else if (!activation::ending(live, future)) {
    return nullptr;
  }
  return awaited::make(std::move(future)).release();
}

PyObject* node_id(PyObject* self, void*) {
  Node* node = facade::running(self);
  if (node == nullptr) return nullptr;
  return identity::of(node->id()).release();
}

// The str of an object; none with the error set.
std::optional<std::string> shown(PyObject* o) {
  Object str = Object::steal(PyObject_Str(o));
  return str ? utf8(str.get()) : std::nullopt;
}

// The address a pinned type's `at=` names: a Member's node, a NodeId, or the text itself.
std::optional<std::string> pinned_address(PyObject* at) {
  if (PyUnicode_Check(at)) return utf8(at);
  Object vorel = import("vorel");
  if (!vorel) return std::nullopt;
  Object node;
  for (const char* name : {"Member", "NodeId"}) {
    Object cls = attr(vorel.get(), name);
    if (!cls) return std::nullopt;
    const int is = PyObject_IsInstance(at, cls.get());
    if (is < 0) return std::nullopt;
    if (is == 0) continue;
    node = std::strcmp(name, "Member") == 0 ? attr(at, "node") : Object::borrow(at);
    if (!node) return std::nullopt;
    break;
  }
  if (!node) {
    auto s = shown(at);
    if (s) PyErr_SetString(PyExc_TypeError, fmt::format("at is {}, which is not a Member, a NodeId or a host:port", *s).c_str());
    return std::nullopt;
  }
  Object address = attr(node.get(), "address");
  if (!address) return std::nullopt;
  if (address.get() == Py_None) {
    auto s = shown(at);
    if (s) actor::value_error(fmt::format("at is {}, which has no address: only a node of a cluster runs keys", *s));
    return std::nullopt;
  }
  return utf8(address.get());
}

// The key under which the type places it: a ring type takes the key as it is.
std::optional<std::string> placed(const Definition& d, const std::string& key, PyObject* at) {
  if (!d.options.pinned) {
    if (at != nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      fmt::format("{} is placed by the ring, and only a type declared with pinned=True takes at=", d.name)
                          .c_str());
      return std::nullopt;
    }
    if (core::placement::pinned(key)) {
      Object k = text(key);
      auto shown = k ? actor::debug(k.get()) : std::nullopt;
      if (shown) {
        actor::value_error(fmt::format("{}: the key {} has the form @host:port/name, which only the keys of a pinned "
                                       "type have",
                                       d.name, *shown));
      }
      return std::nullopt;
    }
    return key;
  }
  if (at == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    fmt::format("{} is pinned, so its ref names the node it runs on: pass at=", d.name).c_str());
    return std::nullopt;
  }
  auto address = pinned_address(at);
  if (!address) return std::nullopt;
  std::string placed_key = core::placement::pin(*address, key);
  if (core::placement::pinned(placed_key) != std::string_view(*address)) {
    Object a = text(*address);
    auto shown = a ? actor::debug(a.get()) : std::nullopt;
    if (shown) actor::value_error(fmt::format("at is {}, which is not the host:port a node advertises", *shown));
    return std::nullopt;
  }
  return placed_key;
}

// What `ref` and `placement` name: the running node, the actor type, which the node learns, and
// the key as the type places it.
struct Named {
  Node* node;
  std::shared_ptr<const Definition> definition;
  std::string key;
};

std::optional<Named> entity(PyObject* self, PyObject* actor, PyObject* key, PyObject* at) {
  Node* node = facade::running(self);
  if (node == nullptr) return std::nullopt;
  auto definition = Definition::of(actor);
  if (!definition) return std::nullopt;
  auto k = utf8(key);
  if (!k) return std::nullopt;
  auto placed_key = placed(*definition, *k, at == Py_None ? nullptr : at);
  if (!placed_key) return std::nullopt;
  node->learn(actor, definition);
  return Named{node, std::move(definition), *std::move(placed_key)};
}

PyObject* ref(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"", "", "initial", "at", nullptr};
  PyObject *actor, *key, *initial = Py_None, *at = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU|$OO:ref", const_cast<char**>(names), &actor, &key, &initial,
                                   &at)) {
    return nullptr;
  }
  auto named = entity(self, actor, key, at);
  if (!named) return nullptr;
  Node* node = named->node;
  const auto& definition = named->definition;
  std::optional<core::Bytes> state;
  const schema::Schema& s = definition->states();
  if (initial != Py_None) {
    auto w = schema::Schema::write(s, s.tree.tagged_root, initial);
    if (!w) return schema::raise(std::move(w.error()));
    state = *std::move(w);
  } else if (!definition->initial) {
    auto w = schema::Schema::write(s, s.tree.tagged_root, Py_None);
    if (!w) {
      PyErr_SetString(PyExc_TypeError,
                      fmt::format("{} has no default initial state, and its state cannot be None: pass initial=",
                                  definition->name)
                          .c_str());
      return nullptr;
    }
    state = *std::move(w);
  }
  if (!node->hand(core::Command{core::Start{definition->name, named->key, std::move(state)}})) return nullptr;
  return refs::make(refs::Ref{core::Target::entity(definition->name, named->key), definition->message,
                              facade::node_of(self), definition->messages().tree.tagged_root})
      .release();
}

PyObject* placement(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"", "", "at", nullptr};
  PyObject *actor, *key, *at = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU|$O:placement", const_cast<char**>(names), &actor, &key, &at)) {
    return nullptr;
  }
  auto named = entity(self, actor, key, at);
  if (!named) return nullptr;
  Node* node = named->node;
  Object future = node->future();
  if (!future) return nullptr;
  if (auto clustered = node->cluster()) {
    Entered{std::move(clustered->joined), std::move(clustered->runtime)}.placed(named->definition->name, named->key,
                                                                                future);
    return awaited::make(std::move(future)).release();
  }
  // Without a cluster every key lives here, on this node alone.
  const core::NodeId me = node->id();
  Object placed_at = located(me, {me});
  if (!placed_at || !call_method(future.get(), "set_result", placed_at.get())) return nullptr;
  return awaited::make(std::move(future)).release();
}

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

PyMethodDef methods[] = {
    {"__aenter__", aenter, METH_NOARGS,
     "__aenter__($self)\n--\n\nIn a cluster, waits until the node has joined, with no time limit of its own: seeds "
     "that never answer\nkeep it waiting, so bound it with asyncio.wait_for. Cancelling it stops the node."},
    {"__aexit__", aexit, METH_VARARGS,
     "__aexit__($self, *exc)\n--\n\nLeaving by an exception is the process going away: nothing is drained and the "
     "transport aborts."},
    {"release", release, METH_VARARGS,
     "release($self, actor, key, /)\n--\n\nLet the key go on purpose, as if its activation here idled out now, "
     "answering whether there was one once it\nis over."},
    {"ref", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ref)), METH_VARARGS | METH_KEYWORDS,
     "ref($self, actor, key, /, *, initial=None, at=None)\n--\n\nReference to the entity `(actor, key)`, wherever it "
     "is placed, or on the node `at` names for a pinned\ntype. It creates the key if it has to, and activates it."},
    {"placement", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(placement)), METH_VARARGS | METH_KEYWORDS,
     "placement($self, actor, key, /, *, at=None)\n--\n\n"},
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"node", node_id, nullptr, "The NodeId of this node.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "ActorSystem(*_extra, cluster=None, idle_after=None, backoff=None, ask_timeout=None, write_timeout=None, "
    "leave_timeout=None, observer=None, store=None, runtime=None)\n--\n\nA node. It hosts every actor type it meets: "
    "the ones this process uses, and the ones the cluster tells it of.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_)},
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"vorel._vorel.ActorSystem", sizeof(body::Of<Record>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};

Once cell;

}  // namespace

PyObject* type() {
  return cell.get([] {
    // The methods and attributes an ActorSystem shares with a Client join its own.
    for (PyType_Slot& slot : slots) {
      if (slot.slot == Py_tp_methods) slot.pfunc = facade::methods(methods, true);
      if (slot.slot == Py_tp_getset) slot.pfunc = facade::getset(getset, true);
    }
    return PyType_FromSpec(&spec);
  });
}

const std::shared_ptr<Node>& node(PyObject* self) { return body::record<Record>(self).node; }

PyMethodDef method(const char* name) {
  for (const PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
    if (std::strcmp(m->ml_name, name) == 0) return *m;
  }
  return PyMethodDef{};
}

PyGetSetDef attribute(const char* name) {
  for (const PyGetSetDef* g = getset; g->name != nullptr; ++g) {
    if (std::strcmp(g->name, name) == 0) return *g;
  }
  return PyGetSetDef{};
}

}  // namespace vorel::py::system
