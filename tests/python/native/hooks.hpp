// The groups of test hooks that `_vorel_testing` adds beside its own functions.
#pragma once

#include "py/object.hpp"

namespace vorel::py::testing {

// Actor type definitions and the per-system node: adds their functions and classes to the module;
// -1 with the error set.
int add_node_hooks(PyObject* module);
// The driver of native collections: the gate that holds or fails a system's writes.
int add_native_hooks(PyObject* module);

// The observer events of the node runtime: adds `observed`; -1 with the error set.
int add_observe_hooks(PyObject* module);

// The questions a joined system asks its node: adds `stopped_node` and `persist`; -1 with the
// error set.
int add_entered_hooks(PyObject* module);
// The SQL store's road for a joined node: adds `sql_carrier` and `sql_carry`; -1 with the error set.
int add_store_hooks(PyObject* module);

}  // namespace vorel::py::testing
