// A compiled annotation with everything that writing and reading a value by it need, and the
// Python class `Schema` that holds one.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "core/bytes.hpp"
#include "core/pages.hpp"
#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/attributes.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"
#include "py/schema/values.hpp"

namespace vorel::py {

class Node;

namespace schema {

// What a dataclass node writes and reads its fields with, made once with the schema: the names as
// str objects (attribute names and constructor keywords), and all of them as the keyword names
// of a call that passes every field.
struct Keys {
  Object tag;                  // the class's name as a str
  std::vector<Object> fields;  // one per field, in the node's order
  Object all;                  // tuple of `fields`
  std::vector<core::Bytes> written;  // each field's name as the writer writes it, a msgpack str
  // Whether an instance with every field given is made bare, its fields stored as the class's
  // generated __init__ would (bare::stores_fields); otherwise the class is called.
  bool stored = false;
  attributes::Plan read;  // how the writer reads the fields of an instance of the class
};

// Immutable once built; shared by reference by whatever writes or reads by it.
struct Schema {
  core::schema::ir::Tree tree;
  std::vector<Object> classes;                    // indexed by Path, Enum, Dataclass and Tagged nodes
  std::vector<std::pair<Object, Object>> codecs;  // (encode, decode), indexed by Opaque nodes
  Values values;
  std::vector<Keys> keys;  // indexed by node; filled for Dataclass and Tagged nodes only

  // Compiles one annotation with an introspection of its own.
  static Result<Schema> of(PyObject* annotation, bool sorted);
  // Compiles one annotation with the introspection of a larger compilation (an actor type's).
  // `sorted` makes frozensets and mappings write their elements in the order of their encodings.
  static Result<Schema> compiled(const Introspect& in, PyObject* annotation, bool sorted);

  // One value by the node from the whole of `bytes`. `schema` is a Python `Schema` object: the refs
  // in the value keep it as the schema of their messages, and are bound to `owner` (none: to no
  // system).
  static Result<Object> read(PyObject* schema, core::schema::ir::Index node, core::ByteView bytes,
                             const std::shared_ptr<py::Node>& owner);
  // The value by the node, with no reply target.
  static Result<core::Bytes> write(const Schema& schema, core::schema::ir::Index node, PyObject* value);
  // A state as the pages it is kept in: one per field of a dataclass root, else one named ".".
  static Result<core::Pages> write_pages(const Schema& schema, PyObject* value);
};

// The payload of a Dataclass node or of its Tagged copy; null for any other node.
inline const core::schema::ir::Node::Dataclass* dataclass(const core::schema::ir::Node& node) {
  if (const auto* t = node.as<core::schema::ir::Node::Tagged>()) return t;
  return node.as<core::schema::ir::Node::Dataclass>();
}

// The Python class "Schema" (borrowed, made once per process); null with the error set.
PyObject* type();
// A new Python `Schema` object holding the record.
Result<Object> object(Schema schema);
// The record a Python `Schema` object holds; null when the object is not one.
const Schema* held(PyObject* o);

}  // namespace schema
}  // namespace vorel::py
