// Test hooks of the SQL store's road for a joined node: `sql_carrier(sql)` keeps what a joined
// node keeps of an SQL object, and `sql_carry(carrier, ...)` hands it one storage request through
// a node handle of its own and gives back every answer the request got.
#include <exception>
#include <string>
#include <vector>

#include "../../cpp/exec/waiting.hpp"
#include "hooks.hpp"
#include "node/reach.hpp"
#include "py/stores.hpp"

namespace vorel::py::testing {
namespace {

constexpr char kCarrier[] = "vorel.testing.carrier";
constexpr std::uint64_t kRequest = 7;

void carrier_gone(PyObject* capsule) {
  delete static_cast<std::shared_ptr<stores::Carrier>*>(PyCapsule_GetPointer(capsule, kCarrier));
}

PyObject* sql_carrier(PyObject*, PyObject* sql) {
  auto carrier = stores::carrier(sql);
  if (!carrier) Py_RETURN_NONE;
  auto* held = new std::shared_ptr<stores::Carrier>(std::move(carrier));
  PyObject* capsule = PyCapsule_New(held, kCarrier, carrier_gone);
  if (capsule == nullptr) delete held;
  return capsule;
}

// None, the failure's text, or (pages or None, (round, version)).
Object shown(const node::replication::service::StoreResult& result) {
  if (!result) return text(result.error());
  if (!*result) return Object::borrow(Py_None);
  const core::Stored& stored = **result;
  Object pages = Object::borrow(Py_None);
  if (stored.state) {
    pages = Object::steal(PyDict_New());
    if (!pages) return pages;
    for (const auto& [name, value] : *stored.state) {
      Object v = bytes_of(value);
      if (!v || PyDict_SetItemString(pages.get(), name.c_str(), v.get()) < 0) return Object();
    }
  }
  return Object::steal(Py_BuildValue("(O(KK))", pages.get(),
                                     static_cast<unsigned long long>(stored.version.epoch.round),
                                     static_cast<unsigned long long>(stored.version.version)));
}

std::optional<core::Pages> pages_of(PyObject* pages) {
  core::Pages out;
  PyObject *name, *value;
  Py_ssize_t at = 0;
  while (PyDict_Next(pages, &at, &name, &value)) {
    auto n = utf8(name);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!n || PyBytes_AsStringAndSize(value, &data, &size) < 0) return std::nullopt;
    out.emplace(*n, core::Bytes(data, data + size));
  }
  return out;
}

// sql_carry(carrier, operation, actor, key, timeout, round, version, pages, /): operation "load",
// "save" (pages a dict of bytes, or None for a deletion) or "drop"; a list of (request, answer).
PyObject* sql_carry(PyObject*, PyObject* args) {
  PyObject *capsule, *pages;
  const char *operation, *actor, *key;
  double timeout;
  unsigned long long round, version;
  if (!PyArg_ParseTuple(args, "OsssdKKO", &capsule, &operation, &actor, &key, &timeout, &round, &version, &pages)) {
    return nullptr;
  }
  auto* carrier = static_cast<std::shared_ptr<stores::Carrier>*>(PyCapsule_GetPointer(capsule, kCarrier));
  if (carrier == nullptr) return nullptr;
  const core::replication::Stamp stamp{core::replication::Epoch{round, core::NodeId{}}, version};
  core::Storage storage{core::Storage::Load{}};
  if (std::string_view(operation) == "save") {
    std::optional<core::Pages> state;
    if (pages != Py_None) {
      state = pages_of(pages);
      if (!state) return nullptr;
    }
    storage = core::Storage{core::Storage::Save{core::Stored{std::move(state), stamp}}};
  } else if (std::string_view(operation) == "drop") {
    storage = core::Storage{core::Storage::Drop{stamp}};
  }
  const auto nanos = static_cast<std::uint64_t>(timeout * 1e9);
  node::replication::service::Storing request{
      kRequest, actor, key, std::move(storage),
      core::Duration{nanos / core::Duration::kNanosPerSecond,
                     static_cast<std::uint32_t>(nanos % core::Duration::kNanosPerSecond)}};

  std::vector<node::Ask::Stored> answers;
  std::string failed;
  {
    Unlocked unlocked;
    auto started = exec::Threads::start(1);
    if (!started) {
      failed = started.error();
    } else {
      auto [asks, receiving] = node::Asks::make();
      auto [publish, reading] = node::watch::channel<std::vector<core::membership::Member>>({});
      {
        node::Node node(std::make_shared<node::Reach>(node::Reach{
            core::NodeId{}, std::make_shared<node::Door>(node::Door{std::move(asks), std::make_shared<node::Bell>()}),
            std::move(reading), nullptr, std::make_shared<node::replication::service::Written>(), 0}));
        stores::carry(**carrier, node, std::move(request));
      }
      // The channel ends once every handle is gone: what it held then is all the request got.
      try {
        while (auto ask = exec::testing::wait(**started, receiving.recv())) {
          answers.push_back(std::get<node::Ask::Stored>(std::move(ask->value)));
        }
      } catch (const std::exception& e) {
        failed = e.what();
      }
    }
  }
  if (!failed.empty()) {
    PyErr_SetString(PyExc_RuntimeError, failed.c_str());
    return nullptr;
  }
  Object out = Object::steal(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& answer : answers) {
    Object value = shown(answer.result);
    if (!value) return nullptr;
    Object pair = Object::steal(Py_BuildValue("(KO)", static_cast<unsigned long long>(answer.request), value.get()));
    if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
  }
  return out.release();
}

PyMethodDef store_methods[] = {
    {"sql_carrier", sql_carrier, METH_O, "sql_carrier(sql, /)\n--\n\nWhat a joined node keeps of an SQL object."},
    {"sql_carry", sql_carry, METH_VARARGS,
     "sql_carry(carrier, operation, actor, key, timeout, round, version, pages, /)\n--\n\n"
     "Every (request, answer) one storage request got."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_store_hooks(PyObject* module) { return PyModule_AddFunctions(module, store_methods); }

}  // namespace vorel::py::testing
