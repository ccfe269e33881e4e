#include "py/future.hpp"

namespace vorel::py::future {

std::optional<bool> done(PyObject* future) {
  Object answer = call_method(future, "done");
  if (!answer) return std::nullopt;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return std::nullopt;
  return truth == 1;
}

namespace {

bool settle(PyObject* future, Literal method, PyObject* with) {
  if (with == nullptr) return false;
  auto d = done(future);
  if (!d) return false;
  return *d || static_cast<bool>(call_method(future, method, with));
}

}  // namespace

bool resolve(PyObject* future, PyObject* value) { return settle(future, "set_result", value); }

bool fail(PyObject* future, PyObject* error) { return settle(future, "set_exception", error); }

bool stop(PyObject* future) {
  Object stop = Object::steal(PyObject_CallNoArgs(PyExc_StopAsyncIteration));
  return fail(future, stop.get());
}

}  // namespace vorel::py::future
