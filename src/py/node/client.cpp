#include "py/node/client.hpp"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <vector>

#include "node/cluster.hpp"
#include "py/awaited.hpp"
#include "py/node.hpp"
#include "py/node/body.hpp"
#include "py/node/bridge.hpp"
#include "py/node/cluster.hpp"
#include "py/node/facade.hpp"
#include "py/node/identity.hpp"
#include "py/node/observe.hpp"
#include "py/node/system.hpp"
#include "py/once.hpp"
#include "py/options.hpp"
#include "py/runtime.hpp"

namespace vorel::py::client {
namespace {

struct Record {
  node::Cluster cluster;  // every entry starts its node runtime from a copy of it
  std::shared_ptr<Node> node;
  Object address_map;  // null when omitted or None
};

constexpr std::array<const char*, 10> kNames = {"seeds",  "name",        "tls",        "compression", "address_map",
                                                "limits", "ask_timeout", "sync_every", "observer",    "runtime"};
enum Argument { Seeds, Name, TlsArg, CompressionArg, AddressMap, LimitsArg, AskTimeout, SyncEvery, Observer, RuntimeArg };

// The keyword arguments by position in kNames, None read as absent; false with the error set.
bool named(PyObject* kwargs, std::array<PyObject*, kNames.size()>& out) {
  if (kwargs == nullptr) return true;
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &k, &v)) {
    auto name = utf8(k);
    if (!name) return false;
    std::size_t i = 0;
    while (i < kNames.size() && *name != kNames[i]) ++i;
    if (i == kNames.size()) {
      PyErr_Format(PyExc_TypeError, "Client() got an unexpected keyword argument '%U'", k);
      return false;
    }
    out[i] = v == Py_None ? nullptr : v;
  }
  return true;
}

// Calls the package's class of that name with no arguments, for a setting left out.
Object defaulted(PyObject* given, const char* cls) {
  if (given != nullptr) return Object::borrow(given);
  Object vorel = import("vorel");
  Object made = vorel ? attr(vorel.get(), cls) : Object();
  return made ? call(made.get()) : Object();
}

PyObject* new_(PyTypeObject* cls, PyObject*, PyObject* kwargs) {
  std::array<PyObject*, kNames.size()> given{};
  if (!named(kwargs, given)) return nullptr;
  auto seeds = cluster::texts("seeds", given[Seeds]);
  if (!seeds) return nullptr;
  std::string name = "vorel";
  if (given[Name] != nullptr) {
    if (!PyUnicode_Check(given[Name])) {
      PyErr_SetString(PyExc_TypeError, fmt::format("name must be a str, not {}", type_name(given[Name])).c_str());
      return nullptr;
    }
    auto n = utf8(given[Name]);
    if (!n) return nullptr;
    name = std::move(*n);
  }
  std::shared_ptr<vorel::exec::Threads> threads;
  if (given[RuntimeArg] != nullptr) {
    threads = runtime::threads(given[RuntimeArg]);
    if (!threads) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError,
                        fmt::format("runtime must be a Runtime, not {}", type_name(given[RuntimeArg])).c_str());
      }
      return nullptr;
    }
  }
  if (seeds->empty()) {
    PyErr_SetString(PyExc_ValueError, "seeds is empty, and a client reaches a cluster only through a seed");
    return nullptr;
  }
  {
    Object vorel = import("vorel");
    Object address = vorel ? attr(vorel.get(), "address") : Object();
    Object label = address ? text("seeds") : Object();
    if (!label) return nullptr;
    for (const std::string& seed : *seeds) {
      Object s = text(seed);
      if (!s || !call(address.get(), label.get(), s.get())) return nullptr;
    }
  }
  if (given[AddressMap] != nullptr && !cluster::usable(given[AddressMap])) return nullptr;
  Object compression = defaulted(given[CompressionArg], "Compression");
  if (!compression) return nullptr;
  Object limits_object = defaulted(given[LimitsArg], "Limits");
  if (!limits_object) return nullptr;
  core::Duration sync_every{5, 0};
  if (given[SyncEvery] != nullptr) {
    auto d = cluster::every("sync_every", given[SyncEvery]);
    if (!d) return nullptr;
    sync_every = *d;
  }
  auto tls = cluster::tls(given[TlsArg]);
  if (!tls) return nullptr;
  auto codecs = cluster::compressed(compression.get());
  if (!codecs) return nullptr;
  Object min_bytes_object = attr(compression.get(), "min_bytes");
  auto min_bytes = min_bytes_object ? cluster::unsigned64(min_bytes_object.get()) : std::nullopt;
  if (!min_bytes) return nullptr;
  auto limits = cluster::limits(limits_object.get());
  if (!limits) return nullptr;

  node::Cluster config = node::Cluster::at("");
  config.seeds = std::move(*seeds);
  config.name = std::move(name);
  config.tls = std::move(*tls);
  config.codecs = std::move(*codecs);
  config.min_bytes = *min_bytes;
  config.limits = *limits;
  config.anti_entropy = sync_every;

  // A client hosts no key: nothing idles, writes or leaves on its side.
  NodeConfig settings;
  settings.idle_after = core::Duration{};
  settings.write_timeout = core::Duration{};
  settings.leave_timeout = core::Duration{};
  if (given[AskTimeout] != nullptr) {
    auto ask = actor::period("ask_timeout", given[AskTimeout]);
    if (!ask) return nullptr;
    settings.ask_timeout = *ask;
  }
  auto drawn = identity::incarnation();
  if (!drawn) return nullptr;
  Object observer = observe::observing(given[Observer]);
  if (!observer) return nullptr;
  auto node = Node::new_(settings, core::NodeId{std::nullopt, *drawn}, std::move(observer), Object(),
                         std::move(threads));
  return body::make<Record>(reinterpret_cast<PyObject*>(cls),
                            Record{std::move(config), std::move(node), Object::borrow(given[AddressMap])})
      .release();
}

int init(PyObject*, PyObject*, PyObject*) { return 0; }

PyObject* aenter(PyObject* self, PyObject*) {
  Record& r = body::record<Record>(self);
  Node& n = *r.node;
  Object loop = n.entering(self);
  if (!loop) return nullptr;
  Object future = n.future();
  if (!future) return nullptr;
  // A client hosts no key and binds no listener; it has entered once a seed sent the member table.
  if (!n.enter(r.cluster, r.address_map.get(), loop.get(), future, self, false)) return nullptr;
  return n.entry(std::move(future)).release();
}

PyObject* aexit(PyObject* self, PyObject*) {
  std::shared_ptr<Node> n = body::record<Record>(self).node;
  Object exit = n->future();
  if (!exit) return nullptr;
  // A client keeps nothing worth draining: it always leaves at once.
  n->leaving.exchange(true);
  n->stopped.exchange(true);
  n->abandon();
  n->departed(true, exit.get());
  return awaited::make(std::move(exit)).release();
}

PyMethodDef own_methods[] = {
    {"__aenter__", aenter, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", aexit, METH_VARARGS, "__aexit__($self, *_exc)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Built once with the class: its own methods, then those it shares with an ActorSystem by name.
std::vector<PyMethodDef> method_table;
std::vector<PyGetSetDef> getset_table;

constexpr const char kDoc[] =
    "Client(*_extra, seeds, name=\"vorel\", tls=None, compression=None, address_map=None, limits=None, "
    "ask_timeout=None, sync_every=None, observer=None, runtime=None)\n--\n\nSends messages to the actors of a "
    "cluster, without hosting keys or joining the membership.\n\n`__aenter__` returns after the first member table "
    "is received from a seed.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_)},
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_methods, nullptr},
    {Py_tp_getset, nullptr},
    {0, nullptr},
};

PyType_Spec spec = {"vorel._vorel.Client", sizeof(body::Of<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                    slots};

Once cell;

}  // namespace

PyObject* type() {
  return cell.get([] {
    method_table.assign(std::begin(own_methods), std::end(own_methods) - 1);
    for (const char* name : {"ref", "placement", "__class_getitem__"}) method_table.push_back(system::method(name));
    method_table.push_back(PyMethodDef{});
    getset_table = {system::attribute("node"), PyGetSetDef{}};
    for (PyType_Slot& slot : slots) {
      if (slot.slot == Py_tp_methods) slot.pfunc = facade::methods(method_table.data(), false);
      if (slot.slot == Py_tp_getset) slot.pfunc = facade::getset(getset_table.data(), false);
    }
    return PyType_FromSpec(&spec);
  });
}

const std::shared_ptr<Node>& node(PyObject* self) { return body::record<Record>(self).node; }

}  // namespace vorel::py::client
