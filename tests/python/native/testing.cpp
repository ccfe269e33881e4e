// The test hooks of the schema layer: a second module, `_vorel_testing`, built into the same
// binary as `_vorel` in test builds only, so that it shares the module's classes. The tests load
// it from the module's file (tests/python/conftest.py); `_vorel` itself gains no attribute.
#include <cstring>
#include <string>
#include <variant>

#include "core/schema/ir.hpp"
#include "hooks.hpp"
#include "inbox_hooks.hpp"
#include "py/object.hpp"
#include "py/refs.hpp"
#include "py/schema/dump.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"
#include "py/schema/naming.hpp"
#include "py/schema/load.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py::testing {
namespace {

namespace ir = core::schema::ir;
using schema::Failure;
using schema::Introspect;
using schema::Result;

// Builds a Python object with Py_BuildValue; the format decides the shape.
template <class... A>
Object build(const char* format, A... args) {
  return Object::steal(Py_BuildValue(format, args...));
}

Object texts(const std::vector<std::string>& items) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; out && i < items.size(); ++i) {
    Object t = text(items[i]);
    if (!t) return t;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  return out;
}

Object indexes(const std::vector<ir::Index>& items) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; out && i < items.size(); ++i) {
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLong(items[i]));
  }
  return out;
}

Object literals(const std::vector<ir::Literal>& values) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; out && i < values.size(); ++i) {
    PyObject* v = nullptr;
    if (const bool* b = std::get_if<bool>(&values[i].value)) {
      v = PyBool_FromLong(*b);
    } else if (const auto* n = std::get_if<std::int64_t>(&values[i].value)) {
      v = PyLong_FromLongLong(*n);
    } else {
      v = text(std::get<std::string>(values[i].value)).release();
    }
    if (v == nullptr) return Object();
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), v);
  }
  return out;
}

Object record(const char* kind, const ir::Node::Dataclass& d) {
  Object fields = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(d.fields.size())));
  for (std::size_t i = 0; fields && i < d.fields.size(); ++i) {
    const ir::Field& f = d.fields[i];
    Object item = build("(s#kO)", f.name.data(), static_cast<Py_ssize_t>(f.name.size()), f.node,
                        f.required ? Py_True : Py_False);
    if (!item) return item;
    PyTuple_SetItem(fields.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  if (!fields) return fields;
  return build("(ss#Ok)", kind, d.name.data(), static_cast<Py_ssize_t>(d.name.size()), fields.get(), d.cls);
}

// One node as a tuple: its kind's name, then its payload in order.
Object node(const ir::Node& n) {
  using N = ir::Node;
  const char* kind = ir::kind_name(n.kind());
  switch (n.kind()) {
    case ir::Kind::Scalar:
      return build("(ss)", kind, ir::scalar_name(n.as<N::Scalar>()->scalar));
    case ir::Kind::Literal: {
      Object values = literals(n.as<N::Literal>()->values);
      return values ? build("(sO)", kind, values.get()) : values;
    }
    case ir::Kind::Path:
      return build("(sk)", kind, n.as<N::Path>()->cls);
    case ir::Kind::Enum: {
      const auto* e = n.as<N::Enum>();
      Object members = texts(e->members);
      if (!members) return members;
      return build("(ss#Ok)", kind, e->name.data(), static_cast<Py_ssize_t>(e->name.size()), members.get(), e->cls);
    }
    case ir::Kind::Opaque: {
      const auto* o = n.as<N::Opaque>();
      return build("(ss#k)", kind, o->name.data(), static_cast<Py_ssize_t>(o->name.size()), o->codec);
    }
    case ir::Kind::Collection: {
      const auto* c = n.as<N::Collection>();
      return build("(sOOk)", kind, c->set ? Py_True : Py_False, c->sorted ? Py_True : Py_False, c->item);
    }
    case ir::Kind::Tuple: {
      Object items = indexes(n.as<N::Tuple>()->items);
      return items ? build("(sO)", kind, items.get()) : items;
    }
    case ir::Kind::Mapping: {
      const auto* m = n.as<N::Mapping>();
      return build("(sOkk)", kind, m->sorted ? Py_True : Py_False, m->key, m->value);
    }
    case ir::Kind::Dataclass:
      return record(kind, *n.as<N::Dataclass>());
    case ir::Kind::Tagged:
      return record(kind, *n.as<N::Tagged>());
    case ir::Kind::Union: {
      const auto* u = n.as<N::Union>();
      Object alternatives = indexes(u->alternatives);
      Object tagged = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(u->tagged.size())));
      for (std::size_t i = 0; tagged && i < u->tagged.size(); ++i) {
        const auto& [tag, index] = u->tagged[i];
        Object pair = build("(s#k)", tag.data(), static_cast<Py_ssize_t>(tag.size()), index);
        if (!pair) return pair;
        PyTuple_SetItem(tagged.get(), static_cast<Py_ssize_t>(i), pair.release());
      }
      if (!alternatives || !tagged) return Object();
      return build("(sOO)", kind, alternatives.get(), tagged.get());
    }
    case ir::Kind::Ref:
      return build("(sk)", kind, n.as<N::Ref>()->message);
    case ir::Kind::Alias:
      return build("(sk)", kind, n.as<N::Alias>()->target);
    default:
      return build("(s)", kind);
  }
}

Object list_of(std::size_t n, auto&& item) {
  Object out = Object::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; out && i < n; ++i) {
    Object o = item(i);
    if (!o) return o;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), o.release());
  }
  return out;
}

// The schema of the arguments (annotation, /, sorted=False); none with the exception set.
std::optional<schema::Schema> compiled_of(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "sorted", nullptr};
  PyObject* annotation = nullptr;
  int sorted = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p", const_cast<char**>(keywords), &annotation, &sorted)) {
    return std::nullopt;
  }
  auto compiled = schema::Schema::of(annotation, sorted != 0);
  if (!compiled) {
    schema::raise(std::move(compiled.error()));
    return std::nullopt;
  }
  return *std::move(compiled);
}

// compile(annotation, /, sorted=False): the schema's tables as plain Python values, or the failure raised.
PyObject* compile(PyObject*, PyObject* args, PyObject* kwargs) {
  auto compiled = compiled_of(args, kwargs);
  if (!compiled) return nullptr;
  const schema::Schema& s = *compiled;
  Object nodes = list_of(s.tree.nodes.size(), [&](std::size_t i) { return node(s.tree.nodes[i]); });
  Object kinds = list_of(s.tree.kinds.size(), [&](std::size_t i) { return Object::steal(PyLong_FromLong(s.tree.kinds[i])); });
  Object classes = list_of(s.classes.size(), [&](std::size_t i) { return s.classes[i]; });
  Object codecs = list_of(s.codecs.size(), [&](std::size_t i) {
    return build("(OO)", s.codecs[i].first.get(), s.codecs[i].second.get());
  });
  if (!nodes || !kinds || !classes || !codecs) return nullptr;
  const schema::Values& v = s.values;
  Object values = build("{sOsOsOsOsOsOsOsOsO}", "datetime", v.datetime.get(), "date", v.date.get(), "time",
                        v.time.get(), "timedelta", v.timedelta.get(), "Decimal", v.decimal.get(), "UUID",
                        v.uuid.get(), "Mapping", v.mapping.get(), "timezone", v.timezone.get(), "epoch",
                        v.epoch.get());
  if (!values) return nullptr;
  return build("{sOsOsksksOsOsO}", "nodes", nodes.get(), "kinds", kinds.get(), "root", s.tree.root, "tagged_root",
               s.tree.tagged_root, "classes", classes.get(), "codecs", codecs.get(), "values", values.get())
      .release();
}

Result<Introspect> introspect() {
  PyObject* ref = refs::type();
  if (ref == nullptr) return schema::raised();
  return Introspect::new_(Object::borrow(ref));
}

template <class T>
PyObject* done(Result<T> r, auto&& convert) {
  if (!r) return schema::raise(std::move(r.error()));
  return convert(*r).release();
}

PyObject* name(PyObject*, PyObject* hint) {
  auto in = introspect();
  if (!in) return schema::raise(std::move(in.error()));
  return done(schema::naming::name(*in, hint), [](const std::string& s) { return text(s); });
}

// replacement(refused, args): the suggestion for a refused type, or None.
PyObject* replacement(PyObject*, PyObject* args) {
  PyObject* refused = nullptr;
  PyObject* arguments = nullptr;
  if (!PyArg_ParseTuple(args, "OO!", &refused, &PyTuple_Type, &arguments)) return nullptr;
  auto in = introspect();
  if (!in) return schema::raise(std::move(in.error()));
  std::vector<Object> items;
  for (Py_ssize_t i = 0; i < PyTuple_Size(arguments); ++i) items.push_back(Object::borrow(PyTuple_GetItem(arguments, i)));
  return done(schema::naming::replacement(*in, refused, items), [](const std::optional<std::string>& s) {
    return s ? text(*s) : Object::borrow(Py_None);
  });
}

PyObject* fields(PyObject*, PyObject* cls) {
  auto in = introspect();
  if (!in) return schema::raise(std::move(in.error()));
  return done(in->dataclass_fields(cls), [](const std::vector<std::pair<std::string, bool>>& all) {
    return list_of(all.size(), [&](std::size_t i) {
      return build("(s#O)", all[i].first.data(), static_cast<Py_ssize_t>(all[i].first.size()),
                   all[i].second ? Py_True : Py_False);
    });
  });
}

PyObject* objects(Result<std::vector<Object>> r) {
  return done(std::move(r), [](const std::vector<Object>& all) { return list_of(all.size(), [&](std::size_t i) { return all[i]; }); });
}

PyObject* parameters(PyObject*, PyObject* body) {
  auto in = introspect();
  if (!in) return schema::raise(std::move(in.error()));
  return objects(in->parameters(body));
}

PyObject* arguments(PyObject*, PyObject* hint) {
  auto in = introspect();
  if (!in) return schema::raise(std::move(in.error()));
  return objects(in->args(hint));
}

// A target given as ("e", actor, key) or ("r", address or None, incarnation of 16 bytes, ask id);
// false with the error set when it is neither.
bool target_of(PyObject* target, core::Target& out) {
  const char* tag = nullptr;
  PyObject* a = nullptr;
  PyObject* b = nullptr;
  PyObject* c = nullptr;
  if (!PyArg_ParseTuple(target, "s|OOO", &tag, &a, &b, &c)) return false;
  if (std::strcmp(tag, "e") == 0 && a && b && !c) {
    auto actor = utf8(a);
    auto key = actor ? utf8(b) : std::nullopt;
    if (!key) return false;
    out = core::Target::entity(*actor, *key);
    return true;
  }
  if (std::strcmp(tag, "r") == 0 && c) {
    core::NodeId node;
    if (a != Py_None) {
      auto address = utf8(a);
      if (!address) return false;
      node.address = *address;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b, &data, &size) < 0) return false;
    if (size != 16) {
      PyErr_SetString(PyExc_ValueError, "an incarnation has 16 bytes");
      return false;
    }
    std::memcpy(node.incarnation.data(), data, 16);
    long long id = PyLong_AsLongLong(c);
    if (id == -1 && PyErr_Occurred()) return false;
    out = core::Target::reply(std::move(node), id);
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "a target is None, (\"e\", actor, key) or (\"r\", address, incarnation, id)");
  return false;
}

// ref(target=None, /): a ref bound to no system.
PyObject* ref(PyObject*, PyObject* args) {
  PyObject* target = Py_None;
  if (!PyArg_ParseTuple(args, "|O", &target)) return nullptr;
  refs::Ref r;
  r.schema = Object::borrow(Py_None);
  if (target != Py_None) {
    core::Target t;
    if (!target_of(target, t)) return nullptr;
    r.target = std::move(t);
  }
  return refs::make(std::move(r)).release();
}

// ref_parts(ref, /): what a ref carries besides its target: (schema, messages, bound to a node).
PyObject* ref_parts(PyObject*, PyObject* o) {
  const refs::Ref* r = refs::of(o);
  if (r == nullptr) {
    PyErr_SetString(PyExc_TypeError, "not a Ref");
    return nullptr;
  }
  return build("(OkO)", r->schema ? r->schema.get() : Py_None, r->messages, r->node ? Py_True : Py_False).release();
}

// schema(annotation, /, sorted=False): the Python Schema object of the annotation.
PyObject* schema_object(PyObject*, PyObject* args, PyObject* kwargs) {
  auto compiled = compiled_of(args, kwargs);
  if (!compiled) return nullptr;
  return done(schema::object(*std::move(compiled)), [](Object& o) { return o; });
}

const schema::Schema* record(PyObject* o) {
  const schema::Schema* s = schema::held(o);
  if (s == nullptr) PyErr_SetString(PyExc_TypeError, "not a Schema");
  return s;
}

ir::Index start(const schema::Schema& s, int tagged) { return tagged ? s.tree.tagged_root : s.tree.root; }

// The arguments (schema, value, /, tagged=False) of the hooks that the bench calls in a loop: taken
// without building a tuple, so the hook adds little to what it measures.
bool arguments_of(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& first,
                  PyObject*& second, bool& tagged) {
  PyObject* flag = nargs == 3 ? args[2] : nullptr;
  const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (flag != nullptr || PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, i), "tagged") != 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes (schema, value, /, tagged=False)", name);
      return false;
    }
    flag = args[nargs + i];
  }
  if (nargs != 2 && nargs != 3) {
    PyErr_Format(PyExc_TypeError, "%s() takes (schema, value, /, tagged=False)", name);
    return false;
  }
  first = args[0];
  second = args[1];
  const int truth = flag ? PyObject_IsTrue(flag) : 0;
  if (truth < 0) return false;
  tagged = truth == 1;
  return true;
}

// encode(schema, value, /, tagged=False): the value's bytes from the root or the tagged root.
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* object = nullptr;
  PyObject* value = nullptr;
  bool tagged = false;
  if (!arguments_of("encode", args, nargs, kwnames, object, value, tagged)) return nullptr;
  const schema::Schema* s = record(object);
  if (s == nullptr) return nullptr;
  return done(schema::Schema::write(*s, start(*s, tagged), value), bytes_of);
}

// ask(schema, value, target, /): an ask's message written from the tagged root with its reply
// target: (bytes, filled, answer node).
PyObject* ask(PyObject*, PyObject* args) {
  PyObject* object = nullptr;
  PyObject* value = nullptr;
  PyObject* target = nullptr;
  if (!PyArg_ParseTuple(args, "OOO", &object, &value, &target)) return nullptr;
  const schema::Schema* s = record(object);
  core::Target t;
  if (s == nullptr || !target_of(target, t)) return nullptr;
  schema::dump::Writer writer(*s, std::move(t));
  core::Bytes out;
  if (auto r = writer.write(s->tree.tagged_root, value, out); !r) return schema::raise(std::move(r.error()));
  Object data = bytes_of(out);
  if (!data) return nullptr;
  return build("(OOk)", data.get(), writer.filled ? Py_True : Py_False, writer.answer).release();
}

// decode(schema, data, /, tagged=False): the value the bytes hold, its refs bound to no system.
PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* object = nullptr;
  PyObject* data = nullptr;
  bool tagged = false;
  if (!arguments_of("decode", args, nargs, kwnames, object, data, tagged)) return nullptr;
  const schema::Schema* s = record(object);
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (s == nullptr || PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
  // Read from a copy of exactly the payload's size, so a read past its end is caught by the sanitizers.
  std::vector<std::uint8_t> payload(bytes, bytes + size);
  return done(schema::Schema::read(object, start(*s, tagged), core::ByteView(payload.data(), payload.size()), nullptr),
              [](Object& o) { return o; });
}

// pages(schema, value, /): the state's pages as a dict of name to bytes, in the order kept.
PyObject* pages(PyObject*, PyObject* args) {
  PyObject* object = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &object, &value)) return nullptr;
  const schema::Schema* s = record(object);
  if (s == nullptr) return nullptr;
  return done(schema::Schema::write_pages(*s, value), [](const core::Pages& all) {
    Object out = Object::steal(PyDict_New());
    for (const auto& [name, bytes] : all) {
      Object b = bytes_of(bytes);
      if (!out || !b || PyDict_SetItemString(out.get(), name.c_str(), b.get()) < 0) return Object();
    }
    return out;
  });
}

// chosen(annotation, value, /): which alternative of the union annotation the value is written
// by, as ("plain", position) or ("tagged", position); None when no alternative takes it.
PyObject* chosen(PyObject*, PyObject* args) {
  PyObject* annotation = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &annotation, &value)) return nullptr;
  auto compiled = schema::Schema::of(annotation, false);
  if (!compiled) return schema::raise(std::move(compiled.error()));
  const auto* u = compiled->tree.at(compiled->tree.root).as<ir::Node::Union>();
  if (u == nullptr) {
    PyErr_SetString(PyExc_TypeError, "the annotation is not a union");
    return nullptr;
  }
  auto choice = schema::dump::chosen(*compiled, *u, value);
  if (!choice) return schema::raise(std::move(choice.error()));
  if (!*choice) Py_RETURN_NONE;
  std::size_t position = 0;
  if ((*choice)->tagged) {
    while (u->tagged[position].second != (*choice)->node) ++position;
  } else {
    while (u->alternatives[position] != (*choice)->node) ++position;
  }
  return build("(sn)", (*choice)->tagged ? "tagged" : "plain", static_cast<Py_ssize_t>(position)).release();
}

PyMethodDef methods[] = {
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile)), METH_VARARGS | METH_KEYWORDS,
     "compile(annotation, /, sorted=False)\n--\n\nThe compiled schema's tables as plain Python values."},
    {"name", name, METH_O, "name(hint, /)\n--\n\nThe hint named as a programmer writes it."},
    {"replacement", replacement, METH_VARARGS, "replacement(refused, args, /)\n--\n\nWhat to write instead, or None."},
    {"fields", fields, METH_O, "fields(cls, /)\n--\n\n(name, required) per dataclass field."},
    {"parameters", parameters, METH_O, "parameters(body, /)\n--\n\nThe annotations of a body's parameters."},
    {"args", arguments, METH_O, "args(hint, /)\n--\n\nThe arguments of a hint."},
    {"chosen", chosen, METH_VARARGS, "chosen(annotation, value, /)\n--\n\nThe union alternative a value is written by."},
    {"ref", ref, METH_VARARGS, "ref(target=None, /)\n--\n\nA ref bound to no system."},
    {"ref_parts", ref_parts, METH_O, "ref_parts(ref, /)\n--\n\n(schema, messages, bound) of a ref."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema_object)), METH_VARARGS | METH_KEYWORDS,
     "schema(annotation, /, sorted=False)\n--\n\nThe Schema object of the annotation."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL | METH_KEYWORDS,
     "encode(schema, value, /, tagged=False)\n--\n\nThe value's bytes by the schema."},
    {"ask", ask, METH_VARARGS, "ask(schema, value, target, /)\n--\n\n(bytes, filled, answer) of an ask's message."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL | METH_KEYWORDS,
     "decode(schema, data, /, tagged=False)\n--\n\nThe value the bytes hold."},
    {"pages", pages, METH_VARARGS, "pages(schema, value, /)\n--\n\nThe state's pages."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_node_hooks)},
    {Py_mod_exec, reinterpret_cast<void*>(add_inbox_hooks)},
    {Py_mod_exec, reinterpret_cast<void*>(add_native_hooks)},
    {Py_mod_exec, reinterpret_cast<void*>(add_observe_hooks)},
    {Py_mod_exec, reinterpret_cast<void*>(add_entered_hooks)},
    {Py_mod_exec, reinterpret_cast<void*>(add_store_hooks)},
    // It shares the classes of `_vorel`, which supports one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_vorel_testing", "Test hooks of the core, for the Python test suite.", 0, methods, slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorel::py::testing

PyMODINIT_FUNC PyInit__vorel_testing() { return PyModuleDef_Init(&vorel::py::testing::definition); }
