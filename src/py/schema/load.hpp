// The value reader: MessagePack bytes read straight into Python values by a schema's tree, with
// no structure in between. It reads everything the writer writes, and a little more: an int
// where a float is expected, a float32, map entries in any order and keys it does not know.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/msgpack.hpp"
#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py {

class Node;

namespace schema {

class Loader {
 public:
  // `schema` is a Python `Schema` object: refs read from the payload keep it as the schema of their
  // messages and are bound to `node` (none: to no system).
  Loader(PyObject* schema, core::msgpack::Reader& reader, std::shared_ptr<py::Node> node);
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // The next value by the node. On success exactly that value has been consumed; whether bytes
  // follow is the caller's to check.
  Result<Object> read(core::schema::ir::Index node);

  // An instance of a Dataclass (or Tagged) node's class from one value per field in the node's
  // order, a null Object for a field that has none: such a field takes its default, or the build
  // fails when it has none.
  static Result<Object> build(const Schema& schema, core::schema::ir::Index node, std::span<Object> values);

 private:
  Result<Object> scalar(core::schema::ir::ScalarKind kind, core::msgpack::Kind family);
  Result<Object> literal(const core::schema::ir::Node::Literal& node, core::msgpack::Kind family);
  Result<std::pair<std::int64_t, std::int64_t>> pair(std::string_view name, core::msgpack::Kind family);
  Result<std::int64_t> int_(std::string_view name, core::msgpack::Kind family);
  Result<std::string_view> str(std::string_view expected, core::msgpack::Kind family);
  Result<Object> decimal(core::msgpack::Kind family);
  Result<Object> uuid(core::msgpack::Kind family);
  Result<Object> member(const core::schema::ir::Node::Enum& node, core::msgpack::Kind family);
  Result<Object> items(const core::schema::ir::Node::Collection& node, core::msgpack::Kind family);
  Result<Object> tuple(const core::schema::ir::Node::Tuple& node, core::msgpack::Kind family);
  Result<Object> mapping(const core::schema::ir::Node::Mapping& node, core::msgpack::Kind family);
  Result<Object> fields(core::schema::ir::Index node);
  Result<std::optional<std::string_view>> tag();
  Result<Object> tagged(core::schema::ir::Index node, core::msgpack::Kind family);
  Result<Object> union_(const core::schema::ir::Node::Union& node);
  Result<Object> reference(const core::schema::ir::Node::Ref& node, core::msgpack::Kind family);

  PyObject* object_;  // the Python Schema, borrowed from the caller for the read
  const Schema& schema_;
  core::msgpack::Reader& reader_;
  std::shared_ptr<py::Node> node_;
  int depth_ = 0;
};

}  // namespace schema
}  // namespace vorel::py
