#include "py/actor.hpp"

#include <fmt/format.h>

#include <utility>

#include "core/collections/native.hpp"
#include "core/debug_form.hpp"
#include "py/node/body.hpp"
#include "py/once.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::actor {
namespace {

Object timedelta_class() {
  Object datetime = import("datetime");
  if (!datetime) return datetime;
  return attr(datetime.get(), "timedelta");
}

// The conversion's refusal of an object of the wrong type, in the words the module uses elsewhere.
void expected(const char* what, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %s", what, type_name(value).c_str());
}

// A whole attribute of a timedelta; its range is the class's own, well inside 64 bits.
std::optional<long long> field(PyObject* value, const char* name) {
  Object v = attr(value, name);
  if (!v) return std::nullopt;
  const long long n = PyLong_AsLongLong(v.get());
  if (n == -1 && PyErr_Occurred()) return std::nullopt;
  return n;
}

std::optional<bool> printable(Py_UCS4 c) {
  Object one = Object::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!one) return std::nullopt;
  Object answer = call_method(one.get(), "isprintable");
  if (!answer) return std::nullopt;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return std::nullopt;
  return truth != 0;
}

// Compares exactly, whatever the str holds (lone surrogates and NULs included), and never raises.
bool equals(PyObject* text, const char* ascii) { return PyUnicode_CompareWithASCIIString(text, ascii) == 0; }

// A refusal of a text option: "{label} is {debug form}, {rest}".
void refused(const char* label, PyObject* value, std::string_view rest) {
  auto shown = debug(value);
  if (shown) value_error(fmt::format("{} is {}, {}", label, *shown, rest));
}

bool is_bool(const char* label, PyObject* value) {
  if (PyBool_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s is %R, not a bool", label, value);
  return false;
}

bool given(PyObject* value) { return value != nullptr && value != Py_None; }

// A duration option: unset when not given.
bool optional_period(const char* label, PyObject* value, std::optional<core::Duration>& out) {
  if (!given(value)) return true;
  out = period(label, value);
  return out.has_value();
}

std::optional<core::Durability> durability(PyObject* value) {
  constexpr const char* kRest = "not 'write', a timedelta or None";
  if (PyUnicode_Check(value)) {
    if (equals(value, "write")) return core::Durability::write();
    refused("durable", value, kRest);
    return std::nullopt;
  }
  Object cls = timedelta_class();
  if (!cls) return std::nullopt;
  const int is = PyObject_IsInstance(value, cls.get());
  if (is < 0) return std::nullopt;
  if (is == 0) {
    PyErr_Format(PyExc_TypeError, "durable is %S, %s", value, kRest);
    return std::nullopt;
  }
  auto after = period("durable", value);
  if (!after) return std::nullopt;
  return core::Durability::after(*after);
}

// The arguments of one call of `actor`, as given (borrowed; null when left out).
struct Given {
  PyObject* pinned = nullptr;
  PyObject* replicas = nullptr;
  PyObject* write = nullptr;
  PyObject* mailbox = nullptr;
  PyObject* on_full = nullptr;
  PyObject* idle_after = nullptr;
  PyObject* ask_timeout = nullptr;
  PyObject* write_timeout = nullptr;
  PyObject* backoff = nullptr;
  PyObject* durable = nullptr;
};

// The options in the order their refusals are reported: the types of the arguments in signature
// order first, then each value.
std::optional<core::Options> parse(const Given& g) {
  core::Options o;
  if (g.pinned != nullptr) {
    if (!is_bool("pinned", g.pinned)) return std::nullopt;
    o.pinned = g.pinned == Py_True;
  }
  std::optional<std::uint64_t> replicas;
  if (given(g.replicas)) {
    replicas = count("replicas", g.replicas);
    if (!replicas) return std::nullopt;
  }
  if (g.write != nullptr && !is_str("write", g.write)) return std::nullopt;
  if (given(g.mailbox)) {
    o.mailbox = count("mailbox", g.mailbox);
    if (!o.mailbox) return std::nullopt;
  }
  if (g.on_full != nullptr && !is_str("on_full", g.on_full)) return std::nullopt;

  if (g.write != nullptr) {
    auto level = written(g.write);
    if (!level) return std::nullopt;
    o.write = *level;
  }
  if (g.on_full != nullptr) {
    if (equals(g.on_full, "wait")) {
      o.wait = true;
    } else if (!equals(g.on_full, "refuse")) {
      refused("on_full", g.on_full, "not one of 'refuse', 'wait'");
      return std::nullopt;
    }
  }
  if (!optional_period("idle_after", g.idle_after, o.idle_after) ||
      !optional_period("ask_timeout", g.ask_timeout, o.ask_timeout) ||
      !optional_period("write_timeout", g.write_timeout, o.write_timeout)) {
    return std::nullopt;
  }
  if (given(g.backoff)) {
    o.backoff = backed_off(g.backoff);
    if (!o.backoff) return std::nullopt;
  }
  if (given(g.durable)) {
    o.durable = durability(g.durable);
    if (!o.durable) return std::nullopt;
  }
  // Name-dependent checks (replicas 0, pinned with more than one) wait for the body.
  o.replicas = replicas ? *replicas : (o.pinned ? 1 : 3);
  return o;
}

PyObject* defined(PyObject* body, core::Options options, std::optional<Object> initial) {
  auto definition = Definition::new_(body, std::move(options), std::move(initial));
  if (!definition) return nullptr;
  return Definition::object(*std::move(definition)).release();
}

// The decorator `actor(...)` gives without a body.

struct Decorator {
  core::Options options;
  std::optional<Object> initial;
};

Decorator& decorator(PyObject* self) { return body::record<Decorator>(self); }

int decorator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (decorator(self).initial) Py_VISIT(decorator(self).initial->get());
  return 0;
}

// Each call builds a new type from its own copy of the options.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"body", nullptr};
  PyObject* body = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__call__", const_cast<char**>(keywords), &body)) return nullptr;
  return defined(body, decorator(self).options, decorator(self).initial);
}

PyType_Slot decorator_slots[] = {
    {Py_tp_doc, const_cast<char*>("`@actor(...)` before it meets the body it decorates.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Decorator>)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {0, nullptr},
};

PyType_Spec decorator_spec = {
    "vorel._vorel.Decorator",
    sizeof(body::Of<Decorator>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decorator_slots,
};

Once decorator_cell;

PyObject* make_decorator(core::Options options, std::optional<Object> initial) {
  PyObject* t = decorator_type();
  if (t == nullptr) return nullptr;
  return body::make<Decorator>(t, Decorator{std::move(options), std::move(initial)}).release();
}

PyObject* actor_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"",        "initial",     "pinned",        "replicas", "write",   "mailbox", "on_full",
                                   "idle_after", "ask_timeout", "write_timeout", "backoff",  "durable", nullptr};
  PyObject* body = nullptr;
  PyObject* initial = nullptr;
  Given g;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOOOOOOO:actor", const_cast<char**>(keywords), &body,
                                   &initial, &g.pinned, &g.replicas, &g.write, &g.mailbox, &g.on_full, &g.idle_after,
                                   &g.ask_timeout, &g.write_timeout, &g.backoff, &g.durable)) {
    return nullptr;
  }
  auto options = parse(g);
  if (!options) return nullptr;
  // Absent and None differ: None is a default initial state of None.
  std::optional<Object> kept;
  if (initial != nullptr) kept = Object::borrow(initial);
  if (given(body)) return defined(body, *std::move(options), std::move(kept));
  return make_decorator(*std::move(options), std::move(kept));
}

}  // namespace

void value_error(const std::string& message) {
  if (Object t = text(message)) PyErr_SetObject(PyExc_ValueError, t.get());
}

bool is_str(const char* label, PyObject* value) {
  if (PyUnicode_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s is %R, not a str", label, value);
  return false;
}

std::optional<std::uint64_t> count(const char* label, PyObject* value) {
  if (!PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s is %R, not an int", label, value);
    return std::nullopt;
  }
  Object index = Object::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return n;
}

std::optional<core::Duration> period(const char* label, PyObject* value) {
  Object cls = timedelta_class();
  if (!cls) return std::nullopt;
  const int is = PyObject_IsInstance(value, cls.get());
  if (is < 0) return std::nullopt;
  if (is == 0) {
    expected("a timedelta", value);
    return std::nullopt;
  }
  // A timedelta keeps its sign in `days` alone: seconds and microseconds are never negative.
  auto days = field(value, "days");
  auto seconds = days ? field(value, "seconds") : std::nullopt;
  auto micros = seconds ? field(value, "microseconds") : std::nullopt;
  if (!micros) return std::nullopt;
  if (*days < 0) {
    PyErr_Format(PyExc_ValueError, "%s is %S, which is negative", label, value);
    return std::nullopt;
  }
  return core::Duration{static_cast<std::uint64_t>(*days) * 86'400 + static_cast<std::uint64_t>(*seconds),
                        static_cast<std::uint32_t>(*micros) * 1'000};
}

std::optional<core::Backoff> backed_off(PyObject* value) {
  Object first = attr(value, "first");
  if (!first) return std::nullopt;
  auto first_delay = period("backoff.first", first.get());
  if (!first_delay) return std::nullopt;
  Object limit = attr(value, "limit");
  if (!limit) return std::nullopt;
  auto limit_delay = period("backoff.limit", limit.get());
  if (!limit_delay) return std::nullopt;
  Object factor = attr(value, "factor");
  if (!factor) return std::nullopt;
  const double f = PyFloat_AsDouble(factor.get());
  if (f == -1.0 && PyErr_Occurred()) return std::nullopt;
  // A factor that is not above zero would retry at once, for ever: refused like a negative delay.
  if (!(f > 0.0)) {
    Object shown = Object::steal(PyFloat_FromDouble(f));
    Object r = shown ? Object::steal(PyObject_Repr(shown.get())) : Object();
    auto t = r ? utf8(r.get()) : std::nullopt;
    if (t) value_error(fmt::format("backoff.factor is {}, which is not above zero", *t));
    return std::nullopt;
  }
  return core::Backoff{f, *first_delay, *limit_delay};
}

std::optional<core::WriteLevel> written(PyObject* text) {
  for (std::size_t i = 0; i < core::kWriteLevels.size(); ++i) {
    if (equals(text, core::kWriteLevels[i].data())) return static_cast<core::WriteLevel>(i);
  }
  refused("write", text, "not one of 'one', 'majority', 'all'");
  return std::nullopt;
}

std::optional<std::string> debug(PyObject* text) {
  const Py_ssize_t n = PyUnicode_GetLength(text);
  if (n < 0) return std::nullopt;
  std::string out = "\"";
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return std::nullopt;
    bool prints = true;
    if (c >= 0x80) {
      // What prints beyond ASCII is the interpreter's judgement, so refusals read as the Python
      // package's own texts do.
      auto p = printable(c);
      if (!p) return std::nullopt;
      prints = *p;
    }
    core::debug_char(out, c, prints);
  }
  out += '"';
  return out;
}

Compiled compiled(const schema::Introspect& in, PyObject* hint, std::string_view label) {
  auto built = schema::Schema::compiled(in, hint, false);
  if (built) {
    auto made = schema::object(*std::move(built));
    if (made) return *std::move(made);
    schema::raise(std::move(made.error()));
    return Object();
  }
  schema::Failure failure = std::move(built.error());
  if (failure.kind() == schema::Failure::Kind::Schema) {
    failure = schema::Failure::schema(fmt::format("{}: {}", label, failure.text()));
  }
  schema::raise(std::move(failure));
  return Object();
}

Object timedelta(core::Duration duration) {
  Object cls = timedelta_class();
  if (!cls) return cls;
  Object days = Object::steal(PyLong_FromLong(0));
  Object seconds = Object::steal(PyLong_FromUnsignedLongLong(duration.seconds));
  Object micros = Object::steal(PyLong_FromUnsignedLong(duration.nanos / 1'000));
  if (!days || !seconds || !micros) return Object();
  return call(cls.get(), days.get(), seconds.get(), micros.get());
}

PyObject* decorator_type() {
  return decorator_cell.get([] { return PyType_FromSpec(&decorator_spec); });
}

PyMethodDef functions[] = {
    {"actor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(actor_function)),
     METH_VARARGS | METH_KEYWORDS,
     "actor(body=None, /, *, initial=..., pinned=False, replicas=None, write=\"majority\", mailbox=None, "
     "on_full=\"refuse\", idle_after=None, ask_timeout=None, write_timeout=None, backoff=None, durable=None)\n--\n\n"
     "Define an actor type from its body.\n\nThe type is named after where its body lives, `module:qualname`. That "
     "is what nodes tell each other, and how a\nnode that never used the type finds it: every member of a cluster "
     "runs the same code."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vorel::py::actor

namespace vorel::py::collections {

Native collection(std::string_view name) { return core::collections::collection(name); }

}  // namespace vorel::py::collections
