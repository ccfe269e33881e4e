// Delivery into an activation and its inbox: a queued message handed to the read its body waits
// on, the next message for a body that reads, the check of ask cycles through the key, the idle
// deadline of a read, a source merged with the messages, and the refusal or Full answers of what
// waits when the activation stops taking messages.
#include "py/node/activation.hpp"

#include <utility>

#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/steps.hpp"
#include "py/schema/load.hpp"

namespace vorel::py::activation {
namespace {

bool idle_timer(const Object& self, std::uint64_t number);

// Arms the idle timer of run `number` to fire `delay` seconds from now, at loop time `due`.
bool idle_armed(const Object& self, std::uint64_t number, double delay, double due) {
  Activation& a = the(self);
  Object loop = a.node->running();
  if (!loop) return false;
  Object handle = steps::later(loop.get(), delay, [self, number] { return idle_timer(self, number); });
  if (!handle) return false;
  Object old;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) {
      old = std::exchange(s->run->idle_timer, std::move(handle));
      s->run->idle_due = due;
    }
  }
  return steps::cancel(old);
}

bool idle_timer(const Object& self, std::uint64_t number) {
  Activation& a = the(self);
  Object reading, timer;
  std::optional<double> deadline;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number) return true;
    timer = std::move(s->run->idle_timer);
    s->run->idle_due.reset();
    deadline = s->run->idling;
  }
  // The loop is asked for its time only when a read waits: a timer left behind needs none.
  std::optional<double> now;
  if (deadline) {
    now = a.node->now();
    if (!now) return false;
  }
  const core::activation::Idled idled = core::activation::idled(deadline, now.value_or(0));
  if (idled.kind == core::activation::Idled::Kind::Nothing) return true;
  if (idled.kind == core::activation::Idled::Kind::Rearm) return idle_armed(self, number, idled.rest, *deadline);
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number || s->run->idling != deadline) return true;
    s->run->idling.reset();
    reading = std::move(s->run->reading);
  }
  return !reading || future::stop(reading.get());
}

// Completes the future with what the finished task gave: its result, or its exception (the end of a
// source included, which ends the body's `async for`).
bool passed(PyObject* task, PyObject* future) {
  Object result = call_method(task, "result");
  if (result) return static_cast<bool>(call_method(future, "set_result", result.get()));
  Object error = Object::steal(PyErr_GetRaisedException());
  return static_cast<bool>(call_method(future, "set_exception", error.get()));
}

Object delivered(const std::shared_ptr<Node>& node, PyObject* task) {
  Object future = node->future();
  if (!future || !passed(task, future.get())) return Object();
  return future;
}

// The source's item task of run `number` has finished: a waiting read gets the item; otherwise the
// item waits for the next read, ahead of every message queued from now on.
bool merge_done(const Object& self, std::uint64_t number, PyObject* task) {
  Activation& a = the(self);
  Object reading, taken;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number || s->run->merge_task.get() != task) return true;
    if (!s->run->reading) {
      s->run->merged = s->mailbox.next();
      return true;
    }
    reading = std::move(s->run->reading);
    taken = std::move(s->run->merge_task);
  }
  auto d = future::done(reading.get());
  if (!d) return false;
  return *d || passed(task, reading.get());
}

// A merged read that found no queued message: it waits for a message or the source's next item,
// with no idle timeout.
Object merging(const Object& self, std::uint64_t number, PyObject* source) {
  Activation& a = the(self);
  Object task;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) task = s->run->merge_task;
  }
  if (task) {
    auto d = future::done(task.get());
    if (!d) return Object();
    if (*d) {
      Object taken;
      {
        auto s = a.state.lock();
        if (s->run && s->run->number == number) {
          s->run->merged.reset();
          taken = std::move(s->run->merge_task);
        }
      }
      return delivered(a.node, task.get());
    }
  } else {
    Object item = call_method(source, "__anext__");
    if (!item) return item;
    Object loop = a.node->running();
    if (!loop) return loop;
    task = call_method(loop.get(), "create_task", item.get());
    if (!task) return task;
    if (!steps::when_done(task.get(), [self, number](PyObject* f) { return merge_done(self, number, f); })) {
      return Object();
    }
    Object replaced;
    auto s = a.state.lock();
    if (s->run && s->run->number == number) replaced = std::exchange(s->run->merge_task, task);
  }
  Object future = a.node->future();
  if (!future) return future;
  Object replaced;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) {
      replaced = std::exchange(s->run->reading, future);
      s->run->idling.reset();
    }
  }
  return future;
}

}  // namespace

bool call(const Object& self, const std::vector<core::Target>& targets) {
  Activation& a = the(self);
  for (const core::Target& t : targets) {
    if (!a.node->answer(t, core::Outcome::full(a.actor, a.key))) return false;
  }
  return true;
}

// What is drained here is in no mailbox any more: one asker that cannot be answered keeps none of
// the others waiting. The first failure is the result; later ones are reported.
bool refuse_waiting(const Object& self, Maker maker, const std::string& reason) {
  Activation& a = the(self);
  core::mailbox::Drained drained;
  {
    auto s = a.state.lock();
    drained = s->mailbox.drain();
  }
  Object kept;
  auto keep = [&] {
    if (kept) {
      a.node->report(kRefusing);
    } else {
      kept = Object::steal(PyErr_GetRaisedException());
    }
  };
  for (core::Deliver& m : drained.queue) {
    if (!m.reply) {
      a.node->dropped(m.actor, m.key, reason);
    } else if (!a.node->answer(*m.reply, maker(m.actor, m.key))) {
      keep();
    }
  }
  if (!call(self, drained.parked)) keep();
  return steps::raise_kept(std::move(kept));
}

bool wake(const Object& self) {
  Activation& a = the(self);
  if (a.state.lock()->definition->native) return woken(self);
  std::uint64_t number = 0;
  std::optional<double> idling;
  {
    auto s = a.state.lock();
    if (!s->run || !s->run->reading) return true;
    number = s->run->number;
    idling = s->run->idling;
  }
  bool expired = false;
  if (idling) {
    auto now = a.node->now();
    if (!now) return false;
    expired = core::activation::expired(idling, *now);
  }
  Object reading;
  bool draining = false;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number || !s->run->reading) return true;
    reading = std::move(s->run->reading);
    draining = s->draining;
  }
  auto d = future::done(reading.get());
  if (!d) return false;
  if (*d) {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) s->run->idling.reset();
    return true;
  }
  std::optional<core::Deliver> message;
  if (!expired && !next(self, message)) {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) s->run->reading = std::move(reading);
    return false;
  }
  core::activation::Woken woken = core::activation::Woken::Wait;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number) return true;
    woken = core::activation::woken(message.has_value(), expired, draining);
    if (woken == core::activation::Woken::Wait) {
      s->run->reading = std::move(reading);
      return true;
    }
    s->run->idling.reset();
    if (message) s->run->current = *message;
  }
  if (woken == core::activation::Woken::End) return future::stop(reading.get());
  Object value = opened(self, *message);
  if (!value) {
    PyObject* raised = PyErr_GetRaisedException();
    Object error = Object::steal(raised);
    return static_cast<bool>(call_method(reading.get(), "set_exception", error.get()));
  }
  return static_cast<bool>(call_method(reading.get(), "set_result", value.get()));
}

bool next(const Object& self, std::optional<core::Deliver>& message) {
  for (;;) {
    core::mailbox::Took took;
    {
      auto s = the(self).state.lock();
      took = s->mailbox.take();
    }
    if (!call(self, took.released)) return false;
    if (!took.released.empty() && !took.delivery) continue;
    message = std::move(took.delivery);
    return true;
  }
}

Object opened(const Object& self, const core::Deliver& message) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> definition = a.state.lock()->definition;
  auto value = schema::Schema::read(definition->message.get(), definition->messages().tree.tagged_root,
                                    message.message, a.node);
  if (!value) {
    schema::raise(std::move(value.error()));
    return Object();
  }
  return *std::move(value);
}

std::optional<std::string> closed(const Object& self, const core::Chain& chain) {
  if (chain.empty()) return std::nullopt;
  Activation& a = the(self);
  std::optional<std::uint64_t> hold;
  {
    auto s = a.state.lock();
    core::activation::Busy busy{.asking = s->stepping.awaiting.has_value(), .asking_hold = s->stepping.hold};
    if (s->run) {
      busy.task = static_cast<bool>(s->run->task);
      busy.reading = static_cast<bool>(s->run->reading);
      busy.hold = s->run->hold;
    }
    hold = core::activation::waits(busy);
  }
  return chain.closed(a.actor, a.key, hold);
}

bool decide(const Object& self, const core::Target& reply, const core::Chain& chain) {
  Object loop = the(self).node->running();
  if (!loop) return false;
  Object step = steps::bare([self, reply, chain]() -> bool {
    Activation& a = the(self);
    auto cycle = closed(self, chain);
    if (!cycle) return true;
    core::mailbox::Withdrawn withdrawn;
    {
      auto s = a.state.lock();
      withdrawn = s->mailbox.withdraw(reply);
    }
    if (std::holds_alternative<core::mailbox::Withdrawn::Absent>(withdrawn.value)) return true;
    if (auto* q = std::get_if<core::mailbox::Withdrawn::Queued>(&withdrawn.value)) {
      if (!call(self, q->released)) return false;
    }
    return a.node->answer(reply, core::Outcome{core::Outcome::Cycle{*cycle}});
  });
  if (!step) return false;
  return static_cast<bool>(call_method(loop.get(), "call_soon", step.get()));
}

bool idling(const Object& self, std::uint64_t number) {
  Activation& a = the(self);
  const core::Duration idle = a.settings().idle_after;
  auto now = a.node->now();
  if (!now) return false;
  const double due = core::activation::idle_deadline(*now, idle);
  bool arm = false;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != number) return true;
    s->run->idling = due;
    arm = core::activation::arms(s->run->idle_timer ? s->run->idle_due : std::nullopt, due);
  }
  return !arm || idle_armed(self, number, idle.as_seconds(), due);
}

Object anext(const Object& self, std::uint64_t number, PyObject* source) {
  Activation& a = the(self);
  Object task = a.node->runs.current();
  const std::uint64_t hold = a.node->next_run.fetch_add(1);
  bool live = false, moved = false;
  core::activation::Read read = core::activation::Read::Over;
  Object old_entered, body;
  std::optional<core::Deliver> previous;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) {
      live = true;
      Run& run = *s->run;
      run.revoked = false;
      run.replied = false;
      run.read = true;
      run.hold = hold;
      previous = std::exchange(run.current, std::nullopt);
      if (previous) run.failures = 0;
      if (task && task.get() != run.entered.get()) {
        old_entered = std::exchange(run.entered, task);
        moved = true;
      }
      body = run.task;
    }
    read = core::activation::reads(live, s->flags());
  }
  if (!live) {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return Object();
  }
  if (moved) {
    if (old_entered) a.node->runs.leave(old_entered);
    a.node->runs.enter(task, self, number);
  }
  if (read == core::activation::Read::Cancel) {
    if (body && !call_method(body.get(), "cancel")) return Object();
    return a.node->future();
  }
  if (read == core::activation::Read::Over) {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return Object();
  }
  if (source != nullptr) {
    // A source item that became ready before the oldest queued message arrived is read first.
    Object ready;
    {
      auto s = a.state.lock();
      if (s->run && s->run->number == number && core::activation::merged_first(s->run->merged, s->mailbox.oldest())) {
        s->run->merged.reset();
        ready = std::move(s->run->merge_task);
      }
    }
    if (ready) return delivered(a.node, ready.get());
  }
  std::optional<core::Deliver> message;
  if (!next(self, message)) return Object();
  if (message) {
    {
      auto s = a.state.lock();
      if (s->run && s->run->number == number) s->run->current = *message;
    }
    Object value = opened(self, *message);
    if (!value) return Object();
    Object future = a.node->future();
    if (!future || !call_method(future.get(), "set_result", value.get())) return Object();
    return future;
  }
  if (source != nullptr) return merging(self, number, source);
  Object future = a.node->future();
  if (!future) return Object();
  Object replaced;
  bool installed = false, scheduled = false;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) {
      replaced = std::exchange(s->run->reading, future);
      installed = true;
      scheduled = !s->schedules.empty();
      // A key with a live schedule never idles out of its read: it has something coming. A
      // deadline set by an earlier read must not end it either.
      if (scheduled) s->run->idling.reset();
    }
  }
  if (installed && !scheduled && !idling(self, number)) return Object();
  return future;
}

}  // namespace vorel::py::activation
