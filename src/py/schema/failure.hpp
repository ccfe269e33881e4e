// The error of every schema operation: a schema text (raised as SchemaError), a type text
// (raised as TypeError) or a Python exception passed through as it was raised.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/msgpack.hpp"
#include "core/schema/error.hpp"
#include "core/try.hpp"
#include "py/object.hpp"

namespace vorel::py::schema {

class Failure {
 public:
  enum class Kind : std::uint8_t { Schema, Type, Raised };

  static Failure schema(std::string text) { return Failure(Kind::Schema, std::move(text), Object()); }
  static Failure schema(core::schema::error::SchemaError error) { return schema(std::move(error.text)); }
  // A payload that does not read is a schema failure with the reader's text, so that a step of a
  // reader hands it up as it is.
  Failure(core::msgpack::Malformed malformed) : Failure(Kind::Schema, malformed.text(), Object()) {}
  static Failure type(std::string text) { return Failure(Kind::Type, std::move(text), Object()); }
  // Takes the interpreter's current exception.
  static Failure raised();

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  PyObject* exception() const { return exception_.get(); }

 private:
  Failure(Kind kind, std::string text, Object exception)
      : kind_(kind), text_(std::move(text)), exception_(std::move(exception)) {}

  Kind kind_;
  std::string text_;
  Object exception_;
};

template <class T>
using Result = std::expected<T, Failure>;

// For `return raised();` where a Python call has just failed.
inline std::unexpected<Failure> raised() { return std::unexpected(Failure::raised()); }

// A failure inside a named part (a field, a page) reported for the whole: a schema text gains the
// name in front; type texts and passed-through exceptions stay as they are.
Failure under(Failure failure, std::string_view name);

// Makes the failure the interpreter's current exception; returns nullptr for `return raise(...)`.
PyObject* raise(Failure failure);

}  // namespace vorel::py::schema
