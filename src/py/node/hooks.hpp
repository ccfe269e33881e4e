// The test hooks of `ActorSystem` and `Client`: methods whose names begin with an underscore, each
// showing a test what it could not see through the API, and the `Writes` watcher `_writes` installs.
#pragma once

#include "core/pages.hpp"
#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::hooks {

// The hooks of both classes, then those of a hosting system alone; each table ends in a null entry.
extern PyMethodDef shared[];
extern PyMethodDef hosting[];

// The class `Writes` (borrowed, made once per process); null with the error set.
PyObject* writes_type();

// Shows a state write to the node's watcher, if one is installed: false with ValueError "value save
// failed" when a page holds the watcher's `fail_on`, in which case nothing may be written.
bool watched(Node& node, const core::Pages& pages);

}  // namespace vorel::py::hooks
