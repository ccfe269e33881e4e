#include "py/node/storage.hpp"

#include <fmt/format.h>

#include <memory>
#include <utility>
#include <variant>

namespace vorel::py::storage {
namespace {

Object bytes_of(core::ByteView b) {
  return Object::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

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

Raised perform(Token token, PyObject* store, std::string_view actor, std::string_view key, double timeout,
               core::Storage request, Done done, bool* ran) {
  const bool load = std::holds_alternative<core::Storage::Load>(request.value);
  // Imported before the store is called: a store method that raises leaves its exception set,
  // under which no import may run.
  Object asyncio = import("asyncio");
  if (!asyncio) return caught();
  Object awaitable = called(store, actor, key, request);
  if (ran) *ran = true;
  if (!awaitable) return failed_now(token, done, timeout);
  Object limit = Object::steal(PyFloat_FromDouble(timeout));
  if (!limit) return caught();
  Object waited = call_method(asyncio.get(), "wait_for", awaitable.get(), limit.get());
  if (!waited) return failed_now(token, done, timeout);
  Object future = call_method(asyncio.get(), "ensure_future", waited.get());
  if (!future) return failed_now(token, done, timeout);
  if (ran) *ran = false;
  return callback::when_done(future.get(), [done = std::move(done), timeout, load](Token t, PyObject* finished) mutable {
    Object answer = call_method(finished, "result");
    if (!answer) return failed_now(t, done, timeout);
    if (!load) return done(t, std::nullopt);
    return done(t, record(answer.get()));
  });
}

}  // namespace vorel::py::storage
