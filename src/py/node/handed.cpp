#include "py/node/handed.hpp"

#include <fmt/format.h>

#include <utility>

#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/callback.hpp"
#include "py/refs.hpp"

namespace vorel::py::handed {
namespace {

// What a hand-off keeps until its work is done. No reference to the activation: the outcome
// reaches the key by its name.
struct Record {
  std::string actor;
  std::string key;
  std::string what;
  std::shared_ptr<Node> node;
  Object self;
  Object mapper;  // null: none
  Object failed;  // null: none
};

// The text of the raised exception, taken out: its str, or "<unprintable {} object>".
std::string reason_of_raised() {
  Object raised = Object::steal(PyErr_GetRaisedException());
  Object s = Object::steal(PyObject_Str(raised.get()));
  std::optional<std::string> t = s ? utf8(s.get()) : std::nullopt;
  if (t) return *t;
  PyErr_WriteUnraisable(raised.get());
  return fmt::format("<unprintable {} object>", type_name(raised.get()));
}

Raised completed(Record& r, PyObject* future) {
  Object kept;
  {
    auto h = r.node->handed.lock();
    // Let the reference go after unlocking: a finalizer may come back into the node.
    if (auto it = h->find(reinterpret_cast<std::uintptr_t>(future)); it != h->end()) {
      kept = std::move(it->second);
      h->erase(it);
    }
  }
  kept = Object();
  Object cancelled = call_method(future, "cancelled");
  if (!cancelled) return caught();
  const int is = PyObject_IsTrue(cancelled.get());
  if (is < 0) return caught();
  if (is) return std::nullopt;
  Object exception = call_method(future, "exception");
  if (!exception) return caught();
  Object message;
  if (exception.get() == Py_None) {
    Object value = call_method(future, "result");
    if (!value) return caught();
    message = r.mapper ? call(r.mapper.get(), value.get()) : value;
  } else if (r.failed) {
    message = call(r.failed.get(), exception.get());
  } else {
    Object name = attr(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), "__name__");
    if (!name) return caught();
    auto n = utf8(name.get());
    if (!n) return caught();
    Object s = Object::steal(PyObject_Str(exception.get()));
    if (!s) return caught();
    auto t = utf8(s.get());
    if (!t) return caught();
    r.node->dropped(r.actor, r.key,
                    t->empty() ? fmt::format("{} raised {}", r.what, *n) : fmt::format("{} raised {}: {}", r.what, *n, *t));
    return std::nullopt;
  }
  if (!message || !call_method(r.self.get(), "tell", message.get())) {
    r.node->dropped(r.actor, r.key, reason_of_raised());
  }
  return std::nullopt;
}

}  // namespace

bool handed(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* work,
            std::string what, PyObject* mapper, PyObject* failed) {
  Activation& a = Activation::of(activation.get());
  // The asks this run made so far no longer count as the body waiting on them: it goes on, and
  // an ask that reaches this key through them is no cycle.
  if (auto running = node->runs.running(); running && running->first.get() == activation.get() &&
                                           running->second == number) {
    const std::uint64_t hold = node->next_run.fetch_add(1);
    auto s = a.state.lock();
    if (s->run && s->run->number == number) s->run->hold = hold;
  }
  std::shared_ptr<const Definition> d = a.state.lock()->definition;
  Object self = refs::make(refs::Ref{core::Target::entity(a.actor, a.key), d->message, node,
                                     d->messages().tree.tagged_root});
  if (!self) return false;
  Record record{a.actor, a.key, std::move(what), node, std::move(self), Object::borrow(mapper), Object::borrow(failed)};
  Object loop = node->running();
  if (!loop) return false;
  Object asyncio = import("asyncio");
  if (!asyncio) return false;
  Object kwargs = Object::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "loop", loop.get()) < 0) return false;
  Object ensure = attr(asyncio.get(), "ensure_future");
  Object args = ensure ? Object::steal(PyTuple_Pack(1, work)) : Object();
  Object future = args ? Object::steal(PyObject_Call(ensure.get(), args.get(), kwargs.get())) : Object();
  if (!future) return false;
  Object replaced;
  {
    auto h = node->handed.lock();
    replaced = std::exchange((*h)[reinterpret_cast<std::uintptr_t>(future.get())], future);
  }
  Raised r = callback::when_done(future.get(), [record = std::move(record)](Token, PyObject* finished) mutable {
    return completed(record, finished);
  });
  if (r) {
    rethrow(std::move(*r));
    return false;
  }
  return true;
}

PyObject* ask(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* args,
              PyObject* kwargs) {
  static const char* names[] = {"", "", "mapper", "failed", nullptr};
  PyObject *target, *msg, *mapper, *failed = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:ask", const_cast<char**>(names), &target, &msg, &mapper,
                                   &failed)) {
    return nullptr;
  }
  if (refs::of(target) == nullptr) {
    PyErr_Format(PyExc_TypeError, "target is %R, not a Ref", target);
    return nullptr;
  }
  Object awaited = call_method(target, "ask", msg);
  if (!awaited) return nullptr;
  Object shown = Object::steal(PyObject_Repr(target));
  auto t = shown ? utf8(shown.get()) : std::nullopt;
  if (!t) return nullptr;
  // The mapper is always called, also an explicit None: its failure is reported like any other.
  if (!handed(activation, node, number, awaited.get(), fmt::format("the ask to {}", *t), mapper,
              failed == Py_None ? nullptr : failed)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* to_self(const Object& activation, const std::shared_ptr<Node>& node, std::uint64_t number, PyObject* args,
                  PyObject* kwargs) {
  static const char* names[] = {"", "", "failed", nullptr};
  PyObject *work, *mapper = Py_None, *failed = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:to_self", const_cast<char**>(names), &work, &mapper, &failed)) {
    return nullptr;
  }
  if (!handed(activation, node, number, work, "the work handed to to_self", mapper == Py_None ? nullptr : mapper,
              failed == Py_None ? nullptr : failed)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace vorel::py::handed
