#include "py/actor.hpp"

#include <fmt/format.h>

#include <utility>

#include "py/node/body.hpp"
#include "py/once.hpp"
#include "py/options.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::actor {
namespace {

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
