// How the module's generic classes answer a subscription such as Ref[M].
#pragma once

#include <vector>

#include "py/object.hpp"

namespace vorel::py::generic {

// The arguments of a subscription: the items of a tuple in order, else the item alone.
std::vector<Object> subscript(PyObject* item);

// types.GenericAlias of the class and the arguments; null with the error set when that fails.
Object aliased(PyObject* cls, const std::vector<Object>& arguments);

}  // namespace vorel::py::generic
