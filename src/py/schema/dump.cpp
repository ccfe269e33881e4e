#include "py/schema/dump.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "core/invariant.hpp"
#include "core/wire.hpp"

#include "py/refs.hpp"
#include "py/schema/read.hpp"

namespace vorel::py::schema::dump {

namespace ir = core::schema::ir;

using read::instance;

namespace {

// An index out of range is left to the tree, which aborts.
[[noreturn, gnu::cold, gnu::noinline]] void out_of_tree(const ir::Tree& tree, ir::Index i) {
  tree.at(i);
  core::broken("vorel: broken schema tree: node index out of range");
}

// The node at an index, with the tree's own check inlined into the writer's path.
inline const ir::Node& node_at(const ir::Tree& tree, ir::Index i) {
  if (i >= tree.nodes.size()) [[unlikely]] out_of_tree(tree, i);
  return tree.nodes[i];
}

// The exact classes first, as most values are: the subclass tests are calls under the stable ABI.
inline bool is_str(PyObject* o) { return Py_IS_TYPE(o, &PyUnicode_Type) || PyUnicode_Check(o); }
inline bool is_int(PyObject* o) { return Py_IS_TYPE(o, &PyLong_Type) || PyLong_Check(o); }
inline bool is_tuple(PyObject* o) { return Py_IS_TYPE(o, &PyTuple_Type) || PyTuple_Check(o); }

}  // namespace

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
  const N& node = node_at(schema.tree, index);
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
          return is_int(value) != 0;
        case ir::ScalarKind::Float:
          return PyFloat_Check(value) || is_int(value);
        case ir::ScalarKind::Str:
          return is_str(value) != 0;
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
      return node.as<N::Collection>()->set ? PyFrozenSet_Check(value) != 0 : is_tuple(value) != 0;
    case ir::Kind::Tuple:
      return is_tuple(value) != 0;
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
  // By the exact class name: an instance of a subclass of a dataclass alternative takes no entry.
  if (!node.tagged.empty()) {
    auto name = named(value);
    if (!name) return std::unexpected(std::move(name.error()));
    for (const auto& [tag, t] : node.tagged) {
      if (tag == *name && node_at(schema.tree, t).as<ir::Node::Dataclass>()) return Found(Choice{t, true});
    }
  }
  // Enumerations first, so an IntEnum member is written as its name beside an int.
  for (bool enums_only : {true, false}) {
    for (ir::Index a : node.alternatives) {
      if (enums_only && node_at(schema.tree, a).kind() != ir::Kind::Enum) continue;
      auto m = matches(schema, a, value);
      if (!m) return std::unexpected(std::move(m.error()));
      if (*m) return Found(Choice{a, false});
    }
  }
  return Found();
}

namespace {

using core::Bytes;
using Out = core::msgpack::Appender;
using core::schema::error::SchemaError;
namespace msgpack = core::msgpack;

// The largest count or length a msgpack header holds: anything longer would be written with a
// header that wraps around and reads back as something else.
constexpr std::uint64_t kLongest = 0xffffffffu;
constexpr std::int64_t kEpochOrdinal = 719163;  // date(1970, 1, 1).toordinal()

Failure schema_text(std::string text) { return Failure::schema(std::move(text)); }

Failure too_long(std::string_view what, std::uint64_t n, std::string_view unit) {
  return schema_text(fmt::format("{} of {} {} is longer than msgpack can hold", what, n, unit));
}

// A value whose len() and iteration disagree would give a header that disagrees with its items.
Failure miscounted(PyObject* value, std::uint64_t reported, std::uint64_t iterated) {
  auto name = named(value);
  if (!name) return std::move(name.error());
  return schema_text(fmt::format("{} reported {} items by len() but iterated {}", *name, reported, iterated));
}

Result<std::int64_t> int64(PyObject* o) {
  long long n = PyLong_AsLongLong(o);
  if (n == -1 && PyErr_Occurred()) return raised();
  return n;
}

Result<std::int64_t> int64_attribute(PyObject* o, PyObject* name) {
  Object value = Object::steal(PyObject_GetAttr(o, name));
  if (!value) return raised();
  return int64(value.get());
}

// The UTF-8 of what str() or repr() made of a value.
Result<std::string> shown(Object s) {
  if (!s) return raised();
  auto text = utf8(s.get());
  if (!text) return raised();
  return *std::move(text);
}

Result<std::string> str_of(PyObject* o) { return shown(Object::steal(PyObject_Str(o))); }

// A str that UTF-8 cannot hold is one with a lone surrogate (os.fsdecode makes them of file names that
// are no UTF-8): a value the encoding cannot take, refused as such, by the field that held it.
Failure no_utf8(PyObject* s) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Failure::raised();
  Object error = Object::steal(PyErr_GetRaisedException());
  Py_ssize_t start = 0;
  if (PyUnicodeEncodeError_GetStart(error.get(), &start) < 0) return Failure::raised();
  const Py_UCS4 c = PyUnicode_ReadChar(s, start);
  if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return Failure::raised();
  return schema_text(fmt::format("str has no UTF-8 form: lone surrogate U+{:04X} at position {}",
                                 static_cast<std::uint32_t>(c), start));
}

Result<void> write_text(Out& out, PyObject* s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) return std::unexpected(no_utf8(s));
  if (static_cast<std::uint64_t>(size) > kLongest) return std::unexpected(too_long("str", size, "bytes"));
  msgpack::write_str(out, std::string_view(data, static_cast<std::size_t>(size)));
  return {};
}

Result<void> write_bytes(Out& out, PyObject* b) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(b, &data, &size) < 0) return raised();
  if (static_cast<std::uint64_t>(size) > kLongest) return std::unexpected(too_long("bytes", size, "bytes"));
  msgpack::write_bin(out, core::ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  return {};
}

// An int in its smallest form: unsigned up to 2^64-1, signed down to -2^63.
Result<msgpack::Integer> integer(PyObject* value) {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (n == -1 && PyErr_Occurred()) return raised();
    return msgpack::Integer::of_signed(n);
  }
  if (overflow > 0) {
    unsigned long long u = PyLong_AsUnsignedLongLong(value);
    if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return msgpack::Integer::of_unsigned(u);
    PyErr_Clear();
  }
  PyLong_AsLongLong(value);  // raises the OverflowError of the signed reading
  return raised();
}

// The UTC offset of an aware datetime or time in whole seconds; a naive one is refused.
Result<std::int64_t> utc_offset(const Names& names, PyObject* value, std::string_view name) {
  Object offset = call_method(value, names.utcoffset.get());
  if (!offset) return raised();
  if (offset.get() == Py_None) {
    VOREL_TRY(shown, str_of(value));
    return std::unexpected(schema_text(fmt::format("{} without time zone: {}", name, shown)));
  }
  // An offset is written in whole seconds: its microseconds are dropped.
  VOREL_TRY(days, int64_attribute(offset.get(), names.days.get()));
  VOREL_TRY(seconds, int64_attribute(offset.get(), names.seconds.get()));
  return days * 86400 + seconds;
}

// Whether the value is a plain datetime whose zone is UTC itself: its offset is 0 without asking the
// zone, which is the slow part of writing a datetime.
bool at_utc(const Values& values, PyObject* value) {
  if (!Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(values.datetime.get()))) return false;
  Object zone = Object::steal(PyObject_GetAttr(value, values.names.tzinfo.get()));
  if (!zone) PyErr_Clear();  // then the zone is asked, and its error reported from there
  return zone.get() == values.utc.get();
}

// The whole span of a timedelta in microseconds, refused when it overflows 64 bits.
Result<std::int64_t> microseconds(const Names& names, PyObject* delta) {
  VOREL_TRY(days, int64_attribute(delta, names.days.get()));
  VOREL_TRY(seconds, int64_attribute(delta, names.seconds.get()));
  VOREL_TRY(micros, int64_attribute(delta, names.microseconds.get()));
  std::int64_t a = 0, b = 0, total = 0;
  if (__builtin_mul_overflow(days, std::int64_t{86'400'000'000}, &a) ||
      __builtin_mul_overflow(seconds, std::int64_t{1'000'000}, &b) || __builtin_add_overflow(a, b, &total) ||
      __builtin_add_overflow(total, micros, &total)) {
    VOREL_TRY(shown, str_of(delta));
    return std::unexpected(schema_text(fmt::format("timedelta does not fit in 64 bits of microseconds: {}", shown)));
  }
  return total;
}

// Encodings of elements written apart, to be put in the bytewise order of their encodings.
class Pieces {
 public:
  Out& buffer() { return out_; }
  void mark(std::size_t start) { spans_.emplace_back(start, out_.size() - start); }
  std::size_t size() const { return spans_.size(); }

  void sort() {
    auto less = [base = out_.written().data()](const Span& a, const Span& b) {
      return std::lexicographical_compare(base + a.first, base + a.first + a.second, base + b.first,
                                          base + b.first + b.second);
    };
    if (spans_.size() <= 20) {
      for (std::size_t i = 1; i < spans_.size(); ++i) {
        for (std::size_t j = i; j > 0 && less(spans_[j], spans_[j - 1]); --j) std::swap(spans_[j], spans_[j - 1]);
      }
    } else {
      std::stable_sort(spans_.begin(), spans_.end(), less);
    }
  }

  void append_to(Out& out) const {
    const auto* base = out_.written().data();
    for (const auto& [start, length] : spans_) out.append(base + start, length);
  }

 private:
  using Span = std::pair<std::size_t, std::size_t>;
  Out out_;
  std::vector<Span> spans_;
};

}  // namespace

Result<std::string> repr_of(PyObject* o) { return shown(Object::steal(PyObject_Repr(o))); }

Failure too_deep() { return schema_text(fmt::format("a value nests more than {} levels deep", kDeepest)); }

Failure wrong(std::string_view expected, PyObject* value) {
  auto name = named(value);
  if (!name) return std::move(name.error());
  return Failure::schema(SchemaError::mismatch(expected, *name));
}

Result<std::string> literals(const ir::Node::Literal& node) {
  Object values = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(node.values.size())));
  if (!values) return raised();
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    const auto& v = node.values[i].value;
    Object item;
    if (const bool* b = std::get_if<bool>(&v)) {
      item = Object::borrow(*b ? Py_True : Py_False);
    } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
      item = Object::steal(PyLong_FromLongLong(*n));
    } else {
      item = text(std::get<std::string>(v));
    }
    if (!item) return raised();
    PyTuple_SetItem(values.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return repr_of(values.get());
}

void target(Bytes& out, const core::Target& t) {
  core::wire::Writer w(std::move(out));
  w.target(t);
  out = w.take();
}

namespace {

void target(Out& out, const core::Target& t) {
  Bytes written;
  dump::target(written, t);
  out.append(written.data(), written.size());
}

}  // namespace

Result<void> Writer::write(ir::Index index, PyObject* value, Bytes& out) {
  Out appender(out);
  return put(index, value, appender);
}

Result<void> Writer::fields(ir::Index index, PyObject* value, bool tag, Bytes& out) {
  Out appender(out);
  return fields(index, value, tag, appender);
}

namespace {

[[gnu::noinline, gnu::cold]] Result<void> refused_deep() { return std::unexpected(too_deep()); }

// A value of a kind that holds no other values and is rare in messages, apart from the writer's
// hot path.
[[gnu::noinline]] Result<void> leaf(const Schema& schema, const ir::Node& node, PyObject* value, Out& out) {
  using N = ir::Node;
  const Values& values = schema.values;
  switch (node.kind()) {
    case ir::Kind::Never: {
      VOREL_TRY(name, named(value));
      return std::unexpected(schema_text(fmt::format("no value is expected, got {}", name)));
    }
    case ir::Kind::Date: {
      VOREL_TRY(is_date, values.is_date(value));
      if (!is_date) return std::unexpected(wrong("date", value));
      Object ordinal = call_method(value, values.names.toordinal.get());
      if (!ordinal) return raised();
      VOREL_TRY(days, int64(ordinal.get()));
      msgpack::write_int(out, days - kEpochOrdinal);
      return {};
    }
    case ir::Kind::TimeDelta: {
      VOREL_TRY(ok, instance(value, values.timedelta.get()));
      if (!ok) return std::unexpected(wrong("timedelta", value));
      VOREL_TRY(us, microseconds(values.names, value));
      msgpack::write_int(out, us);
      return {};
    }
    case ir::Kind::Decimal: {
      VOREL_TRY(ok, instance(value, values.decimal.get()));
      if (!ok) return std::unexpected(wrong("Decimal", value));
      Object shown = Object::steal(PyObject_Str(value));
      if (!shown) return raised();
      return write_text(out, shown.get());
    }
    case ir::Kind::UUID: {
      VOREL_TRY(ok, instance(value, values.uuid.get()));
      if (!ok) return std::unexpected(wrong("UUID", value));
      if (std::uint8_t b[16]; values.identifier_bytes(value, b)) {
        msgpack::write_bin(out, core::ByteView(b, sizeof b));
        return {};
      }
      Object bytes = Object::steal(PyObject_GetAttr(value, values.names.bytes.get()));
      if (!bytes) return raised();
      return write_bytes(out, bytes.get());
    }
    case ir::Kind::Path: {
      PyObject* cls = schema.classes[node.as<N::Path>()->cls].get();
      VOREL_TRY(ok, instance(value, cls));
      if (!ok) {
        VOREL_TRY(expected, read::text_attribute(cls, "__qualname__"));
        return std::unexpected(wrong(expected, value));
      }
      Object shown = Object::steal(PyObject_Str(value));
      if (!shown) return raised();
      return write_text(out, shown.get());
    }
    case ir::Kind::Enum: {
      const auto* e = node.as<N::Enum>();
      VOREL_TRY(ok, instance(value, schema.classes[e->cls].get()));
      if (!ok) return std::unexpected(wrong(e->name, value));
      Object name = Object::steal(PyObject_GetAttr(value, values.names.name.get()));
      if (!name) return raised();
      if (!PyUnicode_Check(name.get())) {
        utf8(name.get());  // the TypeError of a name that is not a str
        return raised();
      }
      return write_text(out, name.get());
    }
    case ir::Kind::Opaque: {
      const auto* o = node.as<N::Opaque>();
      Object encoded = call(schema.codecs[o->codec].first.get(), value);
      if (!encoded) return raised();
      if (!PyBytes_Check(encoded.get())) {
        VOREL_TRY(found, named(encoded.get()));
        return std::unexpected(schema_text(fmt::format("the encode of {} returned {}, not bytes", o->name, found)));
      }
      return write_bytes(out, encoded.get());
    }
    case ir::Kind::Ref: {
      const refs::Ref* ref = refs::of(value);
      if (ref == nullptr) {
        VOREL_TRY(name, named(value));
        return std::unexpected(schema_text(fmt::format("{} is not a ref created by a system", name)));
      }
      if (ref->target) {
        target(out, *ref->target);
      } else {
        msgpack::write_nil(out);
      }
      return {};
    }
    default:
      break;
  }
  core::broken("vorel: broken schema tree: unknown node kind");
}

}  // namespace

Result<void> Writer::put(ir::Index index, PyObject* value, Out& out) {
  using N = ir::Node;
  // The level the value would take is refused before anything of it is written, whatever it is.
  if (depth_ >= kDeepest) [[unlikely]] return refused_deep();
  const N& node = node_at(schema_.tree, index);
  switch (node.kind()) {
    // A value that holds no others takes no level: nothing written inside it counts them.
    case ir::Kind::Scalar:
      return scalar(node.as<N::Scalar>()->scalar, value, out);
    case ir::Kind::Literal:
      return literal(*node.as<N::Literal>(), value, out);
    case ir::Kind::DateTime:
      return datetime(value, out);
    case ir::Kind::Time:
      return time(value, out);
    case ir::Kind::Collection:
    case ir::Kind::Tuple:
    case ir::Kind::Mapping:
    case ir::Kind::Dataclass:
    case ir::Kind::Tagged:
    case ir::Kind::Union:
    case ir::Kind::Alias:
      break;
    default:
      return leaf(schema_, node, value, out);
  }
  return nested(index, node, value, out);
}

Result<void> Writer::nested(ir::Index index, const ir::Node& node, PyObject* value, Out& out) {
  using N = ir::Node;
  Nesting nesting(depth_);
  switch (node.kind()) {
    case ir::Kind::Collection:
      return collection(*node.as<N::Collection>(), value, out);
    case ir::Kind::Tuple:
      return tuple(*node.as<N::Tuple>(), value, out);
    case ir::Kind::Mapping:
      return mapping(*node.as<N::Mapping>(), value, out);
    case ir::Kind::Dataclass:
      return fields(index, value, false, out);
    case ir::Kind::Tagged:
      return fields(index, value, true, out);
    case ir::Kind::Union:
      return union_(*node.as<N::Union>(), value, out);
    case ir::Kind::Alias:
      return put(node.as<N::Alias>()->target, value, out);
    default:
      break;
  }
  core::broken("vorel: broken schema tree: unknown node kind");
}

Result<void> Writer::scalar(ir::ScalarKind kind, PyObject* value, Out& out) {
  switch (kind) {
    case ir::ScalarKind::None:
      if (value != Py_None) return std::unexpected(wrong("none", value));
      msgpack::write_nil(out);
      return {};
    case ir::ScalarKind::Bool:
      if (!PyBool_Check(value)) return std::unexpected(wrong("bool", value));
      msgpack::write_bool(out, value == Py_True);
      return {};
    case ir::ScalarKind::Int: {
      // A bool is an int to Python; written as a bool, it reads back as the bool it was.
      if (PyBool_Check(value)) {
        msgpack::write_bool(out, value == Py_True);
        return {};
      }
      if (!is_int(value)) return std::unexpected(wrong("int", value));
      VOREL_TRY(n, integer(value));
      msgpack::write_int(out, n);
      return {};
    }
    case ir::ScalarKind::Float: {
      if (!PyFloat_Check(value) && !is_int(value)) return std::unexpected(wrong("float", value));
      const double d = PyFloat_AsDouble(value);
      if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // an int too large for a double is no float
        return std::unexpected(wrong("float", value));
      }
      msgpack::write_f64(out, d);
      return {};
    }
    case ir::ScalarKind::Str:
      if (!is_str(value)) return std::unexpected(wrong("str", value));
      return write_text(out, value);
    case ir::ScalarKind::Bytes:
      if (!PyBytes_Check(value)) return std::unexpected(wrong("bytes", value));
      return write_bytes(out, value);
  }
  core::broken("vorel: broken schema tree: unknown scalar kind");
}

Result<void> Writer::literal(const ir::Node::Literal& node, PyObject* value, Out& out) {
  VOREL_TRY(found, dump::literal(node, value));
  if (!found) {
    VOREL_TRY(allowed, literals(node));
    VOREL_TRY(shown, repr_of(value));
    return std::unexpected(schema_text(fmt::format("expected one of {}, got {}", allowed, shown)));
  }
  const auto& v = node.values[*found].value;
  if (const bool* b = std::get_if<bool>(&v)) {
    msgpack::write_bool(out, *b);
  } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
    msgpack::write_int(out, *n);
  } else {
    msgpack::write_str(out, std::get<std::string>(v));
  }
  return {};
}

Result<void> Writer::datetime(PyObject* value, Out& out) {
  const Values& values = schema_.values;
  VOREL_TRY(ok, instance(value, values.datetime.get()));
  if (!ok) return std::unexpected(wrong("datetime", value));
  VOREL_TRY(instant, values.utc_instant(value));
  if (instant) {
    msgpack::write_array(out, 2);
    msgpack::write_int(out, *instant);
    msgpack::write_int(out, 0);
    return {};
  }
  std::int64_t offset = 0;
  if (!at_utc(values, value)) {
    VOREL_TRY(seconds, utc_offset(values.names, value, "datetime"));
    offset = seconds;
  }
  Object delta = Object::steal(PyNumber_Subtract(value, values.epoch.get()));
  if (!delta) return raised();
  VOREL_TRY(us, microseconds(values.names, delta.get()));
  msgpack::write_array(out, 2);
  msgpack::write_int(out, us);
  msgpack::write_int(out, offset);
  return {};
}

Result<void> Writer::time(PyObject* value, Out& out) {
  const Values& values = schema_.values;
  VOREL_TRY(ok, instance(value, values.time.get()));
  if (!ok) return std::unexpected(wrong("time", value));
  VOREL_TRY(offset, utc_offset(values.names, value, "time"));
  msgpack::write_array(out, 2);
  const Names& names = values.names;
  VOREL_TRY(hour, int64_attribute(value, names.hour.get()));
  VOREL_TRY(minute, int64_attribute(value, names.minute.get()));
  VOREL_TRY(second, int64_attribute(value, names.second.get()));
  VOREL_TRY(microsecond, int64_attribute(value, names.microsecond.get()));
  msgpack::write_int(out, ((hour * 60 + minute) * 60 + second) * 1'000'000 + microsecond);
  msgpack::write_int(out, offset);
  return {};
}

Result<void> Writer::collection(const ir::Node::Collection& node, PyObject* value, Out& out) {
  if (node.set ? !PyFrozenSet_Check(value) : !is_tuple(value)) {
    return std::unexpected(wrong(node.set ? "frozenset" : "tuple", value));
  }
  if (node.sorted) {
    Pieces pieces;
    Object iterator = Object::steal(PyObject_GetIter(value));
    if (!iterator) return raised();
    while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
      const std::size_t start = pieces.buffer().size();
      VOREL_CHECK(put(node.item, item.get(), pieces.buffer()));
      pieces.mark(start);
    }
    if (PyErr_Occurred()) return raised();
    if (pieces.size() > kLongest) return std::unexpected(too_long("frozenset", pieces.size(), "items"));
    pieces.sort();
    msgpack::write_array(out, pieces.size());
    pieces.append_to(out);
    return {};
  }
  if (PyTuple_CheckExact(value)) {
    // A plain tuple's length is its items: no count to check against iteration.
    const Py_ssize_t n = PyTuple_Size(value);
    if (static_cast<std::uint64_t>(n) > kLongest) return std::unexpected(too_long("tuple", n, "items"));
    msgpack::write_array(out, static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) VOREL_CHECK(put(node.item, PyTuple_GetItem(value, i), out));
    return {};
  }
  const Py_ssize_t reported = PyObject_Size(value);
  if (reported < 0) return raised();
  const auto n = static_cast<std::uint64_t>(reported);
  if (n > kLongest) {
    VOREL_TRY(name, named(value));
    return std::unexpected(too_long(name, n, "items"));
  }
  msgpack::write_array(out, n);
  Object iterator = Object::steal(PyObject_GetIter(value));
  if (!iterator) return raised();
  std::uint64_t count = 0;
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
    if (++count > n) return std::unexpected(miscounted(value, n, count));
    VOREL_CHECK(put(node.item, item.get(), out));
  }
  if (PyErr_Occurred()) return raised();
  if (count != n) return std::unexpected(miscounted(value, n, count));
  return {};
}

Result<void> Writer::tuple(const ir::Node::Tuple& node, PyObject* value, Out& out) {
  const auto expected = [&] { return fmt::format("tuple of {}", node.items.size()); };
  if (!is_tuple(value)) return std::unexpected(wrong(expected(), value));
  const Py_ssize_t reported = PyObject_Size(value);
  if (reported < 0) return raised();
  const auto n = static_cast<Py_ssize_t>(node.items.size());
  // The items are the tuple's own, so a subclass's len() must agree with them too.
  if (reported != n || PyTuple_Size(value) != n) return std::unexpected(wrong(expected(), value));
  msgpack::write_array(out, node.items.size());
  for (Py_ssize_t i = 0; i < n; ++i) VOREL_CHECK(put(node.items[static_cast<std::size_t>(i)], PyTuple_GetItem(value, i), out));
  return {};
}

Result<void> Writer::pair(const ir::Node::Mapping& node, PyObject* key, PyObject* value, Out& out) {
  msgpack::write_array(out, 2);
  VOREL_CHECK(put(node.key, key, out));
  return put(node.value, value, out);
}

Result<void> Writer::mapping(const ir::Node::Mapping& node, PyObject* value, Out& out) {
  const Values& values = schema_.values;
  VOREL_TRY(ok, instance(value, values.mapping.get()));
  if (!ok) return std::unexpected(wrong("Mapping", value));
  if (PyDict_CheckExact(value) && !node.sorted) {
    // A dict's pairs go straight into the output, under a header of its size.
    const Py_ssize_t size = PyDict_Size(value);
    if (static_cast<std::uint64_t>(size) > kLongest) return std::unexpected(too_long("dict", size, "items"));
    msgpack::write_array(out, static_cast<std::uint64_t>(size));
    Py_ssize_t position = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    Py_ssize_t count = 0;
    while (PyDict_Next(value, &position, &k, &v)) {
      // Held while written: writing may run code that changes the dict.
      Object key = Object::borrow(k);
      Object item = Object::borrow(v);
      if (++count > size) break;
      VOREL_CHECK(pair(node, key.get(), item.get(), out));
    }
    if (count != size) return std::unexpected(miscounted(value, size, count));
    return {};
  }
  Object items = call_method(value, values.names.items.get());
  if (!items) return raised();
  Object iterator = Object::steal(PyObject_GetIter(items.get()));
  if (!iterator) return raised();
  Pieces pieces;
  Object zero = Object::steal(PyLong_FromLong(0));
  Object one = Object::steal(PyLong_FromLong(1));
  if (!zero || !one) return raised();
  while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
    Object k = Object::steal(PyObject_GetItem(item.get(), zero.get()));
    if (!k) return raised();
    Object v = Object::steal(PyObject_GetItem(item.get(), one.get()));
    if (!v) return raised();
    const std::size_t start = pieces.buffer().size();
    VOREL_CHECK(pair(node, k.get(), v.get(), pieces.buffer()));
    pieces.mark(start);
  }
  if (PyErr_Occurred()) return raised();
  if (pieces.size() > kLongest) {
    VOREL_TRY(name, named(value));
    return std::unexpected(too_long(name, pieces.size(), "items"));
  }
  if (node.sorted) pieces.sort();
  msgpack::write_array(out, pieces.size());
  pieces.append_to(out);
  return {};
}

Result<void> Writer::fields(ir::Index index, PyObject* value, bool tag, Out& out) {
  const ir::Node::Dataclass& node = *dataclass(node_at(schema_.tree, index));
  const Keys& keys = schema_.keys[index];
  PyObject* cls = schema_.classes[node.cls].get();
  VOREL_TRY(ok, instance(value, cls));
  if (!ok) return std::unexpected(wrong(node.name, value));
  // Only the message itself, the first dataclass entered, takes the reply target.
  const bool fill = reply_target_ && !entered;
  if (fill) entered = true;
  if (tag) {
    msgpack::write_array(out, 2);
    msgpack::write_str(out, node.name);
  }
  const std::size_t n = node.fields.size();
  msgpack::write_map(out, n);
  attributes::Reading reading(keys.read, cls, keys.fields, value);
  const ir::Field* const fields = node.fields.data();
  const Bytes* const written = keys.written.data();
  for (std::size_t i = 0; i < n; ++i) {
    const ir::Field& field = fields[i];
    out.append(written[i].data(), written[i].size());
    if (fill && field.name == "reply_to") {
      if (const auto* ref = node_at(schema_.tree, field.node).as<ir::Node::Ref>()) {
        target(out, *reply_target_);
        filled = true;
        answer = ref->message;
        continue;
      }
    }
    Object attribute = reading.get(i);
    if (!attribute) return raised();
    if (auto r = put(field.node, attribute.get(), out); !r) return std::unexpected(under(std::move(r.error()), field.name));
  }
  return {};
}

namespace {

// The alternative `chosen` finds for None, found by kinds alone where they decide it: the first
// that is none, when no alternative before it is a kind that could take None and none is an
// enumeration (tested first). None where they do not decide it.
std::optional<ir::Index> none_alternative(const ir::Tree& tree, const ir::Node::Union& node) {
  std::optional<ir::Index> found;
  for (ir::Index a : node.alternatives) {
    const ir::Node& alternative = node_at(tree, a);
    switch (alternative.kind()) {
      case ir::Kind::Scalar:
        if (!found && alternative.as<ir::Node::Scalar>()->scalar == ir::ScalarKind::None) found = a;
        break;
      case ir::Kind::Literal:
      case ir::Kind::Collection:
      case ir::Kind::Tuple:
      case ir::Kind::Never:
      case ir::Kind::Opaque:
        break;
      default:
        if (!found || alternative.kind() == ir::Kind::Enum) return std::nullopt;
    }
  }
  return found;
}

}  // namespace

Result<void> Writer::union_(const ir::Node::Union& node, PyObject* value, Out& out) {
  if (value == Py_None && node.tagged.empty()) {
    if (const auto none = none_alternative(schema_.tree, node)) return put(*none, value, out);
  }
  VOREL_TRY(choice, chosen(schema_, node, value));
  if (!choice) {
    VOREL_TRY(name, named(value));
    return std::unexpected(schema_text(fmt::format("{} is not an alternative of the union", name)));
  }
  if (choice->tagged) return fields(choice->node, value, true, out);
  return put(choice->node, value, out);
}

}  // namespace vorel::py::schema::dump
