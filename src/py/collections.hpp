// The native collections as the module shows them: the collection that runs an actor type of a
// given name, and the module's functions through which the Python package `vorel.collections`
// reads the node's own table of kinds and its reading of type names, instead of keeping copies.
#pragma once

#include <string_view>

#include "py/definition.hpp"
#include "py/object.hpp"

namespace vorel::py::collections {

// A new native collection of the kind an actor type name selects: "vorel.collections:<kind>.actor"
// or "vorel.collections:<kind>_<digits>_<level>"; null for any other name.
Native collection(std::string_view name);

// `_collection_kinds()` and `_collection_name(name)`, with their sentinel, for PyModule_AddFunctions.
extern PyMethodDef functions[];

}  // namespace vorel::py::collections
