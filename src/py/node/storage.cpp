#include "py/node/storage.hpp"

#include <fmt/format.h>

#include <memory>
#include <utility>
#include <variant>

#include "py/node/loop.hpp"
#include "py/node/steps.hpp"

namespace vorel::py::storage {
namespace {

// The awaitable of the store method the request calls; null with the error set.
Object called(PyObject* store, std::string_view actor, std::string_view key, const core::Storage& request) {
  Object a = text(actor);
  Object k = a ? text(key) : Object();
  if (!k) return k;
  if (std::holds_alternative<core::Storage::Load>(request.value)) return call_method(store, "load", a.get(), k.get());
  if (const auto* save = std::get_if<core::Storage::Save>(&request.value)) {
    const core::store::Version v = save->record.version_bytes();
    Object version = bytes_of(core::ByteView(v.data(), v.size()));
    if (!version) return version;
    std::optional<core::Bytes> state = save->record.state_bytes();
    Object s = state ? bytes_of(*state) : Object::borrow(Py_None);
    if (!s) return s;
    return call_method(store, "save", a.get(), k.get(), version.get(), s.get());
  }
  const auto& drop = std::get<core::Storage::Drop>(request.value);
  const core::store::Version v = core::store::version_of(drop.stamp);
  Object version = bytes_of(core::ByteView(v.data(), v.size()));
  if (!version) return version;
  return call_method(store, "drop", a.get(), k.get(), version.get());
}

// Runs `done` with the failure of the raised exception, which is taken out.
Raised failed_now(Token token, Done& done, double timeout) {
  Object raised = Object::steal(PyErr_GetRaisedException());
  return done(token, std::unexpected(described(raised.get(), timeout)));
}

}  // namespace

std::string described(PyObject* exception, double timeout) {
  if (PyObject_IsInstance(exception, PyExc_TimeoutError) == 1) {
    return core::store::unanswered(timeout);
  }
  PyErr_Clear();
  std::string name = "an exception";
  Object n = attr(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__");
  if (n && PyUnicode_Check(n.get())) {
    if (auto t = utf8(n.get())) name = *std::move(t);
  }
  PyErr_Clear();
  std::string shown;
  Object s = Object::steal(PyObject_Str(exception));
  if (s) {
    if (auto t = utf8(s.get())) shown = *std::move(t);
  }
  PyErr_Clear();
  return fmt::format("{}: {}", name, shown);
}

Result record(PyObject* answer) {
  if (answer == Py_None) return std::nullopt;
  if (PyTuple_Check(answer) && PyTuple_Size(answer) == 2) {
    PyObject* version = PyTuple_GetItem(answer, 0);
    PyObject* state = PyTuple_GetItem(answer, 1);
    if (PyBytes_Check(version) && (state == Py_None || PyBytes_Check(state))) {
      auto view = [](PyObject* b) {
        return core::ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(b)),
                              static_cast<std::size_t>(PyBytes_Size(b)));
      };
      std::optional<core::ByteView> s;
      if (state != Py_None) s = view(state);
      auto read = core::Stored::read(view(version), s);
      if (!read) {
        return std::unexpected(core::store::unreadable(read.error().text()));
      }
      return *std::move(read);
    }
  }
  Object shown = Object::steal(PyObject_Str(answer));
  std::optional<std::string> t = shown ? utf8(shown.get()) : std::nullopt;
  if (!t) {
    PyErr_Clear();
    t = "an unprintable answer";
  }
  return std::unexpected(
      fmt::format("load answered {}, which is neither None nor a (version: bytes, state: bytes | None) pair", *t));
}

namespace {

// The class of what an `async def` method returns. It is one of the interpreter's static types,
// the same object in every interpreter, so it is looked up once; none when it cannot be found.
PyTypeObject* coroutine_type() {
  static PyTypeObject* const type = [] {
    Object types = import("types");
    Object t = types ? attr(types.get(), "CoroutineType") : Object();
    if (!t || !PyType_Check(t.get())) {
      PyErr_Clear();
      return static_cast<PyTypeObject*>(nullptr);
    }
    return reinterpret_cast<PyTypeObject*>(t.get());
  }();
  return type;
}

// The outcome of a finished call. `expired` tells that its time limit cancelled it: a call that
// ended cancelled then did not answer in time, as `wait_for` would have said.
Raised finish(Token token, Done& done, PyObject* finished, double timeout, bool load, bool expired) {
  Object answer = call_method(finished, "result");
  if (!answer) {
    Object raised = Object::steal(PyErr_GetRaisedException());
    if (expired) {
      Object cancelled = call_method(finished, "cancelled");
      if (cancelled && PyObject_IsTrue(cancelled.get())) {
        return done(token, std::unexpected(core::store::unanswered(timeout)));
      }
      PyErr_Clear();
    }
    return done(token, std::unexpected(described(raised.get(), timeout)));
  }
  if (!load) return done(token, std::nullopt);
  return done(token, record(answer.get()));
}

// ("loop", "eager_start"), the keywords a task is made with; made once and kept for the life of the
// process, like the interned names it holds. Null with the error set when it cannot be made.
PyObject* task_keywords() {
  static PyObject* names = nullptr;
  if (names == nullptr) {
    PyObject* loop = method_name("loop");
    PyObject* eager = loop ? method_name("eager_start") : nullptr;
    names = eager ? PyTuple_Pack(2, loop, eager) : nullptr;
  }
  return names;
}

struct Watch {
  Object timer;
  bool expired = false;
};

// A coroutine of the store runs as a task started eagerly: its first step runs now, in a task and
// a context of its own, so that a store that answers without waiting answers before this returns,
// and its writer is confirmed on the next loop turn as it is without a store, with no loop turn
// spent on starting the task and another on hearing of its end. A call that waits is bounded by a
// timer that cancels it, which is what `wait_for` does. None when the loop makes its tasks
// through a factory of its own: the call then takes the road of `ensure_future`.
std::optional<Raised> eager(Token token, PyObject* asyncio, PyObject* coroutine, Done& done, double timeout,
                            bool load, bool& ran) {
  Object loop = call_method(asyncio, "get_running_loop");
  if (!loop) return caught();
  Object factory = loop::task_factory(loop.get());
  if (!factory) return caught();
  if (factory.get() != Py_None) return std::nullopt;
  PyObject* task_name = method_name("Task");
  Object task_class = task_name ? Object::steal(PyObject_GetAttr(asyncio, task_name)) : Object();
  PyObject* names = task_class ? task_keywords() : nullptr;
  if (names == nullptr) return caught();
  PyObject* argv[] = {nullptr, coroutine, loop.get(), Py_True};
  Object task = Object::steal(PyObject_Vectorcall(task_class.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  names));
  ran = true;
  if (!task) return failed_now(token, done, timeout);
  Object finished = call_method(task.get(), "done");
  if (finished && PyObject_IsTrue(finished.get())) return finish(token, done, task.get(), timeout, load, false);
  ran = false;
  if (!finished) return caught();
  // The timer reaches the task and the watch only weakly: the task holds the watch through its done
  // callback, and a strong hold back would be a cycle that no collector sees, kept for ever by a
  // loop closed while the call was under way.
  auto watch = std::make_shared<Watch>();
  Object weak_task = Object::steal(PyWeakref_NewRef(task.get(), nullptr));
  if (!weak_task) return caught();
  watch->timer = steps::later(loop.get(), timeout, [weak_task, weak = std::weak_ptr<Watch>(watch)] {
    std::shared_ptr<Watch> w = weak.lock();
    Object task = w ? call(weak_task.get()) : Object::borrow(Py_None);
    if (!task) return false;
    if (task.get() == Py_None) return true;
    Object cancelled = call_method(task.get(), "cancel");
    if (!cancelled) return false;
    if (PyObject_IsTrue(cancelled.get())) w->expired = true;
    return true;
  });
  if (!watch->timer) return caught();
  return callback::when_done(
      task.get(), [done = std::move(done), watch, timeout, load](Token t, PyObject* end) mutable -> Raised {
        Object timer = std::move(watch->timer);
        if (!steps::cancel(timer)) return caught();
        return finish(t, done, end, timeout, load, watch->expired);
      });
}

// `perform`, with `ran` set once `done` has run or is running now.
Raised started(Token token, PyObject* store, std::string_view actor, std::string_view key, double timeout,
               core::Storage request, Done& done, bool& ran) {
  const bool load = std::holds_alternative<core::Storage::Load>(request.value);
  // Imported before the store is called: a store method that raises leaves its exception set,
  // under which no import may run.
  Object asyncio = loaded("asyncio");
  if (!asyncio) return caught();
  Object awaitable = called(store, actor, key, request);
  if (!awaitable) {
    ran = true;
    return failed_now(token, done, timeout);
  }
  // Anything but a coroutine (a future, an awaitable of another kind, something that cannot be
  // awaited) and a limit that has passed already go through `wait_for`, whose refusals they get.
  if (timeout > 0 && Py_TYPE(awaitable.get()) == coroutine_type()) {
    if (std::optional<Raised> out = eager(token, asyncio.get(), awaitable.get(), done, timeout, load, ran)) {
      return *std::move(out);
    }
  }
  Object limit = Object::steal(PyFloat_FromDouble(timeout));
  if (!limit) return caught();
  Object waited = call_method(asyncio.get(), "wait_for", awaitable.get(), limit.get());
  Object future = waited ? call_method(asyncio.get(), "ensure_future", waited.get()) : Object();
  if (!future) {
    ran = true;
    return failed_now(token, done, timeout);
  }
  return callback::when_done(future.get(), [done = std::move(done), timeout, load](Token t, PyObject* finished) mutable {
    return finish(t, done, finished, timeout, load, false);
  });
}

}  // namespace

Raised perform(Token token, PyObject* store, std::string_view actor, std::string_view key, double timeout,
               core::Storage request, Done done, bool* ran) {
  bool ran_now = false;
  Raised out = started(token, store, actor, key, timeout, std::move(request), done, ran_now);
  if (ran) *ran = ran_now;
  return out;
}

}  // namespace vorel::py::storage
