// The value writer: a Python value appended to a byte buffer as MessagePack by a schema's tree,
// with no structure in between; and how a value chooses what it is written by (the test of a
// value against a node, the choice of a union's alternative).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"
#include "core/node.hpp"
#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py::schema::dump {

// How many levels of containers and dataclasses a value may nest, written or read: deeper values
// are refused before they could exhaust the thread's stack.
inline constexpr int kDeepest = 1000;
Failure too_deep();

// Counts the levels of one write or read for the scope of one value.
class Nesting {
 public:
  explicit Nesting(int& depth) : depth_(depth) { ++depth_; }
  ~Nesting() { --depth_; }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  bool too_deep() const { return depth_ > kDeepest; }

 private:
  int& depth_;
};

// The __qualname__ of the value's type: how refusals name what was found.
Result<std::string> named(PyObject* value);

// "expected {}, got {}" with the type name of the value; the failure to read that name instead
// when it cannot be read.
Failure wrong(std::string_view expected, PyObject* value);

// repr() of the value, as refusals show it.
Result<std::string> repr_of(PyObject* value);

// The repr of the tuple of a literal's values, in the node's order.
Result<std::string> literals(const core::schema::ir::Node::Literal& node);

// The target in its wire form: ["e", actor, key] or ["r", address or nil, incarnation, id].
void target(core::Bytes& out, const core::Target& target);

// The position of the first of the literal's values that the value is: an exact bool of the same
// truth, an exact int equal to it, an exact str of the same UTF-8 bytes. None when it is none.
Result<std::optional<std::size_t>> literal(const core::schema::ir::Node::Literal& node, PyObject* value);

// Whether the value has the Python type the node writes. A literal matches only the values it
// writes, so a union chooses the same alternative for a value whatever order it lists them in.
Result<bool> matches(const Schema& schema, core::schema::ir::Index node, PyObject* value);

struct Choice {
  core::schema::ir::Index node;
  bool tagged;  // a dataclass entry, written as [name, map]
};

// A union's alternative for the value: the dataclass entry named by the value's exact type, else
// the first enumeration that matches, else the first alternative that matches; none when no
// alternative takes the value.
Result<std::optional<Choice>> chosen(const Schema& schema, const core::schema::ir::Node::Union& node,
                                     PyObject* value);

// Writes values by one schema for one caller. With a reply target (an ask's message), the first
// dataclass entered is the message, and its `reply_to` field of a ref type is written as that
// target whatever the attribute holds.
class Writer {
 public:
  explicit Writer(const Schema& schema, std::optional<core::Target> reply_target = std::nullopt)
      : schema_(schema), reply_target_(std::move(reply_target)) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Appends the encoding of the value by the node; after a failure `out` holds a partial
  // encoding, which the caller discards.
  Result<void> write(core::schema::ir::Index node, PyObject* value, core::Bytes& out);
  // The map of a dataclass value by a Dataclass or Tagged node, as [name, map] when `tag` is set.
  Result<void> fields(core::schema::ir::Index node, PyObject* value, bool tag, core::Bytes& out);

  bool filled = false;                 // the reply target went into a `reply_to` field
  core::schema::ir::Index answer = 0;  // once filled: the node the answer is read by
  bool entered = false;                // a dataclass was entered while holding a reply target

 private:
  using Out = core::msgpack::Appender;
  Result<void> put(core::schema::ir::Index node, PyObject* value, Out& out);
  // A value that holds others, one level deeper. Out of line, so that `put` writes the values that
  // hold none with no frame of its own.
  [[gnu::noinline]] Result<void> nested(core::schema::ir::Index node, const core::schema::ir::Node& kind,
                                        PyObject* value, Out& out);
  Result<void> fields(core::schema::ir::Index node, PyObject* value, bool tag, Out& out);
  Result<void> scalar(core::schema::ir::ScalarKind kind, PyObject* value, Out& out);
  Result<void> literal(const core::schema::ir::Node::Literal& node, PyObject* value, Out& out);
  Result<void> datetime(PyObject* value, Out& out);
  Result<void> time(PyObject* value, Out& out);
  Result<void> collection(const core::schema::ir::Node::Collection& node, PyObject* value, Out& out);
  Result<void> tuple(const core::schema::ir::Node::Tuple& node, PyObject* value, Out& out);
  Result<void> mapping(const core::schema::ir::Node::Mapping& node, PyObject* value, Out& out);
  Result<void> pair(const core::schema::ir::Node::Mapping& node, PyObject* key, PyObject* value, Out& out);
  Result<void> union_(const core::schema::ir::Node::Union& node, PyObject* value, Out& out);

  const Schema& schema_;
  std::optional<core::Target> reply_target_;
  int depth_ = 0;
};

}  // namespace vorel::py::schema::dump
