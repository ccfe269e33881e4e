#include "py/definition.hpp"

#include <fmt/format.h>

#include <utility>

#include "py/actor.hpp"
#include "py/collections.hpp"
#include "py/errors.hpp"
#include "py/generic.hpp"
#include "py/node/body.hpp"
#include "py/node/context.hpp"
#include "py/once.hpp"
#include "py/options.hpp"
#include "py/refs.hpp"
#include "py/schema/failure.hpp"
#include "py/schema/introspect.hpp"

namespace vorel::py {
namespace {

// The replica count of a type: at least one copy, and only one for a pinned type. A configured
// type is held to the first rule too: with no copy, its writes could never be confirmed.
bool replicated(std::string_view name, const core::Options& o) {
  if (o.replicas == 0) {
    actor::value_error(fmt::format("{}: replicas is {}, so the state would live nowhere", name, o.replicas));
    return false;
  }
  if (o.replicas > 1 && o.pinned) {
    actor::value_error(fmt::format(
        "{}: replicas is {}, and a pinned type keeps its one copy on the node its key names", name, o.replicas));
    return false;
  }
  return true;
}

// The checks that name the type.
bool checked(const std::string& name, const core::Options& o) {
  if (!replicated(name, o)) return false;
  if (o.mailbox == std::uint64_t{0}) {
    actor::value_error(fmt::format("{}: mailbox is 0, so every message would be refused", name));
    return false;
  }
  if (!o.mailbox && o.wait) {
    actor::value_error(fmt::format(
        "{}: on_full is 'wait', and a mailbox without a bound is never full; set mailbox", name));
    return false;
  }
  return true;
}

std::optional<std::string> text_attribute(PyObject* body, const char* name) {
  Object value = attr(body, name);
  if (!value) return std::nullopt;
  return utf8(value.get());
}

bool parameter_refused(const std::string& name) {
  if (Object t = text(fmt::format("the parameter of {} must be annotated as Context[S, M]", name))) {
    PyErr_SetObject(PyExc_TypeError, t.get());
  }
  return false;
}

// The state and message types S and M of the body's one parameter, Context[S, M].
bool signature(const std::string& name, PyObject* body, const schema::Introspect& in, Object& s, Object& m) {
  auto annotations = in.parameters(body);
  if (!annotations) {
    schema::Failure failure = std::move(annotations.error());
    // A string annotation that names nothing is a fault of the type, named after it.
    if (failure.kind() == schema::Failure::Kind::Raised &&
        PyErr_GivenExceptionMatches(failure.exception(), PyExc_NameError)) {
      Object said = Object::steal(PyObject_Str(failure.exception()));
      auto why = said ? utf8(said.get()) : std::nullopt;
      if (!why) return false;
      failure = schema::Failure::schema(fmt::format("{}: {}", name, *why));
    }
    schema::raise(std::move(failure));
    return false;
  }
  if (annotations->size() != 1) return parameter_refused(name);
  PyObject* annotation = (*annotations)[0].get();
  auto origin = in.origin(annotation);
  if (!origin) {
    schema::raise(std::move(origin.error()));
    return false;
  }
  PyObject* context = context::type();
  if (context == nullptr) return false;
  if (origin->get() != context) return parameter_refused(name);
  auto arguments = in.args(annotation);
  if (!arguments) {
    schema::raise(std::move(arguments.error()));
    return false;
  }
  if (arguments->size() != 2) return parameter_refused(name);
  s = (*arguments)[0];
  m = (*arguments)[1];
  return true;
}

// The Python objects `Actor` and `DefaultedActor`: one shared handle each, and nothing else.

using Handle = std::shared_ptr<const Definition>;

Handle& handle(PyObject* self) { return body::record<Handle>(self); }
const Definition& held(PyObject* self) { return *handle(self); }

// A definition is shared by handle, so its references are reported to the collector only by the
// one object that holds it alone; reported from two holders they would be counted twice.
int actor_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const Handle& definition = handle(self);
  if (definition && definition.use_count() == 1) {
    Py_VISIT(definition->body.get());
    if (definition->initial) Py_VISIT(definition->initial->get());
  }
  return 0;
}

Object wrapped(PyTypeObject* tp, Handle definition) {
  return body::make<Handle>(reinterpret_cast<PyObject*>(tp), std::move(definition));
}

PyObject* actor_repr(PyObject* self) {
  const char* cls = held(self).initial ? "DefaultedActor" : "Actor";
  return text(fmt::format("{}({})", cls, held(self).name)).release();
}

Object optional_duration(const std::optional<core::Duration>& d) {
  return d ? actor::timedelta(*d) : Object::borrow(Py_None);
}

PyObject* get_name(PyObject* self, void*) { return text(held(self).name).release(); }
PyObject* get_body(PyObject* self, void*) { return Object::borrow(held(self).body.get()).release(); }
PyObject* get_pinned(PyObject* self, void*) { return PyBool_FromLong(held(self).options.pinned); }
PyObject* get_replicas(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(held(self).options.replicas); }
PyObject* get_write(PyObject* self, void*) { return text(core::text(held(self).options.write)).release(); }
PyObject* get_mailbox(PyObject* self, void*) {
  const auto& m = held(self).options.mailbox;
  return m ? PyLong_FromUnsignedLongLong(*m) : Object::borrow(Py_None).release();
}
PyObject* get_on_full(PyObject* self, void*) { return text(held(self).options.wait ? "wait" : "refuse").release(); }
PyObject* get_idle_after(PyObject* self, void*) { return optional_duration(held(self).options.idle_after).release(); }
PyObject* get_ask_timeout(PyObject* self, void*) {
  return optional_duration(held(self).options.ask_timeout).release();
}
PyObject* get_write_timeout(PyObject* self, void*) {
  return optional_duration(held(self).options.write_timeout).release();
}

// A new object of the outside package's Backoff at every read, so that no caller shares one.
PyObject* get_backoff(PyObject* self, void*) {
  const auto& b = held(self).options.backoff;
  if (!b) Py_RETURN_NONE;
  Object vorel = import("vorel");
  if (!vorel) return nullptr;
  Object cls = attr(vorel.get(), "Backoff");
  if (!cls) return nullptr;
  Object first = actor::timedelta(b->first);
  Object limit = first ? actor::timedelta(b->limit) : Object();
  Object factor = limit ? Object::steal(PyFloat_FromDouble(b->factor)) : Object();
  if (!factor) return nullptr;
  return call(cls.get(), first.get(), limit.get(), factor.get()).release();
}

PyObject* get_durable(PyObject* self, void*) {
  const auto& d = held(self).options.durable;
  if (!d) Py_RETURN_NONE;
  if (const auto* after = d->as_after()) return actor::timedelta(after->period).release();
  return text("write").release();
}

PyObject* get_initial(PyObject* self, void*) { return Object(*held(self).initial).release(); }

PyObject* configured(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "replicas", "write", nullptr};
  PyObject* name = nullptr;
  PyObject* replicas = nullptr;
  PyObject* write = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:configured", const_cast<char**>(keywords), &name, &replicas,
                                   &write)) {
    return nullptr;
  }
  if (!actor::is_str("name", name)) return nullptr;
  auto count = actor::count("replicas", replicas);
  if (!count || !actor::is_str("write", write)) return nullptr;
  auto level = actor::written(write);
  if (!level) return nullptr;
  auto new_name = utf8(name);
  if (!new_name) return nullptr;
  Definition made = Definition::configured(held(self), *std::move(new_name), *count, *level);
  if (!replicated(made.name, made.options)) return nullptr;
  return wrapped(Py_TYPE(self), std::make_shared<const Definition>(std::move(made))).release();
}

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

PyMethodDef methods[] = {
    {"configured", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configured)),
     METH_VARARGS | METH_KEYWORDS,
     "configured($self, name, replicas, write)\n--\n\nThe same type under another name, with the replicas and write "
     "level of a configured collection."},
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define VOREL_GETTER(name) {#name, get_##name, nullptr, nullptr, nullptr},
// The attributes both classes have, each read-only.
#define VOREL_ACTOR_GETTERS                                                                                      \
  VOREL_GETTER(name) VOREL_GETTER(body) VOREL_GETTER(pinned) VOREL_GETTER(replicas) VOREL_GETTER(write)          \
  VOREL_GETTER(mailbox) VOREL_GETTER(on_full) VOREL_GETTER(idle_after) VOREL_GETTER(ask_timeout)                 \
  VOREL_GETTER(write_timeout) VOREL_GETTER(backoff) VOREL_GETTER(durable)

PyGetSetDef actor_getset[] = {
    VOREL_ACTOR_GETTERS
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef defaulted_getset[] = {
    VOREL_ACTOR_GETTERS
    VOREL_GETTER(initial)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VOREL_ACTOR_GETTERS
#undef VOREL_GETTER

PyType_Slot actor_slots[] = {
    {Py_tp_doc, const_cast<char*>("An actor type whose keys are created only by `start`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Handle>)},
    {Py_tp_traverse, reinterpret_cast<void*>(actor_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(actor_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, actor_getset},
    {0, nullptr},
};

PyType_Slot defaulted_slots[] = {
    {Py_tp_doc, const_cast<char*>("An actor type whose keys are created on demand with `initial`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Handle>)},
    {Py_tp_traverse, reinterpret_cast<void*>(actor_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(actor_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, defaulted_getset},
    {0, nullptr},
};

constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec actor_spec = {"vorel._vorel.Actor", sizeof(body::Of<Handle>), 0, kFlags, actor_slots};
PyType_Spec defaulted_spec = {"vorel._vorel.DefaultedActor", sizeof(body::Of<Handle>), 0, kFlags, defaulted_slots};

Once actor_cell;
Once defaulted_cell;

bool instance(PyObject* object, PyObject* type) {
  return type != nullptr && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace

namespace actor {

PyObject* actor_type() {
  return actor_cell.get([] { return PyType_FromSpec(&actor_spec); });
}

PyObject* defaulted_type() {
  return defaulted_cell.get([] { return PyType_FromSpec(&defaulted_spec); });
}

}  // namespace actor

std::optional<Definition> Definition::new_(PyObject* body, core::Options options, std::optional<Object> initial) {
  auto module = text_attribute(body, "__module__");
  if (!module) return std::nullopt;
  auto qualname = text_attribute(body, "__qualname__");
  if (!qualname) return std::nullopt;
  std::string name = *module + ":" + *qualname;
  if (!checked(name, options)) return std::nullopt;
  Native native = collections::collection(name);

  PyObject* ref = refs::type();
  if (ref == nullptr) return std::nullopt;
  auto in = schema::Introspect::new_(Object::borrow(ref));
  if (!in) {
    schema::raise(std::move(in.error()));
    return std::nullopt;
  }
  Object s, m;
  if (!signature(name, body, *in, s, m)) return std::nullopt;
  Compiled state = actor::compiled(*in, s.get(), "state");
  if (!state) return std::nullopt;
  Compiled message = actor::compiled(*in, m.get(), "message");
  if (!message) return std::nullopt;
  return Definition{std::move(name),  Object::borrow(body), std::move(options), native,
                    std::move(state), std::move(message),   std::move(initial)};
}

Object Definition::object(Definition definition) {
  PyObject* type = definition.initial ? actor::defaulted_type() : actor::actor_type();
  if (type == nullptr) return Object();
  return wrapped(reinterpret_cast<PyTypeObject*>(type), std::make_shared<const Definition>(std::move(definition)));
}

std::shared_ptr<const Definition> Definition::of(PyObject* object) {
  PyObject* plain = actor::actor_type();
  PyObject* defaulted = plain ? actor::defaulted_type() : nullptr;
  if (defaulted == nullptr) return nullptr;
  if (instance(object, plain) || instance(object, defaulted)) {
    return handle(object);
  }
  PyErr_Format(PyExc_TypeError, "%s is not an actor type; decorate its body with @actor", type_name(object).c_str());
  return nullptr;
}

Definition Definition::configured(const Definition& definition, std::string name, std::uint64_t replicas,
                                  core::WriteLevel write) {
  Definition made = definition;
  made.name = std::move(name);
  made.options.replicas = replicas;
  made.options.write = write;
  return made;
}

}  // namespace vorel::py
