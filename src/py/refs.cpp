#include "py/refs.hpp"

#include <fmt/format.h>

#include <string>

#include "core/siphash.hpp"
#include "py/awaited.hpp"
#include "py/generic.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/body.hpp"
#include "py/once.hpp"
#include "py/schema/dump.hpp"

namespace vorel::py::refs {
namespace {

Ref& record(PyObject* self) { return body::record<Ref>(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(record(self).schema.get());
  return 0;
}

int clear(PyObject* self) {
  record(self).schema = Object();
  return 0;
}

PyObject* repr(PyObject* self) {
  const std::optional<core::Target>& target = record(self).target;
  std::string text;
  if (!target) {
    text = "Ref(nobody)";
  } else if (const auto* e = target->as_entity()) {
    text = fmt::format("Ref({}/{})", e->actor, e->key);
  } else {
    const auto* r = target->as_reply();
    text = fmt::format("Ref(reply {} to {})", r->id, r->node.address ? *r->node.address : std::string("local"));
  }
  return py::text(text).release();
}

PyObject* compare(PyObject* a, PyObject* b, int op) {
  const Ref* left = of(a);
  const Ref* right = of(b);
  if ((op != Py_EQ && op != Py_NE) || left == nullptr || right == nullptr) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = left->target == right->target;
  return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t hash_of(PyObject* self) { return static_cast<Py_hash_t>(hash(record(self).target)); }

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

// The ref's node, unless it has stopped or the caller is not on its loop's thread; null with the
// RuntimeError set.
Node* live_node(const Ref& ref, const char* call) {
  if (!ref.node || ref.node->is_stopped()) {
    PyErr_SetString(PyExc_RuntimeError, kStopped);
    return nullptr;
  }
  if (!ref.node->on_loop_thread(call)) return nullptr;
  return ref.node.get();
}

// Hands an encoded message to its target.
bool send(const Ref& ref, Node& node, core::Bytes bytes, std::optional<core::Target> reply) {
  if (ref.target->as_reply() != nullptr) {
    // A body that tells the reply target of the message it handles has answered it: a failure of
    // the body later must not answer it a second time.
    if (auto running = node.runs.running()) {
      Activation& a = Activation::of(running->first.get());
      auto s = a.state.lock();
      if (s->run && s->run->number == running->second && s->run->current && s->run->current->reply == *ref.target) {
        s->run->replied = true;
      }
    }
    return node.answer(*ref.target, core::Outcome{core::Outcome::Value{std::move(bytes)}});
  }
  const auto* e = ref.target->as_entity();
  core::Chain chain = reply ? node.chain() : core::Chain();
  return node.hand(core::Command{core::Deliver{e->actor, e->key, std::move(bytes), std::move(reply), std::move(chain)}});
}

PyObject* tell(PyObject* self, PyObject* message) {
  const Ref& ref = record(self);
  if (!ref.target) Py_RETURN_NONE;
  Node* node = live_node(ref, "Ref.tell");
  if (node == nullptr) return nullptr;
  const schema::Schema* s = schema::held(ref.schema.get());
  core::Bytes bytes;
  schema::dump::Writer writer(*s);
  if (auto w = writer.write(ref.messages, message, bytes); !w) return schema::raise(std::move(w.error()));
  if (!send(ref, *node, std::move(bytes), std::nullopt)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* ask(PyObject* self, PyObject* message) {
  const Ref& ref = record(self);
  if (!ref.target) {
    PyErr_SetString(PyExc_RuntimeError, "nobody is asked: this ref reaches nothing");
    return nullptr;
  }
  Node* node = live_node(ref, "Ref.ask");
  if (node == nullptr) return nullptr;
  const std::int64_t id = node->replies.lock()->take_id();
  core::Target reply = core::Target::reply(node->id(), id);
  const schema::Schema* s = schema::held(ref.schema.get());
  core::Bytes bytes;
  schema::dump::Writer writer(*s, reply);
  if (auto w = writer.write(ref.messages, message, bytes); !w) return schema::raise(std::move(w.error()));
  if (!writer.filled) {
    Object r = Object::steal(PyObject_Repr(message));
    if (r) PyErr_Format(PyExc_TypeError, "%U has no reply_to to answer to; a message sent by ask is an Askable", r.get());
    return nullptr;
  }
  Object future = node->future();
  if (!future) return nullptr;
  node->waited(id, future, ref.schema, writer.answer);
  // An ask that could not be sent must not stay pending with nobody to settle it.
  if (!node->armed(id, node->ask_seconds(*ref.target)) || !send(ref, *node, std::move(bytes), reply)) {
    PyObject* raised = PyErr_GetRaisedException();
    node->forget(id);
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  return awaited::make(std::move(future), ref.node, id).release();
}

// The ref that reaches nobody: a schema of None, so that writing it as a reply_to needs no system.
// Made once: a ref never changes, and messages make one per instance as the default of their reply_to.
Once nobody_ref;

PyObject* nobody(PyObject*, PyObject*) {
  PyObject* ref = nobody_ref.get([]() -> PyObject* {
    auto compiled = schema::Schema::of(Py_None, false);
    if (!compiled) return schema::raise(std::move(compiled.error()));
    const core::schema::ir::Index root = compiled->tree.root;
    auto held = schema::object(*std::move(compiled));
    if (!held) return schema::raise(std::move(held.error()));
    return make(Ref{std::nullopt, *std::move(held), nullptr, root}).release();
  });
  return Object::borrow(ref).release();
}

PyMethodDef methods[] = {
    {"ask", ask, METH_O,
     "ask($self, msg)\n--\n\nSend `msg`, an `Askable`, with a `reply_to` of its own, and wait for the value told to "
     "it."},
    {"tell", tell, METH_O, "tell($self, msg)\n--\n\nSend `msg` without waiting. Delivery is at most once."},
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "A ref created by a system, which is the only kind that can be serialized.\n\n"
    "Two refs to the same target are equal: what a ref carries besides it is the way to reach it from here. The "
    "schema\nit holds is the one its messages are written with, and `messages` is the node of that tree they travel "
    "as.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Ref>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(compare)},
    {Py_tp_hash, reinterpret_cast<void*>(hash_of)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Ref",
    sizeof(body::Of<Ref>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

body::Type<Ref> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

const Ref* of(PyObject* o) {
  PyObject* t = type();
  if (t == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(t)) ? &record(o) : nullptr;
}

PyMethodDef functions[] = {
    {"nobody", nobody, METH_NOARGS,
     "nobody()\n--\n\nThe ref that reaches nobody, which is the `reply_to` of an `Askable` that no `ask` sent."},
    {nullptr, nullptr, 0, nullptr},
};

Object make(Ref ref) { return kind.make(std::move(ref)); }

std::int64_t hash(const std::optional<core::Target>& target) {
  core::SipHasher h = core::SipHasher::sip13();
  h.write_u64(target ? 1 : 0);
  if (target) core::feed(h, *target);
  const auto digest = static_cast<std::int64_t>(h.finish());
  return digest == -1 ? -2 : digest;
}

}  // namespace vorel::py::refs
