// The cluster's membership as a system or client sees it, and the module's `replicas` test hook,
// which asks the ring which nodes keep a key among nodes it is given.
#pragma once

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::members {

// The tuple of `vorel.Member` of a running node; null with the error set.
Object listed(Node& node);

// The module functions of this file ("replicas"), ending in a null entry.
extern PyMethodDef functions[];

}  // namespace vorel::py::members
