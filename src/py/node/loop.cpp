#include "py/node/loop.hpp"

#include <time.h>

#include <cstdint>
#include <utility>

namespace vorel::py::loop {
namespace {

// The class attribute `name` of the loop's class is the base class's own.
bool inherited(PyObject* loop, PyObject* base, const char* name) {
  Object mine = attr(reinterpret_cast<PyObject*>(Py_TYPE(loop)), name);
  Object theirs = mine ? attr(base, name) : Object();
  if (!theirs) PyErr_Clear();
  return theirs && mine.get() == theirs.get();
}

// Whether the instance carries a method of its own under `name`. An error counts as yes, so that
// the loop is then called by name and says what is wrong itself.
bool replaced(const Object& dict, Literal name) {
  if (!dict) return true;
  PyObject* key = method_name(name);
  const int found = key == nullptr ? -1 : PyDict_Contains(dict.get(), key);
  if (found < 0) PyErr_Clear();
  return found != 0;
}

// time.monotonic() as the interpreter computes it, to the bit: nanoseconds of CLOCK_MONOTONIC, whole
// seconds divided exactly, the rest through a double.
std::optional<double> monotonic() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return std::nullopt;
  }
  const std::int64_t ns = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
  double d = 0;
  if (ns % 1'000'000'000 == 0) {
    d = static_cast<double>(ns / 1'000'000'000);
  } else {
    d = static_cast<double>(ns) / 1e9;
  }
  return d;
}

}  // namespace

std::shared_ptr<const Calls::Known> Calls::known(PyObject* loop) {
  {
    auto k = known_.lock();
    if (*k && (*k)->loop.get() == loop) return *k;
  }
  auto made = std::make_shared<Known>();
  made->loop = Object::borrow(loop);
  Object events = import("asyncio.base_events");
  Object base = events ? attr(events.get(), "BaseEventLoop") : Object();
  Object futures = base ? import("asyncio.futures") : Object();
  made->future_class = futures ? attr(futures.get(), "Future") : Object();
  Object running = made->future_class ? import("asyncio.events") : Object();
  made->running = running ? attr(running.get(), "_get_running_loop") : Object();
  made->keywords = Object::steal(Py_BuildValue("(s)", "loop"));
  made->dict = made->keywords ? Object::steal(PyObject_GenericGetDict(loop, nullptr)) : Object();
  if (made->dict && made->future_class) {
    made->base_time = inherited(loop, base.get(), "time");
    made->base_future = inherited(loop, base.get(), "create_future");
  }
  // What cannot be learnt leaves the calls by name, which raise what is wrong where it matters.
  PyErr_Clear();
  std::shared_ptr<const Known> old;
  {
    auto k = known_.lock();
    old = std::exchange(*k, made);
  }
  return made;
}

std::optional<double> Calls::time(PyObject* loop) {
  auto k = known(loop);
  if (k->base_time && !replaced(k->dict, "time")) return monotonic();
  Object t = call_method(loop, "time");
  if (!t) return std::nullopt;
  const double s = PyFloat_AsDouble(t.get());
  if (s == -1.0 && PyErr_Occurred()) return std::nullopt;
  return s;
}

Object Calls::future(PyObject* loop) {
  auto k = known(loop);
  if (!k->base_future || replaced(k->dict, "create_future")) return call_method(loop, "create_future");
  // A future made on the running loop finds that loop itself: called without the keyword, the class
  // spares the dict of keyword arguments a call to it would build.
  if (k->running) {
    Object running = Object::steal(PyObject_CallNoArgs(k->running.get()));
    if (!running) return running;
    if (running.get() == loop) return Object::steal(PyObject_CallNoArgs(k->future_class.get()));
  }
  PyObject* args[] = {nullptr, loop};
  return Object::steal(PyObject_Vectorcall(k->future_class.get(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           k->keywords.get()));
}

Object task_factory(PyObject* loop) {
  // The class last asked about, held so that its address cannot be reused by another class.
  static PyObject* known_class = nullptr;
  static bool keeps_base = false;
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(loop));
  if (cls != known_class) {
    Object events = loaded("asyncio.base_events");
    Object base = events ? attr(events.get(), "BaseEventLoop") : Object();
    keeps_base = base && inherited(loop, base.get(), "get_task_factory");
    PyErr_Clear();  // what cannot be learnt leaves the call by name
    Py_INCREF(cls);
    Py_XDECREF(std::exchange(known_class, cls));
  }
  if (keeps_base) {
    Object dict = Object::steal(PyObject_GenericGetDict(loop, nullptr));
    PyObject* field = method_name("_task_factory");
    if (field != nullptr && !replaced(dict, "get_task_factory")) {
      if (PyObject* factory = PyDict_GetItemWithError(dict.get(), field)) return Object::borrow(factory);
    }
    PyErr_Clear();
  }
  return call_method(loop, "get_task_factory");
}

void Calls::forget() { std::shared_ptr<const Known> gone = known_.replace(nullptr); }

}  // namespace vorel::py::loop
