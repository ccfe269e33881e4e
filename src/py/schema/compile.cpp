#include "py/schema/compile.hpp"

#include <fmt/format.h>

#include "py/schema/naming.hpp"
#include "py/schema/read.hpp"

namespace vorel::py::schema {

using core::schema::error::SchemaError;

namespace compile {
Failure error(const FieldPath& path, std::string_view problem) { return Failure::schema(SchemaError::at(path, problem)); }
}  // namespace compile

namespace {

// Deeper than any annotation written by hand; what goes further is an annotation built by a
// program, or a generic dataclass that refers to itself with ever larger arguments and would
// otherwise be expanded without end.
constexpr int kDeepest = 200;

bool none(PyObject* o) { return o == Py_None; }

using read::instance;
using read::items;
using read::subclass;
using read::text_attribute;

Result<std::vector<Object>> type_params(PyObject* o) {
  Object params = attr(o, "__type_params__");
  if (!params) return raised();
  return items(params.get());
}

ir::Node tagged_copy(const ir::Node::Dataclass& d) {
  ir::Node::Tagged t;
  static_cast<ir::Node::Dataclass&>(t) = d;
  return ir::Node{std::move(t)};
}

}  // namespace

// Counts how deep the compile runs; past kDeepest the annotation is refused.
class Compiler::Nesting {
 public:
  explicit Nesting(Compiler& c) : c_(c) { ++c_.depth_; }
  ~Nesting() { --c_.depth_; }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  bool too_deep() const { return c_.depth_ > kDeepest; }
  static Failure refusal(const FieldPath& path) {
    return compile::error(path, fmt::format("types nested more than {} deep are not supported", kDeepest));
  }

 private:
  Compiler& c_;
};

Result<ir::Index> Compiler::compile(PyObject* hint, const FieldPath& path, const Bindings& bindings) {
  Nesting nesting(*this);
  if (nesting.too_deep()) return std::unexpected(Nesting::refusal(path));
  VOREL_TRY(origin_object, in_.origin(hint));
  VOREL_TRY(arguments, in_.args(hint));
  PyObject* origin = origin_object.get();

  VOREL_TRY(is_variable, instance(hint, in_.type_var.get()));
  if (is_variable) return variable(hint, path, bindings);
  VOREL_TRY(is_alias, instance(hint, in_.type_alias_type.get()));
  if (is_alias) return alias(hint, path);
  if (!none(origin)) {
    VOREL_TRY(is_generic_alias, instance(origin, in_.type_alias_type.get()));
    if (is_generic_alias) return generic_alias(origin, arguments, path, bindings);
  }
  if (origin == in_.annotated.get()) return annotated(hint, arguments, path, bindings);
  if (auto node = leaf(hint)) return push(*std::move(node));
  if (path_class(hint)) return push(ir::Node{ir::Node::Path{class_(hint)}});
  VOREL_TRY(members, enumeration(hint));
  if (members) {
    return shared(hint, {}, [&]() -> Result<ir::Node> {
      VOREL_TRY(name, text_attribute(hint, "__qualname__"));
      return ir::Node{ir::Node::Enum{std::move(name), std::move(*members), class_(hint)}};
    });
  }
  if (origin == in_.literal.get()) return literal(hint, arguments, path);
  if (origin == in_.union_.get() || origin == in_.union_type.get()) return union_(hint, path, bindings);
  VOREL_TRY(node, container(origin, arguments, path, bindings));
  if (node) return push(*std::move(node));
  VOREL_TRY(cls, dataclass_of(hint, origin));
  if (cls) {
    VOREL_TRY(argument_nodes, all(arguments, path, bindings));
    return shared(cls.get(), argument_nodes,
                  [&]() -> Result<ir::Node> { return dataclass(cls.get(), argument_nodes, path); });
  }
  return refused(hint, origin, arguments, path);
}

Result<std::vector<ir::Index>> Compiler::all(const std::vector<Object>& hints, const FieldPath& path,
                                             const Bindings& bindings) {
  std::vector<ir::Index> out;
  out.reserve(hints.size());
  for (const Object& h : hints) {
    VOREL_TRY(node, compile(h.get(), path, bindings));
    out.push_back(node);
  }
  return out;
}

ir::Index Compiler::push(ir::Node node) {
  nodes.emplace_back(std::move(node));
  return static_cast<ir::Index>(nodes.size() - 1);
}

ir::Index Compiler::class_(PyObject* cls) {
  classes.push_back(Object::borrow(cls));
  return static_cast<ir::Index>(classes.size() - 1);
}

// Named types (aliases, enumerations, dataclasses) get one node per object and arguments. The
// slot is reserved and remembered before the builder runs, so a reference to the type met while
// building it (a recursive type) finds the slot instead of building again.
template <class Build>
Result<ir::Index> Compiler::shared(PyObject* object, std::vector<ir::Index> arguments, Build&& build) {
  for (const Memo& m : memo_) {
    if (m.object.get() == object && m.arguments == arguments) return m.node;
  }
  const auto slot = static_cast<ir::Index>(nodes.size());
  nodes.emplace_back(std::nullopt);
  memo_.push_back(Memo{Object::borrow(object), std::move(arguments), slot});
  VOREL_TRY(node, build());
  nodes[slot] = std::move(node);
  return slot;
}

Result<ir::Index> Compiler::variable(PyObject* hint, const FieldPath& path, const Bindings& bindings) {
  for (const auto& [var, node] : bindings) {
    if (var.get() == hint) return node;
  }
  VOREL_TRY(name, text_attribute(hint, "__name__"));
  return std::unexpected(compile::error(path, fmt::format("{} has no value", name)));
}

Result<ir::Index> Compiler::alias(PyObject* hint, const FieldPath& path) {
  Object value = attr(hint, "__value__");
  if (!value) return raised();
  // The value sees no bindings of the place the alias is used in.
  return shared(hint, {}, [&]() -> Result<ir::Node> {
    VOREL_TRY(target, compile(value.get(), path, {}));
    return ir::Node{ir::Node::Alias{target}};
  });
}

Result<ir::Index> Compiler::generic_alias(PyObject* alias, const std::vector<Object>& arguments, const FieldPath& path,
                                          const Bindings& bindings) {
  VOREL_TRY(argument_nodes, all(arguments, path, bindings));
  VOREL_TRY(params, type_params(alias));
  Bindings own;
  for (std::size_t i = 0; i < params.size() && i < argument_nodes.size(); ++i) {
    own.emplace_back(params[i], argument_nodes[i]);
  }
  Object value = attr(alias, "__value__");
  if (!value) return raised();
  return shared(alias, argument_nodes, [&]() -> Result<ir::Node> {
    VOREL_TRY(target, compile(value.get(), path, own));
    return ir::Node{ir::Node::Alias{target}};
  });
}

Result<ir::Index> Compiler::annotated(PyObject* hint, const std::vector<Object>& arguments, const FieldPath& path,
                                      const Bindings& bindings) {
  if (arguments.empty()) {
    VOREL_TRY(name, naming::name(in_, hint));
    return std::unexpected(compile::error(path, fmt::format("{} is not supported", name)));
  }
  VOREL_TRY(markers, hatches(std::vector<Object>(arguments.begin() + 1, arguments.end())));
  if (markers.empty()) return compile(arguments[0].get(), path, bindings);
  if (markers.size() > 1) {
    VOREL_TRY(name, naming::name(in_, hint));
    return std::unexpected(compile::error(path, fmt::format("{} has more than one Opaque", name)));
  }
  // The annotated type is only named, never compiled: the codec stands in for it.
  Object encode = attr(markers[0].get(), "encode");
  if (!encode) return raised();
  Object decode = attr(markers[0].get(), "decode");
  if (!decode) return raised();
  codecs.emplace_back(std::move(encode), std::move(decode));
  const auto codec = static_cast<ir::Index>(codecs.size() - 1);
  VOREL_TRY(name, naming::name(in_, arguments[0].get()));
  return push(ir::Node{ir::Node::Opaque{std::move(name), codec}});
}

Result<std::vector<Object>> Compiler::hatches(const std::vector<Object>& metadata) {
  std::vector<Object> out;
  for (const Object& m : metadata) {
    VOREL_TRY(is_marker, instance(m.get(), in_.opaque.get()));
    if (is_marker) out.push_back(m);
  }
  return out;
}

Result<Object> Compiler::bare(PyObject* hint) {
  VOREL_TRY(origin, in_.origin(hint));
  if (origin.get() != in_.annotated.get()) return Object::borrow(hint);
  VOREL_TRY(arguments, in_.args(hint));
  if (arguments.empty()) return Object::borrow(hint);
  VOREL_TRY(markers, hatches(std::vector<Object>(arguments.begin() + 1, arguments.end())));
  if (!markers.empty()) return Object::borrow(hint);
  return bare(arguments[0].get());
}

std::optional<ir::Node> Compiler::leaf(PyObject* hint) const {
  using N = ir::Node;
  using S = ir::ScalarKind;
  const std::pair<PyObject*, S> scalars[] = {
      {Py_None, S::None},          {in_.none_type.get(), S::None}, {in_.bool_.get(), S::Bool},
      {in_.int_.get(), S::Int},    {in_.float_.get(), S::Float},   {in_.str_.get(), S::Str},
      {in_.bytes_.get(), S::Bytes},
  };
  for (const auto& [object, scalar] : scalars) {
    if (hint == object) return N{N::Scalar{scalar}};
  }
  if (hint == in_.never.get()) return N{N::Never{}};
  if (hint == in_.datetime.get()) return N{N::DateTime{}};
  if (hint == in_.date.get()) return N{N::Date{}};
  if (hint == in_.time.get()) return N{N::Time{}};
  if (hint == in_.timedelta.get()) return N{N::TimeDelta{}};
  if (hint == in_.decimal.get()) return N{N::Decimal{}};
  if (hint == in_.uuid.get()) return N{N::UUID{}};
  return std::nullopt;
}

bool Compiler::path_class(PyObject* hint) const {
  return hint == in_.pure_posix_path.get() || hint == in_.pure_windows_path.get() || hint == in_.path.get();
}

Result<std::optional<std::vector<std::string>>> Compiler::enumeration(PyObject* hint) {
  using Members = std::optional<std::vector<std::string>>;
  if (!PyType_Check(hint)) return Members();
  VOREL_TRY(is_enum, subclass(hint, in_.enum_.get()));
  if (!is_enum) return Members();
  VOREL_TRY(is_flag, subclass(hint, in_.flag.get()));
  if (is_flag) return Members();
  Object members = attr(hint, "__members__");
  if (!members) return raised();
  VOREL_TRY(keys, items(members.get()));
  std::vector<std::string> names;
  for (const Object& key : keys) {
    auto name = utf8(key.get());
    if (!name) return raised();
    names.push_back(*std::move(name));
  }
  if (names.empty()) return Members();
  return Members(std::move(names));
}

Result<ir::Index> Compiler::literal(PyObject* hint, const std::vector<Object>& values, const FieldPath& path) {
  ir::Node::Literal node;
  for (const Object& v : values) {
    if (PyBool_Check(v.get())) {
      node.values.emplace_back().value = v.get() == Py_True;
    } else if (PyLong_Check(v.get())) {
      long long n = PyLong_AsLongLong(v.get());
      if (n == -1 && PyErr_Occurred()) return raised();
      node.values.emplace_back().value = static_cast<std::int64_t>(n);
    } else if (PyUnicode_Check(v.get())) {
      auto text = utf8(v.get());
      if (!text) return raised();
      node.values.emplace_back().value = *std::move(text);
    } else {
      VOREL_TRY(name, naming::name(in_, hint));
      return std::unexpected(
          compile::error(path, fmt::format("{} is not supported; use literals of str, int or bool", name)));
    }
  }
  return push(ir::Node{std::move(node)});
}

Result<ir::Index> Compiler::union_(PyObject* hint, const FieldPath& path, const Bindings& bindings) {
  VOREL_TRY(union_name, naming::name(in_, hint));
  std::vector<Object> members;
  std::vector<Object> expanding;
  VOREL_CHECK(alternatives(hint, path, expanding, members));

  std::vector<std::pair<Object, ir::Index>> plain;
  std::vector<std::pair<std::string, ir::Index>> tagged;
  auto ambiguous = [&](std::string_view reason) {
    return std::unexpected(compile::error(path, fmt::format("{} is ambiguous: {}", union_name, reason)));
  };
  for (const Object& g : members) {
    VOREL_TRY(node, compile(g.get(), path, bindings));
    VOREL_TRY(cls, dataclass_of(g.get()));
    if (!cls) {
      const ir::Mask mask = ir::seen(nodes, node);
      for (const auto& [h, j] : plain) {
        if ((mask & ir::seen(nodes, j)) == 0) continue;
        VOREL_TRY(earlier, naming::name(in_, h.get()));
        VOREL_TRY(later, naming::name(in_, g.get()));
        return ambiguous(fmt::format("{} and {} have the same structure", earlier, later));
      }
      plain.emplace_back(g, node);
      continue;
    }
    VOREL_TRY(tag, text_attribute(cls.get(), "__qualname__"));
    for (const auto& [other, j] : tagged) {
      if (other == tag) {
        return std::unexpected(
            compile::error(path, fmt::format("{} is ambiguous: two dataclasses named {}", union_name, tag)));
      }
    }
    tagged.emplace_back(std::move(tag), node);
  }
  // A tagged dataclass is written as an array, so no plain alternative may be one.
  if (!plain.empty() && !tagged.empty()) {
    for (const auto& [h, j] : plain) {
      if ((ir::seen(nodes, j) & ir::family::array) == 0) continue;
      VOREL_TRY(name, naming::name(in_, h.get()));
      return ambiguous(fmt::format("{} and the dataclasses have the same structure", name));
    }
  }
  ir::Node::Union node;
  for (const auto& [h, j] : plain) node.alternatives.push_back(j);
  node.tagged = std::move(tagged);
  return push(ir::Node{std::move(node)});
}

// Nested unions and aliases of unions are flattened into one list of members. An alias whose
// value is a union that names the alias again would flatten without end: it is refused.
Result<void> Compiler::alternatives(PyObject* hint, const FieldPath& path, std::vector<Object>& expanding,
                                    std::vector<Object>& out) {
  Nesting nesting(*this);
  if (nesting.too_deep()) return std::unexpected(Nesting::refusal(path));
  VOREL_TRY(arguments, in_.args(hint));
  for (const Object& argument : arguments) {
    VOREL_TRY(b, bare(argument.get()));
    Object value = b;
    VOREL_TRY(is_alias, instance(b.get(), in_.type_alias_type.get()));
    if (is_alias) {
      value = attr(b.get(), "__value__");
      if (!value) return raised();
    }
    VOREL_TRY(origin, in_.origin(value.get()));
    if (origin.get() != in_.union_.get() && origin.get() != in_.union_type.get()) {
      out.push_back(b);  // the alias itself, so an alias of a non-union stays a named type
      continue;
    }
    if (is_alias) {
      for (const Object& e : expanding) {
        if (e.get() == b.get()) return std::unexpected(compile::error(path, core::schema::error::kRecursive));
      }
      expanding.push_back(b);
    }
    VOREL_CHECK(alternatives(value.get(), path, expanding, out));
    if (is_alias) expanding.pop_back();
  }
  return {};
}

Result<std::optional<ir::Node>> Compiler::container(PyObject* origin, const std::vector<Object>& arguments,
                                                    const FieldPath& path, const Bindings& bindings) {
  using N = ir::Node;
  if (origin == in_.tuple.get()) {
    if (arguments.size() == 2 && arguments[1].get() == in_.ellipsis.get()) {
      VOREL_TRY(item, compile(arguments[0].get(), path, bindings));
      return N{N::Collection{false, false, item}};
    }
    VOREL_TRY(items, all(arguments, path, bindings));
    return N{N::Tuple{std::move(items)}};
  }
  if (origin == in_.frozenset.get() && arguments.size() == 1) {
    VOREL_TRY(item, compile(arguments[0].get(), path, bindings));
    return N{N::Collection{true, sorted_, item}};
  }
  if (origin == in_.mapping.get() && arguments.size() == 2) {
    VOREL_TRY(key, compile(arguments[0].get(), path, bindings));
    VOREL_TRY(value, compile(arguments[1].get(), path, bindings));
    return N{N::Mapping{sorted_, key, value}};
  }
  if (origin == in_.ref.get() && arguments.size() == 1) {
    VOREL_TRY(message, compile(arguments[0].get(), path, bindings));
    // Messages travel tagged. A dataclass whose node is not built yet is copied when the tree is resolved.
    if (nodes[message] && nodes[message]->as<N::Dataclass>()) {
      ir::Node copy = tagged_copy(*nodes[message]->as<N::Dataclass>());
      message = push(std::move(copy));
    }
    return N{N::Ref{message}};
  }
  return std::optional<N>();
}

Result<Object> Compiler::dataclass_of(PyObject* hint) {
  VOREL_TRY(origin, in_.origin(hint));
  return dataclass_of(hint, origin.get());
}

Result<Object> Compiler::dataclass_of(PyObject* hint, PyObject* origin) {
  PyObject* cls = none(origin) ? hint : origin;
  if (!PyType_Check(cls)) return Object();
  Object is = call(in_.is_dataclass.get(), cls);
  if (!is) return raised();
  int truth = PyObject_IsTrue(is.get());
  if (truth < 0) return raised();
  return truth ? Object::borrow(cls) : Object();
}

Result<ir::Node> Compiler::dataclass(PyObject* cls, const std::vector<ir::Index>& arguments, const FieldPath& path) {
  VOREL_TRY(name, text_attribute(cls, "__qualname__"));
  // Read from the class's own namespace: a subclass that was not decorated itself is no frozen dataclass.
  Object own = attr(cls, "__dict__");
  if (!own) return raised();
  Object key = text("__dataclass_params__");
  if (!key) return raised();
  Object params = Object::steal(PyObject_GetItem(own.get(), key.get()));
  if (!params) return raised();
  Object frozen = attr(params.get(), "frozen");
  if (!frozen) return raised();
  int is_frozen = PyObject_IsTrue(frozen.get());
  if (is_frozen < 0) return raised();
  if (!is_frozen) {
    return std::unexpected(compile::error(path, fmt::format("{} is not supported; use @dataclass(frozen=True)", name)));
  }

  const FieldPath base = path.empty() ? FieldPath{name} : path;
  auto hints = in_.hints(cls);
  if (!hints) {
    const Failure& f = hints.error();
    if (f.kind() != Failure::Kind::Raised || !PyErr_GivenExceptionMatches(f.exception(), PyExc_NameError)) {
      return std::unexpected(std::move(hints.error()));
    }
    Object message = Object::steal(PyObject_Str(f.exception()));
    if (!message) return raised();
    auto problem = utf8(message.get());
    if (!problem) return raised();
    return std::unexpected(compile::error(base, *problem));
  }

  // The bindings of the place the dataclass is used in never reach its fields.
  Bindings bindings;
  VOREL_TRY(own_params, type_params(cls));
  for (std::size_t i = 0; i < own_params.size() && i < arguments.size(); ++i) {
    bindings.emplace_back(own_params[i], arguments[i]);
  }
  VOREL_CHECK(inherited(cls, base, bindings));

  VOREL_TRY(declared, in_.dataclass_fields(cls));
  ir::Node::Dataclass node{name, {}, 0};
  for (auto& [field, required] : declared) {
    Object field_name = text(field);
    if (!field_name) return raised();
    PyObject* hint = PyDict_GetItemWithError(hints->get(), field_name.get());  // borrowed
    if (hint == nullptr) {
      if (PyErr_Occurred()) return raised();
      return std::unexpected(compile::error(base, fmt::format("{}.{} has no annotation", name, field)));
    }
    Object held = Object::borrow(hint);  // the dict may lose it while the field compiles
    FieldPath inner = base;
    inner.push_back(field);
    VOREL_TRY(node_index, compile(held.get(), inner, bindings));
    node.fields.push_back(ir::Field{field, node_index, required});
  }
  node.cls = class_(cls);
  return ir::Node{std::move(node)};
}

// A class's own parameters win over those of its bases, and nearer bases over farther ones:
// lookups take the first match, and bases are appended depth first after the class's own.
Result<void> Compiler::inherited(PyObject* cls, const FieldPath& path, Bindings& bindings) {
  Nesting nesting(*this);
  if (nesting.too_deep()) return std::unexpected(Nesting::refusal(path));
  Object own = attr(cls, "__dict__");
  if (!own) return raised();
  Object key = text("__orig_bases__");
  if (!key) return raised();
  Object bases = call_method(own.get(), "get", key.get());
  if (!bases) return raised();
  if (none(bases.get())) {
    bases = attr(cls, "__bases__");
    if (!bases) return raised();
  }
  VOREL_TRY(each, items(bases.get()));
  for (const Object& b : each) {
    VOREL_TRY(origin, in_.origin(b.get()));
    PyObject* base = none(origin.get()) ? b.get() : origin.get();
    if (!PyType_Check(base)) continue;
    if (!none(origin.get())) {
      VOREL_TRY(params, type_params(base));
      VOREL_TRY(arguments, in_.args(b.get()));
      for (std::size_t i = 0; i < params.size() && i < arguments.size(); ++i) {
        VOREL_TRY(node, compile(arguments[i].get(), path, bindings));
        bindings.emplace_back(params[i], node);
      }
    }
    VOREL_CHECK(inherited(base, path, bindings));
  }
  return {};
}

Result<ir::Index> Compiler::refused(PyObject* hint, PyObject* origin, const std::vector<Object>& arguments,
                                    const FieldPath& path) {
  VOREL_TRY(name, naming::name(in_, hint));
  VOREL_TRY(instead, naming::replacement(in_, none(origin) ? hint : origin, arguments));
  if (instead) return std::unexpected(compile::error(path, fmt::format("{} is not supported; use {}", name, *instead)));
  return std::unexpected(compile::error(path, fmt::format("{} is not supported", name)));
}

}  // namespace vorel::py::schema
