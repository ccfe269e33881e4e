// The events a node reports to its system's observer, one bit each in the node's `wanted` mask.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "py/object.hpp"

namespace vorel::py::observe {

// In bit order; each is the attribute of that name of the package `vorel`.
enum class Event : std::uint8_t {
  MemberChanged,
  ActivationStarted,
  ActivationEnded,
  ActivationFailed,
  WriteFailed,
  HandoffStarted,
  HandoffEnded,
  ConnectionLost,
  MessageDropped,
};

inline constexpr std::array<const char*, 9> kNames = {
    "MemberChanged", "ActivationStarted", "ActivationEnded", "ActivationFailed", "WriteFailed",
    "HandoffStarted", "HandoffEnded",     "ConnectionLost",  "MessageDropped",
};

inline constexpr std::uint16_t bit(Event e) { return static_cast<std::uint16_t>(1u << static_cast<unsigned>(e)); }

// Builds the event from its class with the arguments, positionally, and has the loop call the
// observer with it. Callers test the event's bit first. A failure reaches no caller: an event is
// a report, and losing one must not fail the work it reports on; it goes to the interpreter's
// hook for errors nobody can catch.
void deliver(PyObject* loop, PyObject* observer, Event event, const std::vector<Object>& arguments);

}  // namespace vorel::py::observe
