// The module's exception classes. Each is made once per process, at its first use.
#pragma once

#include <string_view>

#include "py/object.hpp"

namespace vorel::py::errors {

enum class Class : int {
  SchemaError,
  NotStarted,
  UnknownActor,
  MailboxFull,
  Unavailable,
  Refused,
  MessageTooLarge,
  ReentrancyError,
  ActorFailed,
  Fencing,
  Count_,
};

// The class object (a borrowed reference, kept for the life of the process); never null. A class
// that cannot be made is a fatal error of the process: every failure the module reports needs one.
PyObject* get(Class c);
const char* name(Class c);

// Raises an instance of the class with the text; always returns nullptr for `return raise(...)`.
PyObject* raise(Class c, const char* text);

// A new exception of the class, or of any exception class, with the text as its one argument;
// null with the error set.
Object make(Class c, std::string_view text);
Object make(PyObject* cls, std::string_view text);

}  // namespace vorel::py::errors
