// Two read-only snapshots of a running system: what it counts now (`stats`) and the keys active on
// it (`activations`). Both copy the numbers under the node's short locks, one at a time, and build
// the Python objects after, with no lock held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "py/object.hpp"

namespace vorel::py {
class Node;
}

namespace vorel::py::stats {

// The tally of one actor type on this node.
struct Activations {
  std::uint64_t count = 0;
  std::uint64_t queued = 0;  // the messages waiting in all its mailboxes
  std::uint64_t largest = 0;  // the most waiting in one
};

// One row of the activations listing.
struct Row {
  std::string actor;
  std::string key;
  double start = 0.0;  // seconds since the Unix epoch; 0.0 before it
  std::uint64_t queued = 0;
};

// A `vorel.Stats` of the node; null with the error set.
Object snapshot(Node& node);
// The tuple of `vorel.Activation`, sorted by actor type name then key; null with the error set.
Object activations(Node& node);
// One `vorel.Activation` per row, in order; the first failure stops it (null with the error set).
Object listing(const std::vector<Row>& rows, PyObject* cls, PyObject* fromtimestamp, PyObject* utc);

}  // namespace vorel::py::stats
