// A key's messages to itself at a time, once or on an interval: the live schedules of an
// activation, their loop timers, the page "@schedules" that keeps them with the key's state, and
// the class `Schedule` that a body sees. Everything runs on the loop thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "py/object.hpp"

namespace vorel::py::activation {

// One live schedule of an activation.
struct Scheduled {
  std::optional<std::uint64_t> every;  // microseconds; none: it goes off once
  std::string name;
  core::Bytes message;  // encoded by the message schema the key ran under when it was made
  std::int64_t due = 0;  // microseconds since the Unix epoch
  Object value;          // the message as a Python value
  std::uint64_t number = 0;
  Object timer;  // the loop's handle; none until armed and after it went off
};

// The bytes of "@schedules"; none when there is no schedule. Called with the activation's lock held.
std::optional<core::Bytes> schedules_page(const std::vector<Scheduled>& schedules);
// Takes the timers out of the schedules, which stay. Called with the activation's lock held.
std::vector<Object> unarmed(std::vector<Scheduled>& schedules);
// Cancels the handles in order; false with the first error set, the rest left uncancelled.
bool cancel_all(const std::vector<Object>& handles);

// The steps of the schedules, each taking the Python object of the activation; false (or null)
// with the error set.
bool arm(const Object& self, std::uint64_t number);
bool fire(const Object& self, std::uint64_t number);
Object rescheduled(const Object& self);
bool unscheduled(const Object& self);
// Restores and arms the schedules of "@schedules" when the key opens.
bool restored(const Object& self);

// `Context.schedule` and `Context.schedules`.
Object schedule(const Object& self, PyObject* name, PyObject* delay, PyObject* interval, PyObject* message);
Object schedules(const Object& self);

}  // namespace vorel::py::activation

namespace vorel::py::schedule_class {
// The class `Schedule` (borrowed, kept for the life of the process), or nullptr with the error set.
PyObject* type();
}  // namespace vorel::py::schedule_class
