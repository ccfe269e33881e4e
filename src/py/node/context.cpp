#include "py/node/context.hpp"

#include <fmt/format.h>

#include "py/awaited.hpp"
#include "py/generic.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/body.hpp"
#include "py/node/handed.hpp"
#include "py/node/schedule.hpp"
#include "py/once.hpp"
#include "py/refs.hpp"

namespace vorel::py {
namespace {

// A context kept past its run would act behind the key's later runs, and write what their bodies
// never see: it acts only while its own run goes on. False with the error set.
bool current(const Object& activation, std::uint64_t number) {
  Activation& a = Activation::of(activation.get());
  {
    auto s = a.state.lock();
    if (!s->closed && s->run && s->run->number == number && !s->run->over) return true;
  }
  PyErr_SetString(PyExc_RuntimeError,
                  fmt::format("{}/{}: this context belongs to a run of the body that has ended, and acts no more",
                              a.actor, a.key)
                      .c_str());
  return false;
}

}  // namespace
}  // namespace vorel::py

namespace vorel::py::context {
namespace {

struct Record {
  Object activation;
  std::shared_ptr<Node> node;
  std::uint64_t number = 0;
};

Record& of(PyObject* self) { return body::record<Record>(self); }
Activation& activation_of(PyObject* self) { return Activation::of(of(self).activation.get()); }

// Context[S] is Context[S, Never]: a body that reads no messages still has two type arguments, so
// every actor type is read the same way.
PyObject* class_getitem(PyObject* cls, PyObject* item) {
  std::vector<Object> arguments = generic::subscript(item);
  if (arguments.size() == 1) {
    Object typing = import("typing");
    if (!typing) return nullptr;
    Object never = attr(typing.get(), "Never");
    if (!never) return nullptr;
    arguments.push_back(std::move(never));
  }
  return generic::aliased(cls, arguments).release();
}

PyObject* key(PyObject* self, void*) { return text(activation_of(self).key).release(); }
PyObject* state_of(PyObject* self, void*) { return state::make(of(self).activation, of(self).number).release(); }
PyObject* inbox(PyObject* self, void*) {
  return messages::make(of(self).activation, of(self).number, Object()).release();
}

PyObject* itself(PyObject* self, void*) {
  Activation& a = activation_of(self);
  std::shared_ptr<const Definition> d = a.state.lock()->definition;
  return refs::make(refs::Ref{core::Target::entity(a.actor, a.key), d->message, of(self).node,
                              d->messages().tree.tagged_root})
      .release();
}

PyObject* system(PyObject* self, void*) { return of(self).node->system().release(); }

PyObject* become(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_SetString(PyExc_TypeError, "become() takes a behavior and an optional state");
    return nullptr;
  }
  if (!current(of(self).activation, of(self).number)) return nullptr;
  Object future = activation::become(of(self).activation, args[0], nargs == 2 ? args[1] : nullptr);
  if (!future) return nullptr;
  return awaited::make(std::move(future)).release();
}

PyObject* to_self(PyObject* self, PyObject* args, PyObject* kwargs) {
  Record& r = of(self);
  if (!current(r.activation, r.number)) return nullptr;
  return handed::to_self(r.activation, r.node, r.number, args, kwargs);
}

PyObject* ask(PyObject* self, PyObject* args, PyObject* kwargs) {
  Record& r = of(self);
  if (!current(r.activation, r.number)) return nullptr;
  return handed::ask(r.activation, r.node, r.number, args, kwargs);
}

PyObject* schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_Format(PyExc_TypeError, "schedule() takes name, delay, interval and message (%zd given)", nargs);
    return nullptr;
  }
  if (!current(of(self).activation, of(self).number)) return nullptr;
  return activation::schedule(of(self).activation, args[0], args[1], args[2], args[3]).release();
}

PyObject* schedules(PyObject* self, void*) { return activation::schedules(of(self).activation).release(); }

// A source without __aiter__ is taken as its own iterator, so that a bare __anext__ is enough.
PyObject* merge(PyObject* self, PyObject* source) {
  Object iterator = call_method(source, "__aiter__");
  if (!iterator) {
    PyErr_Clear();
    iterator = Object::borrow(source);
  }
  return messages::make(of(self).activation, of(self).number, std::move(iterator)).release();
}

PyMethodDef methods[] = {
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS,
     "__class_getitem__($cls, item)\n--\n\n`Context[S]` is `Context[S, Never]`: a body that takes no message at all."},
    {"become", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(become)), METH_FASTCALL,
     "become($self, behavior, state=None, /)\n--\n\nHand the key to another actor type, which runs it from the next "
     "read of `inbox` or `merge` on."},
    {"to_self", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_self)), METH_VARARGS | METH_KEYWORDS,
     "to_self($self, work, mapper=None, /, *, failed=None)\n--\n\nAwait `work` beside the body, and tell this entity "
     "what it gives, through `mapper` when there is one, or what\n`failed` makes of what it raised."},
    {"ask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ask)), METH_VARARGS | METH_KEYWORDS,
     "ask($self, target, msg, /, mapper, *, failed=None)\n--\n\nSend `msg`, an `Askable`, to `target`, and tell this "
     "entity what `mapper` makes of the answer, or what\n`failed` makes of what the `ask` raised."},
    {"schedule", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schedule)), METH_FASTCALL,
     "schedule($self, name, delay, interval, message, /)\n--\n\nTell this entity `message` `delay` from now, and then "
     "every `interval`, while the key is active; once, without\n`interval`. It takes the place of the schedule named "
     "`name`, and resolves to it once the replicas have it."},
    {"merge", merge, METH_O, "merge($self, source)\n--\n\nMessages and items of `source` in arrival order, until `source` ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"key", key, nullptr, nullptr, nullptr},
    {"state", state_of, nullptr, "The state of the key: what was saved last, and the way to save another.", nullptr},
    {"inbox", inbox, nullptr, "Messages in arrival order. Ends after `idle_after` without messages: the type's, or the system's.", nullptr},
    {"self", itself, nullptr, "Reference to this entity, to hand to other actors.", nullptr},
    {"system", system, nullptr, "The system of the node where this activation runs.", nullptr},
    {"schedules", schedules, nullptr,
     "The schedules of the key that are not over, by name, in the order they were made.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "The context of one run of the body of an activation: its key, its state, and the messages that reach it.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Context", sizeof(body::Of<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

body::Type<Record> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

Object make(const Object& activation, std::shared_ptr<Node> node, std::uint64_t number) {
  return kind.make(Record{activation, std::move(node), number});
}

}  // namespace vorel::py::context

namespace vorel::py::state {
namespace {

struct Record {
  Object activation;
  std::uint64_t number = 0;
};

const Object& of(PyObject* self) { return body::record<Record>(self).activation; }

// The activation, while the run this state was given to goes on; null with the error set.
const Object* acting(PyObject* self) {
  const Record& r = body::record<Record>(self);
  return current(r.activation, r.number) ? &r.activation : nullptr;
}

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

PyObject* value(PyObject* self, void*) { return activation::value(of(self)).release(); }

PyObject* awaited_of(Object future) {
  if (!future) return nullptr;
  return awaited::make(std::move(future)).release();
}

PyObject* set(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"state", nullptr};
  PyObject* value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set", const_cast<char**>(names), &value)) return nullptr;
  const Object* a = acting(self);
  if (a == nullptr) return nullptr;
  return awaited_of(activation::stored(*a, value, false));
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"change", nullptr};
  PyObject* change = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:update", const_cast<char**>(names), &change)) return nullptr;
  if (acting(self) == nullptr) return nullptr;
  Object old = activation::value(of(self));
  if (!old) return nullptr;
  Object result = call(change, old.get());
  if (!result) return nullptr;
  return awaited_of(activation::update(of(self), result.get()));
}

PyObject* delete_(PyObject* self, PyObject*) {
  const Object* a = acting(self);
  if (a == nullptr) return nullptr;
  return awaited_of(activation::deleted(*a));
}

PyMethodDef methods[] = {
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set)), METH_VARARGS | METH_KEYWORDS,
     "set($self, state)\n--\n\nStore `state` on the replicas and return once the type's write level confirms it."},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update)), METH_VARARGS | METH_KEYWORDS,
     "update($self, change)\n--\n\nStore what `change` makes of the last saved state, and answer it once it is "
     "confirmed."},
    {"delete", delete_, METH_NOARGS,
     "delete($self)\n--\n\nDelete the state from the replicas and return once the type's write level confirms it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"value", value, nullptr, "The last saved state.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The state of one activation, as the body reads and writes it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.State", sizeof(body::Of<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

body::Type<Record> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

Object make(const Object& activation, std::uint64_t number) { return kind.make(Record{activation, number}); }

}  // namespace vorel::py::state

namespace vorel::py::messages {
namespace {

struct Record {
  Object activation;
  std::uint64_t number = 0;
  Object source;  // the iterator merged with the messages; null for the inbox alone
};

PyObject* aiter(PyObject* self) { return Py_NewRef(self); }

PyObject* anext(PyObject* self) {
  Record& r = body::record<Record>(self);
  return activation::anext(r.activation, r.number, r.source.get()).release();
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The messages of an activation, on their own or merged with a source the body brought.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_am_aiter, reinterpret_cast<void*>(aiter)},
    {Py_am_anext, reinterpret_cast<void*>(anext)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Inbox", sizeof(body::Of<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

body::Type<Record> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

Object make(const Object& activation, std::uint64_t number, Object source) {
  return kind.make(Record{activation, number, std::move(source)});
}

}  // namespace vorel::py::messages
