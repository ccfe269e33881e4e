#include "py/schema/failure.hpp"

#include "py/errors.hpp"

namespace vorel::py::schema {

Failure Failure::raised() {
  Object exception = Object::steal(PyErr_GetRaisedException());
  if (!exception) {
    // A call reported failure without raising: keep that visible instead of losing it.
    PyErr_SetString(PyExc_SystemError, "a call failed without raising an exception");
    exception = Object::steal(PyErr_GetRaisedException());
  }
  return Failure(Kind::Raised, std::string(), std::move(exception));
}

Failure under(Failure failure, std::string_view name) {
  if (failure.kind() != Failure::Kind::Schema) return failure;
  return Failure::schema(core::schema::error::SchemaError::under({failure.text()}, name));
}

PyObject* raise(Failure failure) {
  if (failure.kind() == Failure::Kind::Raised) {
    PyErr_SetRaisedException(Object::borrow(failure.exception()).release());
    return nullptr;
  }
  PyObject* type = failure.kind() == Failure::Kind::Schema ? errors::get(errors::Class::SchemaError) : PyExc_TypeError;
  if (type == nullptr) return nullptr;
  // Set from a str object rather than a C string, so a text holding a NUL arrives whole.
  if (Object message = text(failure.text())) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace vorel::py::schema
