// The events a node reports to its system's observer, one bit each in the node's `wanted` mask.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/membership/member.hpp"
#include "core/node.hpp"
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

// The observer a system keeps: `given` itself when it can be called, a new `vorel.LoggingObserver`
// when it is absent (null) or None; null with the error set otherwise.
Object observing(PyObject* given);

// The events the node runtime makes on its own threads, carried to the loop as plain records and
// turned into the package's objects there.
namespace observed {

enum class Kind : std::uint8_t { Unavailable, Fenced, TooLarge };

struct MemberChanged {
  core::NodeId node;
  core::membership::Status status = core::membership::Status::Alive;
  std::optional<core::membership::Status> previous;
};
struct WriteFailed {
  Kind kind = Kind::Unavailable;
  std::string reason;
  std::string actor;
  std::string key;
  bool write = false;  // a write when set, the read that activates a key otherwise
};
struct HandoffStarted {
  std::string actor;
  bool out = false;
};
struct HandoffEnded {
  std::string actor;
  bool out = false;
};
// A leaving node gave up handing these keys over when its time ran out.
struct KeysGivenUp {
  std::string actor;
  std::vector<std::string> keys;
};
struct ConnectionLost {
  core::NodeId node;
};
struct MessageDropped {
  std::string actor;
  std::string key;
  std::string reason;
};

}  // namespace observed

using Observed = std::variant<observed::MemberChanged, observed::WriteFailed, observed::HandoffStarted,
                              observed::HandoffEnded, observed::KeysGivenUp, observed::ConnectionLost,
                              observed::MessageDropped>;

// The class an event of the node runtime becomes, whose bit decides whether it is wanted.
Event event_of(const Observed& observed);

// Builds the event from its class with the arguments, positionally, and has the loop call the
// observer with it. Callers test the event's bit first. Never fails: an event is a report, and
// losing one must not fail the work it reports on, so a failure loses the event and nothing else.
void deliver(PyObject* loop, PyObject* observer, Event event, const std::vector<Object>& arguments);
// The same for an event of the node runtime, whose arguments are made here.
void deliver(PyObject* loop, PyObject* observer, const Observed& observed);

}  // namespace vorel::py::observe
