// The live instance of one key on the node that owns it, and the steps of its life on the loop:
// opening, runs of the body, restarts after failures, deactivation, release and drain, delivery
// into it, and the writes of its state. Every step runs on the loop thread; the activation's lock
// is held only for short sections, never across a call into Python and never with another lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/activation.hpp"
#include "core/backoff.hpp"
#include "core/collections/native.hpp"
#include "core/deliver.hpp"
#include "core/mailbox.hpp"
#include "core/outcome.hpp"
#include "core/pages.hpp"
#include "py/definition.hpp"
#include "py/locked.hpp"
#include "py/node/schedule.hpp"
#include "py/object.hpp"

namespace vorel::py {

class Node;

namespace activation {

// One run of a Python body.
struct Run {
  std::uint64_t number = 0;
  std::uint64_t hold = 0;
  Object task;
  std::optional<core::Deliver> current;
  Object entered;
  Object reading;
  // The idle timer outlives the read that armed it: a later read moves only `idling`, and the timer,
  // firing at `idle_due`, arms itself again for what is left.
  Object idle_timer;
  std::optional<double> idle_due;
  // A merged inbox: the task awaiting the source's next item, and, once that item is ready with no
  // read waiting, the mailbox number from which messages arrived after it.
  Object merge_task;
  std::optional<std::uint64_t> merged;
  // The end of the body task (its exception, or null), kept while writes are unconfirmed.
  std::optional<Object> parked;
  std::optional<double> idling;
  std::uint32_t failures = 0;
  bool replied = false;
  bool read = false;
  bool revoked = false;
  // The body task has ended: its context acts no more.
  bool over = false;
};

struct Settings {
  core::Duration idle_after;
  core::Duration ask_timeout;
  core::Duration write_timeout;
  core::Duration leave_timeout;
  core::Backoff backoff;
};

// What the driver of a native collection keeps between the steps of its key. At most one write
// or ask is in flight at a time, and `current` stays set until the Turn of its delivery is applied.
struct Stepping {
  std::optional<core::Deliver> current;
  std::uint64_t hold = 0;
  // The parts, sends and delete flag of the write in flight.
  std::optional<core::Pages> unconfirmed;
  std::vector<core::collections::Send> held_sends;
  bool deleting = false;
  // The collection's own ask in flight: the message that made it ask, and the ask's id.
  std::optional<std::pair<core::Bytes, std::int64_t>> awaiting;
  Object wake_timer;
  Object idle_timer;
  bool asleep = false;
  // The wake deadline passed while a write or ask was in flight: the tick waits for it to land.
  bool rung = false;

  bool busy() const { return current || unconfirmed || awaiting; }
};

// One state change handed to `write`.
struct Wrote {
  core::Pages pages;
  Object value;  // null: the writer has no value
  bool become = false;
  bool answer = false;
  bool delete_ = false;
};

struct State {
  std::shared_ptr<const Definition> definition;
  core::Mailbox mailbox;
  std::optional<core::Bytes> initial;
  std::vector<Object> waiters;
  core::Pages pages;
  Object value;
  std::optional<Run> run;
  core::Pages written;
  Schedules schedules;
  std::uint64_t next_schedule = 0;
  std::uint64_t generation = 0;
  std::uint64_t started = 0;
  std::uint64_t unconfirmed = 0;
  bool opened = false;
  bool releasing = false;
  bool draining = false;
  bool ending = false;
  bool becoming = false;
  bool closed = false;
  bool deleted = false;
  Stepping stepping;

  // The flags the engine's decisions read.
  core::activation::Flags flags() const { return {releasing, draining, ending, becoming, closed, unconfirmed}; }
};

}  // namespace activation

struct Activation {
  std::shared_ptr<Node> node;
  std::string actor;
  std::string key;
  double since = 0;  // seconds since the Unix epoch
  Locked<activation::State> state;

  // The record of an `Activation` object (the caller knows it is one).
  static Activation& of(PyObject* o);
  // A new Python `Activation`; null with the error set.
  static Object make(std::shared_ptr<Node> node, std::string actor, std::string key, double since,
                     std::shared_ptr<const Definition> definition);

  activation::Settings settings();
};

// The steps, each taking the Python object of the activation. Those returning bool give false
// with the Python error set.
namespace activation {

inline Activation& the(const Object& self) { return Activation::of(self.get()); }

// Lifecycle and restarts (activation.cpp): opening, runs of the body and their ends, deactivation,
// release, drain and wind-down.
PyObject* type();
bool begin(const Object& self);
// After the body task of run `number` ended, with its exception or null, or its parked end came back.
bool after(const Object& self, std::uint64_t number, Object exception);
// Ends the message being processed (or none) with the exception: the observer hears of it, an ask
// is answered with the failure.
bool ended_by(const Object& self, std::optional<core::Deliver> message, PyObject* exception);
bool deactivate(const Object& self);
bool drain(const Object& self);
bool release(const Object& self);
// Whether a body task of this activation is still running: false when there is none, nullopt with
// the error set.
std::optional<bool> running(const Object& self);
// Ends a releasing or draining activation once no body task runs.
bool wound_down(const Object& self);
// Lets the key go as if it had idled out now; `waiter` gets True once it is over.
bool ending(const Object& self, const Object& waiter);

// Delivery and the inbox (reads.cpp): a message handed to a waiting read, the next message, the
// cycle check, idle deadlines and merged sources.
bool wake(const Object& self);
// The cycle text when the chain closes a cycle through this key now.
std::optional<std::string> closed(const Object& self, const core::Chain& chain);
bool decide(const Object& self, const core::Target& reply, const core::Chain& chain);
// The next queued message, after answering the askers it releases.
bool next(const Object& self, std::optional<core::Deliver>& message);
// The message decoded for the body; null with the error set.
Object opened(const Object& self, const core::Deliver& message);
bool idling(const Object& self, std::uint64_t number);
// One read of the inbox of run `number`, merged with `source` when it is not null: a future of the
// next message or source item; null with the error set (StopAsyncIteration when the iteration is
// over).
Object anext(const Object& self, std::uint64_t number, PyObject* source);
// Answers each target with Full for this key.
bool call(const Object& self, const std::vector<core::Target>& targets);
// Empties the mailbox: each queued ask gets the outcome `maker` builds for its actor type and key,
// each queued tell is reported dropped with the reason, each parked asker gets Full.
using Maker = core::Outcome (*)(std::string_view, std::string_view);
// The message under which a failure to refuse what waited for an ended activation is reported.
inline constexpr char kRefusing[] = "Exception while vorel refused what waited for an activation that ended";
bool refuse_waiting(const Object& self, Maker maker, const std::string& reason);

// State pages and writes (writes.cpp).
Object value(const Object& self);
Object stored(const Object& self, PyObject* value, bool answer);
Object write(const Object& self, Wrote wrote);
Object update(const Object& self, PyObject* result);
Object deleted(const Object& self);
Object become(const Object& self, PyObject* behavior, PyObject* state);
// The pages of a value by a definition's state schema, with "@behavior" when the definition is not
// the key's own type and "@schedules" while the key has schedules; none with the error set.
std::optional<core::Pages> pages_of(const Object& self, const Definition& definition, PyObject* value);
// A state value read from its pages by a definition's state schema; null with the error set.
Object decoded(const Object& self, const Definition& definition, const core::Pages& pages);
// The behavior the pages name: "@behavior" read as UTF-8 (bad bytes replaced), else `actor`.
std::string named(const core::Pages& pages, const std::string& actor);

// The driver of a native collection's key (native.cpp). `stepping` runs the step loop; `again`
// runs it with the type's collection after a tick held back, if any; `woken`, `let_go` and `idled`
// are what waking, releasing or draining, and the system's release do to a native key.
bool stepping(const Object& self, const core::collections::Native& native);
bool again(const Object& self);
bool woken(const Object& self);
bool let_go(const Object& self);
bool idled(const Object& self);

}  // namespace activation
}  // namespace vorel::py
