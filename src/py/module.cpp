// The module definition and its set-up step. Everything a system owns hangs off its node, but the
// classes and exception classes are made once per process and shared by every import: a second
// interpreter would use objects of the first. So the module declares that it does not support
// several interpreters, and an interpreter that checks its extensions refuses to import it.
#include "py/actor.hpp"
#include "py/awaited.hpp"
#include "py/collections.hpp"
#include "py/node/client.hpp"
#include "py/node/hooks.hpp"
#include "py/node/members.hpp"
#include "py/node/system.hpp"
#include "py/definition.hpp"
#include "py/errors.hpp"
#include "py/node/context.hpp"
#include "py/node/schedule.hpp"
#include "py/object.hpp"
#include "py/refs.hpp"
#include "py/runtime.hpp"
#include "py/schema/schema.hpp"
#include "py/stores.hpp"

namespace vorel::py {
namespace {

int exec(PyObject* module) {
  using errors::Class;
  constexpr Class kExported[] = {Class::SchemaError,     Class::NotStarted,      Class::UnknownActor,
                                 Class::MailboxFull,     Class::Unavailable,     Class::Refused,
                                 Class::MessageTooLarge, Class::ReentrancyError, Class::ActorFailed};
  for (Class c : kExported) {
    PyObject* type = errors::get(c);
    if (type == nullptr || PyModule_AddObjectRef(module, errors::name(c), type) < 0) return -1;
  }
  PyObject* awaited_type = awaited::type();
  if (awaited_type == nullptr || PyModule_AddObjectRef(module, "Awaited", awaited_type) < 0) return -1;
  {
    Object abc = import("collections.abc");
    Object coroutine = abc ? attr(abc.get(), "Coroutine") : Object();
    if (!coroutine || !call_method(coroutine.get(), "register", awaited_type)) return -1;
  }
  struct Named {
    const char* name;
    PyObject* (*type)();
  };
  constexpr Named kClasses[] = {{"Actor", actor::actor_type},
                                {"DefaultedActor", actor::defaulted_type},
                                {"ActorSystem", system::type},
                                {"Client", client::type},
                                {"Writes", hooks::writes_type},
                                {"Context", context::type},
                                {"State", state::type},
                                {"Schedule", schedule_class::type},
                                {"Ref", refs::type},
                                {"Runtime", runtime::type},
                                {"Schema", schema::type},
                                {"SQL", stores::type}};
  for (const Named& c : kClasses) {
    PyObject* type = c.type();
    if (type == nullptr || PyModule_AddObjectRef(module, c.name, type) < 0) return -1;
  }
  for (PyMethodDef* functions : {actor::functions, members::functions, refs::functions, collections::functions}) {
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_vorel",
    "The core of vorel.\n\nEverything a system owns hangs off its node handle, but the classes and exception classes "
    "of the module\nare made once for the whole process: it supports one interpreter per process, and a "
    "subinterpreter that\nchecks its extensions refuses to import it.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorel::py

PyMODINIT_FUNC PyInit__vorel() { return PyModuleDef_Init(&vorel::py::definition); }
