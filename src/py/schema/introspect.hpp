// The one record through which the schema layer reads Python's type system: the typing objects
// that hints are tested against, fetched once per compilation and held for as long as it runs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "py/object.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema {

struct Introspect {
  // Built for one compilation with the module's `Ref` class (which the record then owns).
  static Result<Introspect> new_(Object ref_class);

  // typing.get_args of the hint, which must be a tuple.
  Result<std::vector<Object>> args(PyObject* hint) const;
  // typing.get_origin of the hint; None when it has none.
  Result<Object> origin(PyObject* hint) const;
  // typing.get_type_hints(cls, include_extras=True), which must be a dict.
  Result<Object> hints(PyObject* cls) const;
  // (name, required) per field in declaration order; required: no default and no factory.
  Result<std::vector<std::pair<std::string, bool>>> dataclass_fields(PyObject* cls) const;
  // The annotation of each parameter of an actor body, in order.
  Result<std::vector<Object>> parameters(PyObject* body) const;

  Object get_origin, get_args, get_type_hints;
  Object fields, is_dataclass, missing;
  Object literal, annotated;
  Object opaque;
  Object never, union_, union_type, type_var, type_alias_type;
  Object mapping;
  Object datetime, date, time, timedelta;
  Object decimal, uuid;
  Object pure_posix_path, pure_windows_path, path;
  Object enum_, flag;
  Object none_type, bool_, int_, float_, str_, bytes_, tuple, frozenset, list, dict, set;
  Object ellipsis;
  Object ref;
  Object signature;
};

}  // namespace vorel::py::schema
