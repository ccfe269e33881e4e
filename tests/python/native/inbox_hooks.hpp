// The test hooks of the loop channel and the loop's callbacks, added to `_vorel_testing`.
#pragma once

#include "py/object.hpp"

namespace vorel::py::testing {

// The exec step that adds them to the test module; -1 with the error set.
int add_inbox_hooks(PyObject* module);

}  // namespace vorel::py::testing
