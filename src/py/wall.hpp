// The binding's one wall clock. It dates activations, the due times of schedules and the steps of
// native collections; what only waits is timed by the loop's own clock (py::Node::now).
#pragma once

#include <cstdint>

namespace vorel::py::wall {

// Seconds since the Unix epoch.
double seconds();

// Whole microseconds since the Unix epoch; 0 for a clock set before it.
std::int64_t micros();

}  // namespace vorel::py::wall
