#include "py/schema/schema.hpp"

#include <cstdio>
#include <cstdlib>

#include "py/node/body.hpp"
#include "py/once.hpp"
#include "py/refs.hpp"
#include "py/schema/bare.hpp"
#include "py/schema/compile.hpp"
#include "py/schema/dump.hpp"
#include "py/schema/load.hpp"
#include "py/schema/read.hpp"

namespace vorel::py::schema {

namespace ir = core::schema::ir;

namespace {

Result<Object> interned(std::string_view s) {
  PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (o == nullptr) return raised();
  PyUnicode_InternInPlace(&o);
  return Object::steal(o);
}

// The names of every dataclass node's fields as str objects, made once so that writing reads
// attributes and reading calls constructors without making a str per field; and how the reader
// makes each class's instances.
Result<std::vector<Keys>> keys_of(const ir::Tree& tree, const std::vector<Object>& classes) {
  std::vector<Keys> all(tree.nodes.size());
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const ir::Node::Dataclass* d = dataclass(tree.nodes[i]);
    if (d == nullptr) continue;
    Keys& k = all[i];
    VOREL_TRY(tag, interned(d->name));
    k.tag = std::move(tag);
    k.all = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(d->fields.size())));
    if (!k.all) return raised();
    for (std::size_t f = 0; f < d->fields.size(); ++f) {
      VOREL_TRY(name, interned(d->fields[f].name));
      PyTuple_SetItem(k.all.get(), static_cast<Py_ssize_t>(f), Object(name).release());
      k.fields.push_back(std::move(name));
      core::msgpack::write_str(k.written.emplace_back(), d->fields[f].name);
    }
    VOREL_TRY(stored, bare::stores_fields(classes[d->cls].get(), k.fields));
    k.stored = stored;
    VOREL_TRY(read, attributes::Plan::of(classes[d->cls].get(), k.fields));
    k.read = std::move(read);
  }
  return all;
}

Schema& record(PyObject* self) { return body::record<Schema>(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const Schema& s = record(self);
  for (const Object& c : s.classes) Py_VISIT(c.get());
  for (const auto& [encode, decode] : s.codecs) {
    Py_VISIT(encode.get());
    Py_VISIT(decode.get());
  }
  const Values& v = s.values;
  for (const Object* o : {&v.datetime, &v.date, &v.time, &v.timedelta, &v.decimal, &v.uuid, &v.mapping, &v.timezone,
                          &v.epoch, &v.utc, &v.uuid_unknown, &v.moment_ordinal}) {
    Py_VISIT(o->get());
  }
  // A field's descriptor may be a property whose getter reaches back to the schema.
  for (const attributes::Plan* plan : {&v.moment_reading, &v.identifier_reading}) {
    for (const attributes::Way& way : plan->ways) Py_VISIT(way.descriptor.get());
  }
  for (const Keys& k : s.keys) {
    for (const attributes::Way& way : k.read.ways) Py_VISIT(way.descriptor.get());
  }
  return 0;
}

constexpr const char kDoc[] =
    "A compiled annotation: what a state, a message or a reply is written from and read into.\n\n"
    "Compiling walks the annotation once. From then on nothing is reflected again: a value is written straight to\n"
    "msgpack and read straight from it, with no structure in between.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    // No clear: the record is immutable while anything may still read by it. A cycle through a
    // schema (a class that holds a ref of its own schema) is broken by the ref, which clears.
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Schema>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Schema",
    sizeof(body::Of<Schema>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Once cell;

}  // namespace

Result<Schema> Schema::of(PyObject* annotation, bool sorted) {
  PyObject* ref = refs::type();
  if (ref == nullptr) return raised();
  auto in = Introspect::new_(Object::borrow(ref));
  if (!in) return std::unexpected(std::move(in.error()));
  return compiled(*in, annotation, sorted);
}

Result<Schema> Schema::compiled(const Introspect& in, PyObject* annotation, bool sorted) {
  Compiler compiler(in, sorted);
  auto root = compiler.compile(annotation, {}, {});
  if (!root) return std::unexpected(std::move(root.error()));

  std::vector<ir::Node> nodes;
  nodes.reserve(compiler.nodes.size());
  for (auto& slot : compiler.nodes) {
    if (!slot) return std::unexpected(Failure::schema(std::string(core::schema::error::kRecursive)));
    nodes.push_back(*std::move(slot));
  }
  auto tree = ir::Tree::new_(std::move(nodes), *root);
  if (!tree) return std::unexpected(Failure::schema(std::move(tree.error())));

  VOREL_TRY(names, Names::new_());
  Values values{in.datetime, in.date, in.time, in.timedelta, in.decimal, in.uuid, in.mapping, Object(), Object(),
                Object(), std::move(names)};
  Object module = import("datetime");
  if (!module) return raised();
  Object utc = attr(module.get(), "UTC");
  if (!utc) return raised();
  Object positional = Object::steal(Py_BuildValue("(iii)", 1970, 1, 1));
  Object keywords = Object::steal(PyDict_New());
  if (!positional || !keywords || PyDict_SetItemString(keywords.get(), "tzinfo", utc.get()) < 0) return raised();
  values.epoch = Object::steal(PyObject_Call(in.datetime.get(), positional.get(), keywords.get()));
  if (!values.epoch) return raised();
  values.utc = std::move(utc);
  values.timezone = attr(module.get(), "timezone");
  if (!values.timezone) return raised();
  VOREL_CHECK(values.choose_makers());
  VOREL_TRY(keys, keys_of(*tree, compiler.classes));

  return Schema{*std::move(tree), std::move(compiler.classes), std::move(compiler.codecs), std::move(values),
                std::move(keys)};
}

Result<Object> Schema::read(PyObject* schema, ir::Index node, core::ByteView bytes,
                            const std::shared_ptr<py::Node>& owner) {
  core::msgpack::Reader reader(bytes);
  Loader loader(schema, reader, owner);
  VOREL_TRY(value, loader.read(node));
  if (!reader.at_end()) return std::unexpected(Failure::schema(core::msgpack::Malformed::trailing().text()));
  return std::move(value);
}

Result<core::Bytes> Schema::write(const Schema& schema, ir::Index node, PyObject* value) {
  core::Bytes out;
  dump::Writer writer(schema);
  VOREL_CHECK(writer.write(node, value, out));
  return out;
}

Result<core::Pages> Schema::write_pages(const Schema& schema, PyObject* value) {
  const ir::Index root = schema.tree.root;
  const auto* d = schema.tree.at(root).as<ir::Node::Dataclass>();
  core::Pages pages;
  if (d == nullptr) {
    VOREL_TRY(bytes, write(schema, root, value));
    pages.emplace(".", std::move(bytes));
    return pages;
  }
  VOREL_TRY(ok, read::instance(value, schema.classes[d->cls].get()));
  if (!ok) return std::unexpected(dump::wrong(d->name, value));
  const Keys& keys = schema.keys[root];
  attributes::Reading reading(keys.read, schema.classes[d->cls].get(), keys.fields, value);
  for (std::size_t i = 0; i < d->fields.size(); ++i) {
    const ir::Field& field = d->fields[i];
    Object attribute = reading.get(i);
    if (!attribute) return raised();
    core::Bytes bytes;
    dump::Writer writer(schema);
    if (auto r = writer.write(field.node, attribute.get(), bytes); !r) {
      return std::unexpected(under(std::move(r.error()), field.name));
    }
    pages.emplace(field.name, std::move(bytes));
  }
  return pages;
}

PyObject* type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

Result<Object> object(Schema schema) {
  PyObject* t = type();
  if (t == nullptr) return raised();
  Object self = body::make<Schema>(t, std::move(schema));
  if (!self) return raised();
  return self;
}

const Schema* held(PyObject* o) {
  PyObject* t = type();
  if (t == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(t)) ? &record(o) : nullptr;
}

}  // namespace vorel::py::schema
