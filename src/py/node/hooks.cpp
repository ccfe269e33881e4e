#include "py/node/hooks.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/msgpack.hpp"
#include "py/awaited.hpp"
#include "py/definition.hpp"
#include "py/locked.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/body.hpp"
#include "py/node/entered.hpp"
#include "py/node/facade.hpp"
#include "py/once.hpp"
#include "py/refs.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py::hooks {
namespace {

struct Watcher {
  explicit Watcher(Object list) : payloads(std::move(list)) {}

  Object payloads;  // the list handed to the test, the same object every time
  Locked<std::optional<core::Bytes>> fail_on;
};

// Parses the arguments by name; false with the standard conversion error set.
template <class... Out>
bool parsed(PyObject* args, PyObject* kwargs, const char* format, const char* const* names, Out*... out) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

// Whether the argument is of the kind the hook takes; false with a TypeError naming it.
bool kind_of(const char* hook, const char* argument, PyObject* value, PyObject* type) {
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", hook, argument,
               class_name(reinterpret_cast<PyTypeObject*>(type)).c_str(), type_name(value).c_str());
  return false;
}

PyObject* str_type() { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }
PyObject* bytes_type() { return reinterpret_cast<PyObject*>(&PyBytes_Type); }

PyObject* schema_(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"annotation", nullptr};
  PyObject* annotation;
  if (!parsed(args, kwargs, "O:_schema", names, &annotation)) return nullptr;
  auto compiled = schema::Schema::of(annotation, true);
  if (!compiled) return schema::raise(std::move(compiled.error()));
  auto made = schema::object(*std::move(compiled));
  if (!made) return schema::raise(std::move(made.error()));
  return made->release();
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"schema", "value", nullptr};
  PyObject *object, *value;
  if (!parsed(args, kwargs, "OO:_encode", names, &object, &value) ||
      !kind_of("_encode", "schema", object, schema::type())) {
    return nullptr;
  }
  const schema::Schema& s = *schema::held(object);
  auto written = schema::Schema::write(s, s.tree.root, value);
  if (!written) return schema::raise(std::move(written.error()));
  return bytes_of(*written).release();
}

PyObject* decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"schema", "data", nullptr};
  PyObject *object, *data;
  if (!parsed(args, kwargs, "OO:_decode", names, &object, &data) ||
      !kind_of("_decode", "schema", object, schema::type()) || !kind_of("_decode", "data", data, bytes_type())) {
    return nullptr;
  }
  const schema::Schema& s = *schema::held(object);
  const auto* start = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(data));
  core::ByteView bytes(start, static_cast<std::size_t>(PyBytes_Size(data)));
  auto read = schema::Schema::read(object, s.tree.root, bytes, facade::node_of(self));
  if (!read) return schema::raise(std::move(read.error()));
  return read->release();
}

PyObject* resolve(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"name", nullptr};
  PyObject* name;
  if (!parsed(args, kwargs, "O:_resolve", names, &name) || !kind_of("_resolve", "name", name, str_type())) {
    return nullptr;
  }
  auto n = utf8(name);
  if (!n) return nullptr;
  Node& node = *facade::node_of(self);
  if (!node.resolve(*n)) Py_RETURN_NONE;
  Object found = node.catalog.lock()->object(*n);
  return found ? found.release() : Py_NewRef(Py_None);
}

PyObject* chain(PyObject* self, PyObject*) {
  core::Chain links = facade::node_of(self)->chain();
  Object out = Object::steal(PyList_New(0));
  for (const core::chain::Link& link : links.links()) {
    Object t = out ? text(link.actor + "/" + link.key) : Object();
    if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* learn(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"actor", nullptr};
  PyObject* actor;
  if (!parsed(args, kwargs, "O:_learn", names, &actor)) return nullptr;
  auto definition = Definition::of(actor);
  if (!definition) return nullptr;
  facade::node_of(self)->learn(actor, definition);
  Py_RETURN_NONE;
}

PyObject* cancel(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"actor", "key", "reply_to", nullptr};
  PyObject *actor, *key, *reply_to;
  if (!parsed(args, kwargs, "OOO:_cancel", names, &actor, &key, &reply_to) ||
      !kind_of("_cancel", "key", key, str_type()) || !kind_of("_cancel", "reply_to", reply_to, refs::type())) {
    return nullptr;
  }
  auto definition = Definition::of(actor);
  auto k = definition ? utf8(key) : std::nullopt;
  if (!k) return nullptr;
  const refs::Ref* ref = refs::of(reply_to);
  if (ref->target && !facade::node_of(self)->cancelled(definition->name, *k, *ref->target)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* queued(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"actor", "key", nullptr};
  PyObject *actor, *key;
  if (!parsed(args, kwargs, "OO:_queued", names, &actor, &key) || !kind_of("_queued", "key", key, str_type())) {
    return nullptr;
  }
  auto definition = Definition::of(actor);
  auto k = definition ? utf8(key) : std::nullopt;
  if (!k) return nullptr;
  Object live = facade::node_of(self)->activation(definition->name, *k);
  if (!live) Py_RETURN_NONE;
  const std::size_t n = Activation::of(live.get()).state.lock()->mailbox.queue().size();
  return PyLong_FromSize_t(n);
}

PyObject* stored(PyObject* self, PyObject*) {
  Node& node = *facade::node_of(self);
  Object future = node.future();
  if (!future) return nullptr;
  if (auto clustered = node.cluster()) {
    Entered{std::move(clustered->joined), std::move(clustered->runtime)}.stored(future);
    return awaited::make(std::move(future)).release();
  }
  std::vector<core::LocalStore::Kept> kept = node.store()->kept();
  Object out = Object::steal(PyList_New(0));
  for (const auto& k : kept) {
    Object item = out ? Object::steal(Py_BuildValue("(s#s#O)", k.actor.data(), static_cast<Py_ssize_t>(k.actor.size()),
                                                    k.key.data(), static_cast<Py_ssize_t>(k.key.size()),
                                                    k.deleted ? Py_True : Py_False))
                      : Object();
    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
  }
  if (!call_method(future.get(), "set_result", out.get())) return nullptr;
  return awaited::make(std::move(future)).release();
}

PyObject* writes(PyObject* self, PyObject*) {
  PyObject* cls = writes_type();
  Object payloads = cls ? Object::steal(PyList_New(0)) : Object();
  if (!payloads) return nullptr;
  Object watcher = body::make<Watcher>(cls, payloads);
  if (!watcher) return nullptr;
  // The watcher put aside goes once the lock is released: letting it go may run Python code.
  Object previous = facade::node_of(self)->writes.replace(watcher);
  return watcher.release();
}

PyObject* payloads(PyObject* self, void*) { return Py_NewRef(body::record<Watcher>(self).payloads.get()); }

PyObject* fail_on_get(PyObject* self, void*) {
  std::optional<core::Bytes> value = body::record<Watcher>(self).fail_on.get();
  if (!value) Py_RETURN_NONE;
  return bytes_of(*value).release();
}

int fail_on_set(PyObject* self, PyObject* value, void*) {
  std::optional<core::Bytes> set;
  if (value == nullptr || value == Py_None) {
    // Cleared: the next write goes on whatever it holds.
  } else if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "fail_on is a str: give the page's bytes");
    return -1;
  } else {
    Object bytes = Object::steal(PyBytes_FromObject(value));
    if (!bytes) return -1;
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes.get()));
    set = core::Bytes(data, data + PyBytes_Size(bytes.get()));
  }
  body::record<Watcher>(self).fail_on.replace(std::move(set));
  return 0;
}

PyGetSetDef watcher_getset[] = {
    {"payloads", payloads, nullptr,
     "Every page written since this started watching, in the order they were written.", nullptr},
    {"fail_on", fail_on_get, fail_on_set, "A page whose write raises instead of happening, once.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot watcher_slots[] = {
    {Py_tp_doc, const_cast<char*>("The pages this node writes, for a test that has to see them.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Watcher>)},
    {Py_tp_getset, watcher_getset},
    {0, nullptr},
};

// Made only by `_writes`: the class has no constructor of its own.
PyType_Spec watcher_spec = {"vorel._vorel.Writes", sizeof(body::Of<Watcher>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, watcher_slots};

Once watcher_cell;

template <auto F>
PyCFunction cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef shared[] = {
    {"_schema", cfunction<schema_>(), METH_VARARGS | METH_KEYWORDS,
     "_schema($self, annotation)\n--\n\n`annotation` compiled in the canonical order a stored value is compared in."},
    {"_encode", cfunction<encode>(), METH_VARARGS | METH_KEYWORDS,
     "_encode($self, schema, value)\n--\n\n`value` as the bytes a collection stores: the value in the canonical order "
     "its schema was compiled in."},
    {"_decode", cfunction<decode>(), METH_VARARGS | METH_KEYWORDS,
     "_decode($self, schema, data)\n--\n\nThe value `data` holds, with every ref in it bound to the node of this "
     "system or client."},
    {"_resolve", cfunction<resolve>(), METH_VARARGS | METH_KEYWORDS,
     "_resolve($self, name)\n--\n\nThe type called `name`, imported from where it lives. Nothing when this process "
     "does not have it.\n\nA test hook, not part of the API."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef hosting[] = {
    {"_chain", chain, METH_NOARGS,
     "_chain($self)\n--\n\nThe bodies an `ask` made now would name as waiting for its answer, `actor/key` each, the "
     "one asking last.\n\nA test hook, not part of the API."},
    {"_learn", cfunction<learn>(), METH_VARARGS | METH_KEYWORDS,
     "_learn($self, actor)\n--\n\nMeet `actor` before the cluster names it, so this node runs it and not what the "
     "import would bring.\n\nA test hook, not part of the API."},
    {"_cancel", cfunction<cancel>(), METH_VARARGS | METH_KEYWORDS,
     "_cancel($self, actor, key, reply_to)\n--\n\nCancel the request answered at `reply_to`, as if the cancellation "
     "of its caller reached `(actor, key)` now.\n\nA test hook, not part of the API."},
    {"_queued", cfunction<queued>(), METH_VARARGS | METH_KEYWORDS,
     "_queued($self, actor, key)\n--\n\nHow many messages wait in the mailbox of `(actor, key)` on this node. Nothing "
     "when it has no activation here.\n\nA test hook, not part of the API."},
    {"_stored", stored, METH_NOARGS,
     "_stored($self)\n--\n\nEvery key whose state this node keeps, as `(actor, key, deleted)`: `deleted` says what it "
     "keeps is the\ntombstone of a deletion, which a replica holds until every other replica of the key has answered "
     "for it.\n\nA test hook, not part of the API."},
    {"_writes", writes, METH_NOARGS,
     "_writes($self)\n--\n\nWatch the pages this node writes from here on.\n\nA test hook, not part of the API."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* writes_type() {
  return watcher_cell.get([] { return PyType_FromSpec(&watcher_spec); });
}

bool watched(Node& node, const core::Pages& pages) {
  Object watcher = node.writes.get();
  if (!watcher) return true;
  Watcher& w = body::record<Watcher>(watcher.get());
  std::optional<core::Bytes> fail_on = w.fail_on.get();
  if (fail_on) {
    for (const auto& [name, bytes] : pages) {
      core::msgpack::Reader reader(core::ByteView(bytes.data(), bytes.size()));
      auto content = reader.read_bin();
      if (content && std::ranges::equal(*content, *fail_on)) {
        w.fail_on.replace(std::nullopt);
        PyErr_SetString(PyExc_ValueError, "value save failed");
        return false;
      }
    }
  }
  for (const auto& [name, bytes] : pages) {
    Object b = bytes_of(core::ByteView(bytes.data(), bytes.size()));
    if (!b || PyList_Append(w.payloads.get(), b.get()) < 0) return false;
  }
  return true;
}

}  // namespace vorel::py::hooks
