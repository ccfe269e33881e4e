#include "py/node/observe.hpp"

#include <fmt/format.h>

#include "py/node/identity.hpp"

namespace vorel::py::observe {
namespace {

Object built(Event event, const std::vector<Object>& arguments) {
  Object vorel = import("vorel");
  if (!vorel) return vorel;
  Object cls = attr(vorel.get(), kNames[static_cast<std::size_t>(event)]);
  if (!cls) return cls;
  Object args = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
  for (std::size_t i = 0; args && i < arguments.size(); ++i) {
    PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), Object(arguments[i]).release());
  }
  if (!args) return args;
  return Object::steal(PyObject_CallObject(cls.get(), args.get()));
}

const char* direction(bool out) { return out ? "out" : "in"; }

const char* kind_text(observed::Kind kind) {
  switch (kind) {
    case observed::Kind::Unavailable: return "unavailable";
    case observed::Kind::Fenced: return "fenced";
    case observed::Kind::TooLarge: return "too_large";
  }
  return "unavailable";
}

Object status(core::membership::Status s) { return text(core::membership::status_text(s)); }

Object keys_tuple(const std::vector<std::string>& keys) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
  for (std::size_t i = 0; out && i < keys.size(); ++i) {
    Object k = text(keys[i]);
    if (!k) return k;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), k.release());
  }
  return out;
}

// The positional arguments of the event's class; an empty list with the error set when one of
// them could not be made.
std::vector<Object> arguments_of(const Observed& observed) {
  struct Visit {
    std::vector<Object> operator()(const observed::MemberChanged& e) const {
      return {identity::of(e.node), status(e.status),
              e.previous ? status(*e.previous) : Object::borrow(Py_None)};
    }
    std::vector<Object> operator()(const observed::WriteFailed& e) const {
      return {text(e.actor), text(e.key), text(e.write ? "write" : "activate"), text(kind_text(e.kind)),
              text(e.reason)};
    }
    std::vector<Object> operator()(const observed::HandoffStarted& e) const {
      return {text(e.actor), text(direction(e.out))};
    }
    std::vector<Object> operator()(const observed::HandoffEnded& e) const {
      return {text(e.actor), text(direction(e.out))};
    }
    std::vector<Object> operator()(const observed::KeysGivenUp& e) const {
      return {text(e.actor), text(direction(true)), keys_tuple(e.keys)};
    }
    std::vector<Object> operator()(const observed::ConnectionLost& e) const { return {identity::of(e.node)}; }
    std::vector<Object> operator()(const observed::MessageDropped& e) const {
      return {text(e.actor), text(e.key), text(e.reason)};
    }
  };
  return std::visit(Visit{}, observed);
}

}  // namespace

Object observing(PyObject* given) {
  if (given == nullptr || given == Py_None) {
    Object vorel = import("vorel");
    Object logging = vorel ? attr(vorel.get(), "LoggingObserver") : Object();
    return logging ? call(logging.get()) : Object();
  }
  if (PyCallable_Check(given)) return Object::borrow(given);
  Object shown = Object::steal(PyObject_Repr(given));
  auto r = shown ? utf8(shown.get()) : std::nullopt;
  if (r) {
    PyErr_SetString(PyExc_TypeError, fmt::format("observer is {}, which cannot be called with an event", *r).c_str());
  }
  return Object();
}

Event event_of(const Observed& observed) {
  constexpr Event kByVariant[] = {Event::MemberChanged,  Event::WriteFailed,    Event::HandoffStarted,
                                  Event::HandoffEnded,   Event::HandoffEnded,   Event::ConnectionLost,
                                  Event::MessageDropped};
  static_assert(std::size(kByVariant) == std::variant_size_v<Observed>);
  return kByVariant[observed.index()];
}

void deliver(PyObject* loop, PyObject* observer, Event event, const std::vector<Object>& arguments) {
  Object made = built(event, arguments);
  if (!made || !call_method(loop, "call_soon", observer, made.get())) PyErr_Clear();
}

void deliver(PyObject* loop, PyObject* observer, const Observed& observed) {
  std::vector<Object> arguments = arguments_of(observed);
  for (const Object& a : arguments) {
    if (!a) {
      PyErr_Clear();
      return;
    }
  }
  deliver(loop, observer, event_of(observed), arguments);
}

}  // namespace vorel::py::observe
