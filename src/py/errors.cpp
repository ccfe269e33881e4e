#include "py/errors.hpp"

#include <array>
#include <string>

#include "py/once.hpp"

namespace vorel::py::errors {
namespace {

struct Spec {
  const char* name;
  const char* dotted;
  const char* doc;
  PyObject* (*base)();
};

PyObject* type_error() { return PyExc_TypeError; }
PyObject* value_error() { return PyExc_ValueError; }
PyObject* exception() { return PyExc_Exception; }

constexpr std::array<Spec, static_cast<int>(Class::Count_)> kSpecs = {{
    {"SchemaError", "_vorel.SchemaError",
     "A state or message type cannot be serialized. The message names the path of the field.", type_error},
    {"NotStarted", "_vorel.NotStarted", "`ask` to a key that does not exist, of a type without a default `initial`.",
     exception},
    {"UnknownActor", "_vorel.UnknownActor",
     "The node that owns the key does not have the actor type: it runs a version of the code without it.\n\n"
     "Members of a cluster run the same code, so this lasts as long as a deploy that brings the type in.",
     exception},
    {"MailboxFull", "_vorel.MailboxFull",
     "`ask` to an activation whose bounded mailbox is full, of a type that refuses (`on_full=\"refuse\"`).",
     exception},
    {"Unavailable", "_vorel.Unavailable",
     "The owner is unreachable, replicas are insufficient, or the owner is changing.\n\n"
     "The message may or may not have been processed.",
     exception},
    {"Refused", "_vorel.Refused",
     "The node or client could not join the cluster: different cluster name, limits, or protocol version.",
     exception},
    {"MessageTooLarge", "_vorel.MessageTooLarge",
     "A message, an initial state or an answer is larger than `Limits.message`, the most one message between two "
     "nodes carries.\n\nNothing of it was sent. It is refused wherever the key is, on the node that owns it too. A "
     "write of a state (`state.set`, `state.update`, `become`) raises it when a field has a name that leaves no room "
     "in a message for its data; a larger value is not refused, it travels across as many messages as it takes.",
     value_error},
    {"ReentrancyError", "_vorel.ReentrancyError",
     "`ask` to a key whose body is waiting, down the chain of asks this one belongs to, for its answer: the key "
     "would never read the message. The message names the cycle.\n\nRaised at once, where waiting would end only "
     "at the deadline.",
     exception},
    {"ActorFailed", "_vorel.ActorFailed",
     "The body raised while processing the message of an `ask`.\n\nThe exception may have happened on another "
     "node, so only its class name and text are kept.",
     exception},
    {"Fencing", "_vorel.Fencing",
     "Another owner took the key. It never reaches the body: the activation ends on it.", exception},
}};

std::array<Once, static_cast<int>(Class::Count_)> cells;

}  // namespace

const char* name(Class c) { return kSpecs[static_cast<int>(c)].name; }

PyObject* get(Class c) {
  return cells[static_cast<int>(c)].get([c] {
    const Spec& s = kSpecs[static_cast<int>(c)];
    PyObject* t = PyErr_NewExceptionWithDoc(s.dotted, s.doc, s.base(), nullptr);
    if (t == nullptr) {
      Object cause = Object::steal(PyErr_GetRaisedException());
      Object text = cause ? Object::steal(PyObject_Str(cause.get())) : Object();
      const char* detail = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
      std::string message = "Failed to initialize new exception type.";
      if (detail != nullptr) {
        message += " ";
        message += detail;
      }
      Py_FatalError(message.c_str());
    }
    return t;
  });
}

PyObject* raise(Class c, const char* text) {
  PyErr_SetString(get(c), text);
  return nullptr;
}

Object make(Class c, std::string_view text) { return make(get(c), text); }

Object make(PyObject* cls, std::string_view message) {
  if (cls == nullptr) return Object();
  Object t = text(message);
  if (!t) return t;
  return call(cls, t.get());
}

}  // namespace vorel::py::errors
