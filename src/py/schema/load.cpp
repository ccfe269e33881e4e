#include "py/schema/load.hpp"

#include <fmt/format.h>

#include <limits>
#include <vector>

#include "core/invariant.hpp"
#include "py/refs.hpp"
#include "py/schema/bare.hpp"
#include "py/schema/dump.hpp"
#include "py/schema/read.hpp"

namespace vorel::py::schema {

namespace ir = core::schema::ir;
namespace msgpack = core::msgpack;
using core::schema::error::SchemaError;
using msgpack::Kind;

namespace {

// The name of a MessagePack family as the Python type it reads as, and as a union names it.
constexpr const char* kFound[] = {"NoneType", "bool", "int", "float", "str", "bytes", "list", "dict"};
constexpr const char* kUnionFound[] = {"none", "bool", "int", "float", "str", "bytes", "list", "map"};

const char* found(Kind family) { return kFound[static_cast<int>(family)]; }

ir::Mask bit(Kind family) { return static_cast<ir::Mask>(1u << static_cast<unsigned>(family)); }

constexpr std::size_t kFew = 16;
constexpr std::uint64_t kSignedMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::unexpected<Failure> wrong(std::string_view expected, std::string_view got) {
  return std::unexpected(Failure::schema(SchemaError::mismatch(expected, got)));
}

// Numbers that no date or time holds (a year beyond 1 to 9999, an hour of 24, an offset of a day), as
// corrupt bytes carry them, are a value the schema refuses; any other error of the classes passes through.
Result<Object> in_range(Result<Object> made, std::string_view name, std::string_view read) {
  if (made || made.error().kind() != Failure::Kind::Raised) return made;
  PyObject* e = made.error().exception();
  if (!PyErr_GivenExceptionMatches(e, PyExc_ValueError) && !PyErr_GivenExceptionMatches(e, PyExc_OverflowError)) {
    return made;
  }
  return std::unexpected(Failure::schema(fmt::format("{} out of range: {}", name, read)));
}

Result<Object> in_range(Result<Object> made, std::string_view name, std::pair<std::int64_t, std::int64_t> read) {
  if (made) return made;
  return in_range(std::move(made), name, fmt::format("[{}, {}]", read.first, read.second));
}

Result<Object> in_range(Result<Object> made, std::string_view name, std::int64_t read) {
  if (made) return made;
  return in_range(std::move(made), name, fmt::format("{}", read));
}

Result<std::string> qualname(PyObject* cls) { return read::text_attribute(cls, "__qualname__"); }

Result<Object> made(Object o) {
  if (!o) return raised();
  return o;
}

Result<Object> made(PyObject* o) { return made(Object::steal(o)); }

Result<Object> text_object(std::string_view s) {
  return made(text(s));
}

// A union alternative that reads a bool though its family is another: an int field given a bool
// writes it as the bool it is, and a union of such an int must read it back.
std::optional<ir::Index> reads_bool(const ir::Tree& tree, const ir::Node::Union& node) {
  for (ir::Index a : node.alternatives) {
    const ir::Node& n = tree.at(a);
    if (const auto* s = n.as<ir::Node::Scalar>()) {
      if (s->scalar == ir::ScalarKind::Int || s->scalar == ir::ScalarKind::Float) return a;
    } else if (const auto* u = n.as<ir::Node::Union>()) {
      // Unions that are their own alternatives are refused when the tree is built.
      if (reads_bool(tree, *u)) return a;
    }
  }
  return std::nullopt;
}

}  // namespace

namespace {
const Schema& record_of(PyObject* schema) {
  const Schema* s = held(schema);
  if (s == nullptr) core::broken("vorel: a value was read by an object that is not a Schema");
  return *s;
}
}  // namespace

Loader::Loader(PyObject* schema, msgpack::Reader& reader, std::shared_ptr<py::Node> node)
    : object_(schema), schema_(record_of(schema)), reader_(reader), node_(std::move(node)) {}

Result<Object> Loader::read(ir::Index index) {
  using N = ir::Node;
  dump::Nesting nesting(depth_);
  if (nesting.too_deep()) return std::unexpected(dump::too_deep());
  VOREL_TRY(family, reader_.kind());
  const N& node = schema_.tree.at(index);
  const Values& values = schema_.values;
  switch (node.kind()) {
    case ir::Kind::Never:
      return std::unexpected(Failure::schema(fmt::format("no value is expected, got {}", found(family))));
    case ir::Kind::Scalar:
      return scalar(node.as<N::Scalar>()->scalar, family);
    case ir::Kind::Literal:
      return literal(*node.as<N::Literal>(), family);
    case ir::Kind::DateTime: {
      VOREL_TRY(parts, pair("datetime", family));
      return in_range(values.moment(parts.first, parts.second), "datetime", parts);
    }
    case ir::Kind::Time: {
      VOREL_TRY(parts, pair("time", family));
      return in_range(values.clock(parts.first, parts.second), "time", parts);
    }
    case ir::Kind::Date: {
      VOREL_TRY(days, int_("date", family));
      return in_range(values.day(days), "date", days);
    }
    case ir::Kind::TimeDelta: {
      VOREL_TRY(us, int_("timedelta", family));
      return in_range(values.duration(us), "timedelta", us);
    }
    case ir::Kind::Decimal:
      return decimal(family);
    case ir::Kind::UUID:
      return uuid(family);
    case ir::Kind::Path: {
      PyObject* cls = schema_.classes[node.as<N::Path>()->cls].get();
      if (family != Kind::Str) {
        VOREL_TRY(expected, qualname(cls));
        return wrong(expected, found(family));
      }
      VOREL_TRY(s, reader_.read_str());
      VOREL_TRY(t, text_object(s));
      return made(call(cls, t.get()));
    }
    case ir::Kind::Enum:
      return member(*node.as<N::Enum>(), family);
    case ir::Kind::Opaque: {
      const auto* o = node.as<N::Opaque>();
      if (family != Kind::Bin) return wrong(o->name, found(family));
      VOREL_TRY(b, reader_.read_bin());
      VOREL_TRY(bytes, made(bytes_of(b)));
      return made(call(schema_.codecs[o->codec].second.get(), bytes.get()));
    }
    case ir::Kind::Collection:
      return items(*node.as<N::Collection>(), family);
    case ir::Kind::Tuple:
      return tuple(*node.as<N::Tuple>(), family);
    case ir::Kind::Mapping:
      return mapping(*node.as<N::Mapping>(), family);
    case ir::Kind::Dataclass:
      if (family != Kind::Map) return wrong(node.as<N::Dataclass>()->name, found(family));
      return fields(index);
    case ir::Kind::Tagged:
      return tagged(index, family);
    case ir::Kind::Union:
      return union_(*node.as<N::Union>());
    case ir::Kind::Ref:
      return reference(*node.as<N::Ref>(), family);
    case ir::Kind::Alias:
      return read(node.as<N::Alias>()->target);
  }
  core::broken("vorel: broken schema tree: unknown node kind");
}

Result<Object> Loader::scalar(ir::ScalarKind kind, Kind family) {
  switch (kind) {
    case ir::ScalarKind::None:
      if (family != Kind::Nil) return wrong("none", found(family));
      VOREL_CHECK(reader_.read_nil());
      return Object::borrow(Py_None);
    case ir::ScalarKind::Bool: {
      if (family != Kind::Bool) return wrong("bool", found(family));
      VOREL_TRY(b, reader_.read_bool());
      return Object::borrow(b ? Py_True : Py_False);
    }
    case ir::ScalarKind::Int: {
      if (family == Kind::Bool) {
        VOREL_TRY(b, reader_.read_bool());
        return Object::borrow(b ? Py_True : Py_False);
      }
      if (family != Kind::Int) return wrong("int", found(family));
      VOREL_TRY(n, reader_.read_int());
      return made(n.is_signed() ? PyLong_FromLongLong(n.as_signed()) : PyLong_FromUnsignedLongLong(n.as_unsigned()));
    }
    case ir::ScalarKind::Float: {
      double d = 0;
      if (family == Kind::Float) {
        VOREL_TRY(f, reader_.read_float());
        d = f;
      } else if (family == Kind::Int) {
        VOREL_TRY(n, reader_.read_int());
        d = n.is_signed() ? static_cast<double>(n.as_signed()) : static_cast<double>(n.as_unsigned());
      } else if (family == Kind::Bool) {
        VOREL_TRY(b, reader_.read_bool());
        d = b ? 1.0 : 0.0;
      } else {
        return wrong("float", found(family));
      }
      return made(PyFloat_FromDouble(d));
    }
    case ir::ScalarKind::Str: {
      VOREL_TRY(s, str("str", family));
      return text_object(s);
    }
    case ir::ScalarKind::Bytes: {
      if (family != Kind::Bin) return wrong("bytes", found(family));
      VOREL_TRY(b, reader_.read_bin());
      return made(bytes_of(b));
    }
  }
  core::broken("vorel: broken schema tree: unknown scalar kind");
}

Result<std::string_view> Loader::str(std::string_view expected, Kind family) {
  if (family != Kind::Str) return wrong(expected, found(family));
  VOREL_TRY(s, reader_.read_str());
  return s;
}

Result<Object> Loader::literal(const ir::Node::Literal& node, Kind family) {
  // What was read, as the refusal shows it when it equals none of the values.
  Object shown;
  if (family == Kind::Bool) {
    VOREL_TRY(b, reader_.read_bool());
    for (const ir::Literal& v : node.values) {
      if (const bool* x = std::get_if<bool>(&v.value); x && *x == b) return Object::borrow(b ? Py_True : Py_False);
    }
    shown = Object::borrow(b ? Py_True : Py_False);
  } else if (family == Kind::Int) {
    VOREL_TRY(n, reader_.read_int());
    if (n.is_signed() || n.as_unsigned() <= kSignedMax) {
      for (const ir::Literal& v : node.values) {
        if (const auto* x = std::get_if<std::int64_t>(&v.value); x && *x == n.as_signed()) {
          return made(PyLong_FromLongLong(*x));
        }
      }
    }
    VOREL_TRY(number, made(n.is_signed() ? PyLong_FromLongLong(n.as_signed())
                                         : PyLong_FromUnsignedLongLong(n.as_unsigned())));
    shown = std::move(number);
  } else if (family == Kind::Str) {
    VOREL_TRY(s, reader_.read_str());
    for (const ir::Literal& v : node.values) {
      if (const auto* x = std::get_if<std::string>(&v.value); x && *x == s) return text_object(s);
    }
    VOREL_TRY(t, text_object(s));
    shown = std::move(t);
  } else if (auto r = reader_.skip(); !r) {
    return std::unexpected(r.error());
  }
  VOREL_TRY(allowed, dump::literals(node));
  std::string got = found(family);
  if (shown) {
    VOREL_TRY(text, dump::repr_of(shown.get()));
    got = std::move(text);
  }
  return std::unexpected(Failure::schema(fmt::format("expected one of {}, got {}", allowed, got)));
}

Result<std::pair<std::int64_t, std::int64_t>> Loader::pair(std::string_view name, Kind family) {
  if (family != Kind::Array) return wrong(name, found(family));
  VOREL_TRY(n, reader_.read_array_len());
  if (n != 2) return wrong(name, "list");
  VOREL_TRY(first, reader_.kind());
  if (first != Kind::Int) return wrong(name, "list");
  VOREL_TRY(microseconds, reader_.read_int());
  if (!microseconds.is_signed() && microseconds.as_unsigned() > kSignedMax) return wrong(name, "list");
  VOREL_TRY(second, reader_.kind());
  if (second != Kind::Int) return wrong(name, "list");
  VOREL_TRY(offset, reader_.read_int());
  // The offset is a number of seconds in 32 bits.
  return std::pair{microseconds.as_signed(), static_cast<std::int64_t>(static_cast<std::int32_t>(offset.bits))};
}

Result<std::int64_t> Loader::int_(std::string_view name, Kind family) {
  if (family != Kind::Int) return wrong(name, found(family));
  VOREL_TRY(v, reader_.read_int());
  if (!v.is_signed() && v.as_unsigned() > kSignedMax) return wrong(name, "int");
  return v.as_signed();
}

Result<Object> Loader::decimal(Kind family) {
  VOREL_TRY(s, str("Decimal", family));
  VOREL_TRY(t, text_object(s));
  Object d = call(schema_.values.decimal.get(), t.get());
  if (!d) {
    // A text that is no decimal (the decimal module's invalid operation) is refused as a value.
    if (!PyErr_ExceptionMatches(PyExc_ArithmeticError)) return raised();
    PyErr_Clear();
    return wrong("Decimal", "str");
  }
  return d;
}

Result<Object> Loader::uuid(Kind family) {
  if (family != Kind::Bin) return wrong("UUID", found(family));
  VOREL_TRY(b, reader_.read_bin());
  if (b.size() != 16) return wrong("UUID", "bytes");
  return schema_.values.identifier(b.data());
}

Result<Object> Loader::member(const ir::Node::Enum& node, Kind family) {
  VOREL_TRY(s, str(node.name, family));
  for (const std::string& m : node.members) {
    if (m == s) {
      VOREL_TRY(name, text_object(s));
      return made(PyObject_GetItem(schema_.classes[node.cls].get(), name.get()));
    }
  }
  return std::unexpected(Failure::schema(fmt::format("{} has no member {}", node.name, s)));
}

Result<Object> Loader::items(const ir::Node::Collection& node, Kind family) {
  if (family != Kind::Array) return wrong(node.set ? "frozenset" : "tuple", found(family));
  // The count is checked against the bytes left before anything is sized by it.
  VOREL_TRY(n, reader_.read_array_len());
  if (!node.set) {
    VOREL_TRY(out, made(PyTuple_New(static_cast<Py_ssize_t>(n))));
    for (std::uint64_t i = 0; i < n; ++i) {
      VOREL_TRY(item, read(node.item));
      PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return std::move(out);
  }
  VOREL_TRY(out, made(PyFrozenSet_New(nullptr)));
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(item, read(node.item));
    if (PySet_Add(out.get(), item.get()) < 0) return raised();
  }
  return std::move(out);
}

Result<Object> Loader::tuple(const ir::Node::Tuple& node, Kind family) {
  const auto expected = [&] { return fmt::format("tuple of {}", node.items.size()); };
  if (family != Kind::Array) return wrong(expected(), found(family));
  VOREL_TRY(n, reader_.read_array_len());
  if (n != node.items.size()) return wrong(expected(), "list");
  VOREL_TRY(out, made(PyTuple_New(static_cast<Py_ssize_t>(n))));
  for (std::size_t i = 0; i < node.items.size(); ++i) {
    VOREL_TRY(item, read(node.items[i]));
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return std::move(out);
}

Result<Object> Loader::mapping(const ir::Node::Mapping& node, Kind family) {
  if (family != Kind::Array) return wrong("Mapping", found(family));
  VOREL_TRY(n, reader_.read_array_len());
  VOREL_TRY(out, made(PyDict_New()));
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(element, reader_.kind());
    if (element != Kind::Array) return wrong("pair", found(element));
    VOREL_TRY(size, reader_.read_array_len());
    if (size != 2) return wrong("pair", "list");
    VOREL_TRY(key, read(node.key));
    VOREL_TRY(value, read(node.value));
    if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return raised();
  }
  return std::move(out);
}

Result<Object> Loader::fields(ir::Index index) {
  const ir::Node::Dataclass& node = *dataclass(schema_.tree.at(index));
  VOREL_TRY(n, reader_.read_map_len());
  // Most classes have a few fields: their values are kept on the stack.
  Object few[kFew];
  std::vector<Object> many(node.fields.size() > kFew ? node.fields.size() : 0);
  std::span<Object> slots = many.empty() ? std::span<Object>(few, node.fields.size()) : std::span<Object>(many);
  const std::size_t count = node.fields.size();
  std::size_t next = 0;  // writers put the fields in order: the search starts where it would be
  for (std::uint64_t i = 0; i < n; ++i) {
    VOREL_TRY(key, reader_.read_str());
    std::size_t at = count;
    for (std::size_t step = 0, j = next; step < count; ++step, j = j + 1 == count ? 0 : j + 1) {
      if (node.fields[j].name == key) {
        at = j;
        break;
      }
    }
    if (at == count) {
      VOREL_CHECK(reader_.skip());
      continue;
    }
    auto value = read(node.fields[at].node);
    if (!value) return std::unexpected(under(std::move(value.error()), node.fields[at].name));
    slots[at] = *std::move(value);
    next = at + 1 == count ? 0 : at + 1;
  }
  return build(schema_, index, slots);
}

Result<Object> Loader::build(const Schema& schema, ir::Index index, std::span<Object> values) {
  const ir::Node::Dataclass& node = *dataclass(schema.tree.at(index));
  const Keys& keys = schema.keys[index];
  if (values.size() != node.fields.size()) core::broken("vorel: a dataclass was built from other than one value per field");
  // args[0] is the room that PY_VECTORCALL_ARGUMENTS_OFFSET lends the callee.
  PyObject* few[1 + kFew] = {};
  std::vector<PyObject*> many(values.size() > kFew ? 1 + values.size() : 0, nullptr);
  PyObject** args = many.empty() ? few : many.data();
  std::size_t given = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) {
      args[1 + given++] = values[i].get();
    } else if (node.fields[i].required) {
      return std::unexpected(Failure::schema(fmt::format("{}.{} is missing", node.name, node.fields[i].name)));
    }
  }
  PyObject* cls = schema.classes[node.cls].get();
  if (given == values.size()) {
    if (keys.stored) return bare::made(cls, keys.fields, std::span<PyObject* const>(args + 1, given));
    return made(PyObject_Vectorcall(cls, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, keys.all.get()));
  }
  // A field left out takes the class's default.
  VOREL_TRY(names, made(PyTuple_New(static_cast<Py_ssize_t>(given))));
  for (std::size_t i = 0, j = 0; i < values.size(); ++i) {
    if (!values[i]) continue;
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(j++), Object(keys.fields[i]).release());
  }
  return made(PyObject_Vectorcall(cls, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Result<std::optional<std::string_view>> Loader::tag() {
  using Tag = std::optional<std::string_view>;
  msgpack::Reader probe = reader_;
  VOREL_TRY(k, probe.kind());
  if (k != Kind::Array) return Tag();
  VOREL_TRY(n, probe.read_array_len());
  if (n != 2) return Tag();
  VOREL_TRY(first, probe.kind());
  if (first != Kind::Str) return Tag();
  VOREL_TRY(name, probe.read_str());
  VOREL_TRY(second, probe.kind());
  if (second != Kind::Map) return Tag();
  reader_ = probe;  // the header and the name are consumed; the map is next
  return Tag(name);
}

Result<Object> Loader::tagged(ir::Index index, Kind family) {
  const ir::Node::Dataclass& node = *dataclass(schema_.tree.at(index));
  VOREL_TRY(name, tag());
  if (!name || *name != node.name) return wrong(node.name, found(family));
  return fields(index);
}

Result<Object> Loader::union_(const ir::Node::Union& node) {
  if (!node.tagged.empty()) {
    VOREL_TRY(name, tag());
    if (name) {
      for (const auto& [t, entry] : node.tagged) {
        if (t == *name && schema_.tree.at(entry).as<ir::Node::Dataclass>()) return fields(entry);
      }
      return std::unexpected(Failure::schema(fmt::format("unknown alternative {}", *name)));
    }
  }
  VOREL_TRY(family, reader_.kind());
  for (ir::Index a : node.alternatives) {
    if (schema_.tree.kinds[a] & bit(family)) return read(a);
  }
  if (family == Kind::Bool) {
    if (auto a = reads_bool(schema_.tree, node)) return read(*a);
  }
  return std::unexpected(
      Failure::schema(fmt::format("{} is not an alternative of the union", kUnionFound[static_cast<int>(family)])));
}

Result<Object> Loader::reference(const ir::Node::Ref& node, Kind family) {
  std::optional<core::Target> target;
  if (family == Kind::Nil) {
    VOREL_CHECK(reader_.read_nil());
  } else if (family != Kind::Array) {
    return wrong("ref", found(family));
  } else {
    VOREL_TRY(n, reader_.read_array_len());
    if (n == 0) return wrong("ref", "list");
    VOREL_TRY(kind, reader_.read_str());
    if (kind == "e" && n == 3) {
      VOREL_TRY(actor, reader_.read_str());
      const std::string a(actor);
      VOREL_TRY(key, reader_.read_str());
      target = core::Target::entity(a, std::string(key));
    } else if (kind == "r" && n == 4) {
      core::NodeId id;
      VOREL_TRY(k, reader_.kind());
      if (k == Kind::Str) {
        VOREL_TRY(address, reader_.read_str());
        id.address = std::string(address);
      } else if (k == Kind::Nil) {
        VOREL_CHECK(reader_.read_nil());
      } else {
        return wrong("ref", "list");
      }
      VOREL_TRY(incarnation, reader_.read_bin());
      if (incarnation.size() != id.incarnation.size()) return wrong("ref", "list");
      std::copy(incarnation.begin(), incarnation.end(), id.incarnation.begin());
      VOREL_TRY(ask, reader_.read_int());
      if (!ask.is_signed() && ask.as_unsigned() > kSignedMax) return wrong("ref", "list");
      target = core::Target::reply(std::move(id), ask.as_signed());
    } else {
      return wrong("ref", "list");
    }
  }
  return made(refs::make(refs::Ref{std::move(target), Object::borrow(object_), node_, node.message}));
}

}  // namespace vorel::py::schema
