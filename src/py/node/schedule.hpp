// A key's messages to itself at a time, once or on an interval: the live schedules of an
// activation, their loop timers, the page "@schedules" that keeps them with the key's state, and
// the class `Schedule` that a body sees. Everything runs on the loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/schedule.hpp"
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

// The live schedules of an activation in the order they were made, which is the order of their
// numbers. Finding one by number or by name, and every change, costs the same however many the key
// holds, and the page "@schedules" is kept encoded beside them.
class Schedules {
 public:
  using List = std::map<std::uint64_t, Scheduled>;

  bool empty() const { return list_.empty(); }
  std::size_t size() const { return list_.size(); }
  List::iterator begin() { return list_.begin(); }
  List::iterator end() { return list_.end(); }
  List::const_iterator begin() const { return list_.begin(); }
  List::const_iterator end() const { return list_.end(); }

  // None when no live schedule has that number or name.
  Scheduled* find(std::uint64_t number);
  Scheduled* named(std::string_view name);
  // Puts `scheduled` in its place by its number; one of its name already live leaves the list and
  // is given back.
  std::optional<Scheduled> put(Scheduled scheduled);
  // Takes the schedule with `number` out of the list.
  std::optional<Scheduled> take(std::uint64_t number);
  // The schedule with `number` goes off next at `due`.
  void redue(std::uint64_t number, std::int64_t due);
  void clear();
  // The page "@schedules"; none when there is no schedule.
  std::optional<core::Page> page() const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  List list_;
  std::unordered_map<std::string, std::uint64_t, Hash, std::equal_to<>> names_;
  core::schedule::Encoded record_;
};

// The page "@schedules"; none when there is no schedule. Called with the activation's lock held.
std::optional<core::Page> schedules_page(const Schedules& schedules);
// Takes the timers out of the schedules, which stay. Called with the activation's lock held.
std::vector<Object> unarmed(Schedules& schedules);
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
