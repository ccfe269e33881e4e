#include "py/node/taken.hpp"

#include <mutex>
#include <utility>

#include "py/node/body.hpp"

namespace vorel::py::taken {
namespace {

struct Record {
  explicit Record(std::optional<core::store::Held> h) : held(std::move(h)) {}
  std::mutex mutex;
  std::optional<core::store::Held> held;
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("What the read of a key found.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {0, nullptr},
};

PyType_Spec spec = {"vorel._vorel.Taken", sizeof(body::Of<Record>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

body::Type<Record> kind(spec);

}  // namespace

PyObject* type() { return kind.get(); }

Object make(std::optional<core::store::Held> held) { return kind.make(std::move(held)); }

std::optional<std::optional<core::store::Held>> take(PyObject* o) {
  PyObject* t = type();
  if (t == nullptr) return std::nullopt;
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(t))) {
    PyErr_SetString(PyExc_TypeError, "the read of a key did not give a Taken");
    return std::nullopt;
  }
  Record& r = body::record<Record>(o);
  std::lock_guard guard(r.mutex);
  return std::exchange(r.held, std::nullopt);
}

}  // namespace vorel::py::taken
