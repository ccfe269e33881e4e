// The schema compiler: one Python type annotation becomes the node table of a schema, with the
// classes and the codecs its nodes point into. A compiler lives for one annotation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/schema/ir.hpp"
#include "py/object.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"

namespace vorel::py::schema {

namespace ir = core::schema::ir;

// Field names from the outermost type down to the hint being compiled.
using FieldPath = std::vector<std::string>;
// The type variables in force and the nodes they stand for; looked up by identity, first wins.
using Bindings = std::vector<std::pair<Object, ir::Index>>;

namespace compile {
// The refusal of a hint at a place.
Failure error(const FieldPath& path, std::string_view problem);
}  // namespace compile

class Compiler {
 public:
  Compiler(const Introspect& in, bool sorted) : in_(in), sorted_(sorted) {}
  Compiler(const Compiler&) = delete;
  Compiler& operator=(const Compiler&) = delete;

  Result<ir::Index> compile(PyObject* hint, const FieldPath& path, const Bindings& bindings);

  // An empty slot is a named type whose node is still being built.
  std::vector<std::optional<ir::Node>> nodes;
  std::vector<Object> classes;
  std::vector<std::pair<Object, Object>> codecs;  // (encode, decode) per Opaque node

 private:
  struct Memo {
    Object object;
    std::vector<ir::Index> arguments;
    ir::Index node;
  };
  class Nesting;

  Result<std::vector<ir::Index>> all(const std::vector<Object>& hints, const FieldPath& path, const Bindings& bindings);
  ir::Index push(ir::Node node);
  ir::Index class_(PyObject* cls);
  template <class Build>
  Result<ir::Index> shared(PyObject* object, std::vector<ir::Index> arguments, Build&& build);

  Result<ir::Index> variable(PyObject* hint, const FieldPath& path, const Bindings& bindings);
  Result<ir::Index> alias(PyObject* hint, const FieldPath& path);
  Result<ir::Index> generic_alias(PyObject* alias, const std::vector<Object>& arguments, const FieldPath& path,
                                  const Bindings& bindings);
  Result<ir::Index> annotated(PyObject* hint, const std::vector<Object>& arguments, const FieldPath& path,
                              const Bindings& bindings);
  Result<std::vector<Object>> hatches(const std::vector<Object>& metadata);
  Result<Object> bare(PyObject* hint);
  std::optional<ir::Node> leaf(PyObject* hint) const;
  bool path_class(PyObject* hint) const;
  Result<std::optional<std::vector<std::string>>> enumeration(PyObject* hint);
  Result<ir::Index> literal(PyObject* hint, const std::vector<Object>& values, const FieldPath& path);
  Result<ir::Index> union_(PyObject* hint, const FieldPath& path, const Bindings& bindings);
  Result<void> alternatives(PyObject* hint, const FieldPath& path, std::vector<Object>& aliases,
                            std::vector<Object>& out);
  Result<std::optional<ir::Node>> container(PyObject* origin, const std::vector<Object>& arguments,
                                            const FieldPath& path, const Bindings& bindings);
  Result<Object> dataclass_of(PyObject* hint);
  Result<Object> dataclass_of(PyObject* hint, PyObject* origin);
  Result<ir::Node> dataclass(PyObject* cls, const std::vector<ir::Index>& arguments, const FieldPath& path);
  Result<void> inherited(PyObject* cls, const FieldPath& path, Bindings& bindings);
  Result<ir::Index> refused(PyObject* hint, PyObject* origin, const std::vector<Object>& arguments,
                            const FieldPath& path);

  const Introspect& in_;
  bool sorted_;
  std::vector<Memo> memo_;
  int depth_ = 0;
};

}  // namespace vorel::py::schema
