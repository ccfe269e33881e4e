#include "py/schema/dump.hpp"

#include <cstring>

#include "py/refs.hpp"
#include "py/schema/read.hpp"

namespace vorel::py::schema::dump {

namespace ir = core::schema::ir;

using read::instance;

Result<std::string> named(PyObject* value) {
  return read::text_attribute(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__");
}

Result<std::optional<std::size_t>> literal(const ir::Node::Literal& node, PyObject* value) {
  using Found = std::optional<std::size_t>;
  std::optional<bool> boolean;
  std::optional<std::int64_t> integer;
  std::optional<std::string_view> text;
  if (PyBool_Check(value)) {
    boolean = value == Py_True;
  } else if (PyLong_CheckExact(value)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return raised();
    if (overflow == 0) integer = n;  // beyond 64 bits it equals none of the values
  } else if (PyUnicode_CheckExact(value)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
      PyErr_Clear();  // a str with no UTF-8 form (lone surrogates) equals none of the values
      return Found();
    }
    text = std::string_view(data, static_cast<std::size_t>(size));
  }
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    const auto& v = node.values[i].value;
    if (const bool* b = std::get_if<bool>(&v); b && boolean == *b) return Found(i);
    if (const auto* n = std::get_if<std::int64_t>(&v); n && integer == *n) return Found(i);
    if (const auto* s = std::get_if<std::string>(&v); s && text == std::string_view(*s)) return Found(i);
  }
  return Found();
}

Result<bool> matches(const Schema& schema, ir::Index index, PyObject* value) {
  using N = ir::Node;
  const N& node = schema.tree.at(index);
  const Values& values = schema.values;
  switch (node.kind()) {
    case ir::Kind::Never:
    case ir::Kind::Opaque:
      return false;
    case ir::Kind::Scalar:
      switch (node.as<N::Scalar>()->scalar) {
        case ir::ScalarKind::None:
          return value == Py_None;
        case ir::ScalarKind::Bool:
          return PyBool_Check(value) != 0;
        case ir::ScalarKind::Int:
          return PyLong_Check(value) != 0;
        case ir::ScalarKind::Float:
          return PyFloat_Check(value) || PyLong_Check(value);
        case ir::ScalarKind::Str:
          return PyUnicode_Check(value) != 0;
        case ir::ScalarKind::Bytes:
          return PyBytes_Check(value) != 0;
      }
      return false;
    case ir::Kind::Literal: {
      auto found = literal(*node.as<N::Literal>(), value);
      if (!found) return std::unexpected(std::move(found.error()));
      return found->has_value();
    }
    case ir::Kind::DateTime:
      return instance(value, values.datetime.get());
    case ir::Kind::Time:
      return instance(value, values.time.get());
    case ir::Kind::TimeDelta:
      return instance(value, values.timedelta.get());
    case ir::Kind::Decimal:
      return instance(value, values.decimal.get());
    case ir::Kind::UUID:
      return instance(value, values.uuid.get());
    case ir::Kind::Mapping:
      return instance(value, values.mapping.get());
    case ir::Kind::Date: {
      auto is_date = instance(value, values.date.get());
      if (!is_date || !*is_date) return is_date;
      auto is_datetime = instance(value, values.datetime.get());
      if (!is_datetime) return is_datetime;
      return !*is_datetime;
    }
    case ir::Kind::Path:
      return instance(value, schema.classes[node.as<N::Path>()->cls].get());
    case ir::Kind::Enum:
      return instance(value, schema.classes[node.as<N::Enum>()->cls].get());
    case ir::Kind::Dataclass:
      return instance(value, schema.classes[node.as<N::Dataclass>()->cls].get());
    case ir::Kind::Tagged:
      return instance(value, schema.classes[node.as<N::Tagged>()->cls].get());
    case ir::Kind::Collection:
      return node.as<N::Collection>()->set ? PyFrozenSet_Check(value) != 0 : PyTuple_Check(value) != 0;
    case ir::Kind::Tuple:
      return PyTuple_Check(value) != 0;
    case ir::Kind::Union: {
      const auto* u = node.as<N::Union>();
      for (ir::Index a : u->alternatives) {
        auto m = matches(schema, a, value);
        if (!m || *m) return m;
      }
      for (const auto& [tag, t] : u->tagged) {
        auto m = matches(schema, t, value);
        if (!m || *m) return m;
      }
      return false;
    }
    case ir::Kind::Ref: {
      PyObject* ref = refs::type();
      if (ref == nullptr) return raised();
      return instance(value, ref);
    }
    case ir::Kind::Alias:
      return matches(schema, node.as<N::Alias>()->target, value);
  }
  return false;
}

Result<std::optional<Choice>> chosen(const Schema& schema, const ir::Node::Union& node, PyObject* value) {
  using Found = std::optional<Choice>;
  auto name = named(value);
  if (!name) return std::unexpected(std::move(name.error()));
  // By the exact class name: an instance of a subclass of a dataclass alternative takes no entry.
  for (const auto& [tag, t] : node.tagged) {
    if (tag == *name && schema.tree.at(t).as<ir::Node::Dataclass>()) return Found(Choice{t, true});
  }
  // Enumerations first, so an IntEnum member is written as its name beside an int.
  for (bool enums_only : {true, false}) {
    for (ir::Index a : node.alternatives) {
      if (enums_only && schema.tree.at(a).kind() != ir::Kind::Enum) continue;
      auto m = matches(schema, a, value);
      if (!m) return std::unexpected(std::move(m.error()));
      if (*m) return Found(Choice{a, false});
    }
  }
  return Found();
}

}  // namespace vorel::py::schema::dump
