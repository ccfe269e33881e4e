#include "py/schema/introspect.hpp"

#include <array>

#include "py/schema/read.hpp"

namespace vorel::py::schema {
namespace {

struct Fetch {
  const char* module;
  const char* name;
  Object Introspect::*member;
  bool is_class;  // construction fails when the object is not a class
};

// In the order of construction: the first failure is the one reported.
constexpr Fetch kFetches[] = {
    {"typing", "get_origin", &Introspect::get_origin, false},
    {"typing", "get_args", &Introspect::get_args, false},
    {"typing", "get_type_hints", &Introspect::get_type_hints, false},
    {"dataclasses", "fields", &Introspect::fields, false},
    {"dataclasses", "is_dataclass", &Introspect::is_dataclass, false},
    {"dataclasses", "MISSING", &Introspect::missing, false},
    {"typing", "Literal", &Introspect::literal, false},
    {"typing", "Annotated", &Introspect::annotated, false},
    {"vorel", "Opaque", &Introspect::opaque, true},
    {"typing", "Never", &Introspect::never, false},
    {"typing", "Union", &Introspect::union_, false},
    {"types", "UnionType", &Introspect::union_type, false},
    {"typing", "TypeVar", &Introspect::type_var, true},
    {"typing", "TypeAliasType", &Introspect::type_alias_type, true},
    {"collections.abc", "Mapping", &Introspect::mapping, false},
    {"datetime", "datetime", &Introspect::datetime, true},
    {"datetime", "date", &Introspect::date, true},
    {"datetime", "time", &Introspect::time, true},
    {"datetime", "timedelta", &Introspect::timedelta, true},
    {"decimal", "Decimal", &Introspect::decimal, true},
    {"uuid", "UUID", &Introspect::uuid, true},
    {"pathlib", "PurePosixPath", &Introspect::pure_posix_path, true},
    {"pathlib", "PureWindowsPath", &Introspect::pure_windows_path, true},
    {"pathlib", "Path", &Introspect::path, true},
    {"enum", "Enum", &Introspect::enum_, true},
    {"enum", "Flag", &Introspect::flag, true},
    {"types", "NoneType", &Introspect::none_type, true},
    {"builtins", "bool", &Introspect::bool_, true},
    {"builtins", "int", &Introspect::int_, true},
    {"builtins", "float", &Introspect::float_, true},
    {"builtins", "str", &Introspect::str_, true},
    {"builtins", "bytes", &Introspect::bytes_, true},
    {"builtins", "tuple", &Introspect::tuple, true},
    {"builtins", "frozenset", &Introspect::frozenset, true},
    {"builtins", "list", &Introspect::list, true},
    {"builtins", "dict", &Introspect::dict, true},
    {"builtins", "set", &Introspect::set, true},
    {"builtins", "Ellipsis", &Introspect::ellipsis, false},
    {"inspect", "signature", &Introspect::signature, false},
};

// Imported before anything is fetched; the others are imported where they are first needed.
constexpr const char* kFirstImports[] = {"typing", "dataclasses", "types", "builtins", "datetime", "enum", "pathlib"};

using read::items;

}  // namespace

Result<Introspect> Introspect::new_(Object ref_class) {
  Introspect in;
  in.ref = std::move(ref_class);
  for (const char* module : kFirstImports) {
    if (!import(module)) return raised();
  }
  for (const Fetch& f : kFetches) {
    Object module = import(f.module);
    if (!module) return raised();
    Object value = attr(module.get(), f.name);
    if (!value) return raised();
    if (f.is_class && !PyType_Check(value.get())) {
      PyErr_Format(PyExc_TypeError, "%s.%s is not a class", f.module, f.name);
      return raised();
    }
    in.*f.member = std::move(value);
  }
  return in;
}

Result<Object> Introspect::origin(PyObject* hint) const {
  Object o = call(get_origin.get(), hint);
  if (!o) return raised();
  return o;
}

Result<std::vector<Object>> Introspect::args(PyObject* hint) const {
  Object result = call(get_args.get(), hint);
  if (!result) return raised();
  if (!PyTuple_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError, "typing.get_args did not return a tuple");
    return raised();
  }
  const Py_ssize_t n = PyTuple_Size(result.get());
  std::vector<Object> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(Object::borrow(PyTuple_GetItem(result.get(), i)));
  return out;
}

Result<Object> Introspect::hints(PyObject* cls) const {
  Object positional = Object::steal(PyTuple_Pack(1, cls));
  Object keywords = Object::steal(PyDict_New());
  if (!positional || !keywords || PyDict_SetItemString(keywords.get(), "include_extras", Py_True) < 0) return raised();
  Object result = Object::steal(PyObject_Call(get_type_hints.get(), positional.get(), keywords.get()));
  if (!result) return raised();
  if (!PyDict_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError, "typing.get_type_hints did not return a dict");
    return raised();
  }
  return result;
}

Result<std::vector<std::pair<std::string, bool>>> Introspect::dataclass_fields(PyObject* cls) const {
  Object all = call(fields.get(), cls);
  if (!all) return raised();
  auto each = items(all.get());
  if (!each) return std::unexpected(std::move(each.error()));
  std::vector<std::pair<std::string, bool>> out;
  for (const Object& field : *each) {
    Object name = attr(field.get(), "name");
    if (!name) return raised();
    auto text = utf8(name.get());
    if (!text) return raised();
    Object dflt = attr(field.get(), "default");
    if (!dflt) return raised();
    Object factory = attr(field.get(), "default_factory");
    if (!factory) return raised();
    out.emplace_back(std::move(*text), dflt.get() == missing.get() && factory.get() == missing.get());
  }
  return out;
}

Result<std::vector<Object>> Introspect::parameters(PyObject* body) const {
  Object positional = Object::steal(PyTuple_Pack(1, body));
  Object keywords = Object::steal(PyDict_New());
  if (!positional || !keywords || PyDict_SetItemString(keywords.get(), "eval_str", Py_True) < 0) return raised();
  Object sig = Object::steal(PyObject_Call(signature.get(), positional.get(), keywords.get()));
  if (!sig) return raised();
  Object params = attr(sig.get(), "parameters");
  if (!params) return raised();
  Object values = call_method(params.get(), "values");
  if (!values) return raised();
  auto each = items(values.get());
  if (!each) return std::unexpected(std::move(each.error()));
  std::vector<Object> out;
  for (const Object& p : *each) {
    Object annotation = attr(p.get(), "annotation");
    if (!annotation) return raised();
    out.push_back(std::move(annotation));
  }
  return out;
}

}  // namespace vorel::py::schema
