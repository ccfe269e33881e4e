// `Taken`: what the read that opens a key resolves to: the key's held record, or nothing.
#pragma once

#include <optional>

#include "core/store.hpp"
#include "py/object.hpp"

namespace vorel::py::taken {

PyObject* type();
// A new Taken holding the record (none: the key has no record); null with the error set.
Object make(std::optional<core::store::Held> held);
// Takes the content out of a Taken, leaving it empty. None (outer) with a TypeError set when the
// object is not a Taken.
std::optional<std::optional<core::store::Held>> take(PyObject* o);

}  // namespace vorel::py::taken
