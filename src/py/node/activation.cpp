// The life of an activation on the loop: the record and its type, opening the key, runs of the
// body with their restarts and backoff, deactivation, and letting the key go by release, drain or
// ActorSystem.release. What each step decides is asked of core::activation; the steps here read
// and write the record under its lock and make the calls into Python with the lock released.
#include "py/node/activation.hpp"

#include <fmt/format.h>

#include <utility>

#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/body.hpp"
#include "py/node/context.hpp"
#include "py/node/observe.hpp"
#include "py/node/steps.hpp"
#include "py/node/taken.hpp"
#include "py/schema/load.hpp"
#include "py/wall.hpp"

namespace vorel::py {
namespace {

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The live instance of one key on this node.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Activation>)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Activation", sizeof(body::Of<Activation>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

body::Type<Activation> kind(spec);

// The str of the raised exception, which stays raised; none when str itself fails.
std::optional<std::string> raised_text() {
  PyObject* raised = PyErr_GetRaisedException();
  Object text = Object::steal(PyObject_Str(raised));
  std::optional<std::string> out;
  if (text) out = utf8(text.get());
  if (!out) PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return out;
}

}  // namespace

Activation& Activation::of(PyObject* o) { return body::record<Activation>(o); }

Object Activation::make(std::shared_ptr<Node> node, std::string actor, std::string key, double since,
                        std::shared_ptr<const Definition> definition) {
  Object self = kind.make();
  if (!self) return self;
  Activation& a = of(self.get());
  a.node = std::move(node);
  a.actor = std::move(actor);
  a.key = std::move(key);
  a.since = since;
  auto s = a.state.lock();
  s->mailbox = core::Mailbox(definition->options.mailbox, definition->options.wait);
  s->definition = std::move(definition);
  return self;
}

activation::Settings Activation::settings() {
  std::shared_ptr<const Definition> d = state.lock()->definition;
  const NodeConfig& c = node->config;
  const core::Options& o = d->options;
  return activation::Settings{o.idle_after.value_or(c.idle_after), o.ask_timeout.value_or(c.ask_timeout),
                              o.write_timeout.value_or(c.write_timeout), c.leave_timeout,
                              o.backoff.value_or(c.backoff)};
}

namespace activation {
namespace {

using core::activation::Next;
using core::activation::Nudge;

bool resume(const Object& self);
bool attempt(const Object& self);
bool start(const Object& self);
bool over(const Object& self);
bool finish(const Object& self);
bool successor(const Object& self, const std::string& name);
bool pass_on(const Object& self);

// An activation that cannot open or cannot run its body ends: it leaves the table and refuses what
// waits, so that nothing waits for it for ever. The error stays raised for the loop to report; a
// failure on the way there is reported on its own.
bool given_up(const Object& self) {
  std::string reason = raised_text().value_or("the activation could not start");
  PyObject* raised = PyErr_GetRaisedException();
  Activation& a = the(self);
  a.node->vacate(self.get());
  if (!refuse_waiting(self, core::Outcome::unreached, reason)) a.node->report(kRefusing);
  if (!finish(self)) a.node->report(kRefusing);
  PyErr_SetRaisedException(raised);
  return false;
}

// Whether the activation cancelled the task of run `number` itself: to let it go or end it, for a
// become, or because the ask it handled was withdrawn.
bool cancelled_by_us(const Object& self, std::uint64_t number) {
  auto s = the(self).state.lock();
  return s->releasing || s->draining || s->ending || s->becoming || s->closed ||
         (s->run && s->run->number == number && s->run->revoked);
}

// The asks still queued when a body failed before it read its inbox: it would fail the same way
// before it reached them, so each is answered with the failure now rather than by its timeout.
// Tells stay for a later run.
bool unread_asks_fail(const Object& self, const core::Outcome& failed) {
  Activation& a = the(self);
  std::vector<core::Target> asks;
  {
    auto s = a.state.lock();
    for (const core::Deliver& m : s->mailbox.queue()) {
      if (m.reply) asks.push_back(*m.reply);
    }
  }
  for (const core::Target& t : asks) {
    core::mailbox::Withdrawn withdrawn;
    {
      auto s = a.state.lock();
      withdrawn = s->mailbox.withdraw(t);
    }
    auto* q = std::get_if<core::mailbox::Withdrawn::Queued>(&withdrawn.value);
    if (q == nullptr) continue;
    if (!a.node->answer(t, failed)) return false;
    for (const core::Target& r : q->released) {
      if (!a.node->answer(r, core::Outcome::full(a.actor, a.key))) return false;
    }
  }
  return true;
}

bool forsaken(Node& node, std::optional<Run> run) {
  if (!run) return true;
  if (run->entered) node.runs.leave(run->entered);
  return steps::cancel(run->idle_timer);
}

bool held_by(const Object& self, PyObject* future) {
  Activation& a = the(self);
  Object result = call_method(future, "result");
  if (!result) {
    auto reason = raised_text();
    if (!reason) return false;
    PyErr_Clear();
    a.node->vacate(self.get());
    if (!refuse_waiting(self, core::Outcome::unreached, *reason)) return false;
    return finish(self);
  }
  auto held = taken::take(result.get());
  if (!held) return false;
  if (!*held) {
    a.node->vacate(self.get());
    if (!refuse_waiting(self, core::Outcome::missing, "the key was not started")) return false;
    return finish(self);
  }
  {
    auto s = a.state.lock();
    s->written = (*held)->pages;
    s->pages = std::move((*held)->pages);
    s->generation = (*held)->generation;
    s->opened = true;
    s->initial.reset();
  }
  if (!restored(self)) return false;
  if (!resume(self)) return given_up(self);
  return true;
}

bool resume(const Object& self) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> definition;
  std::string name;
  core::Pages pages;
  Next next = Next::Attempt;
  {
    auto s = a.state.lock();
    s->opened = true;
    definition = s->definition;
    name = named(s->pages, a.actor);
    next = core::activation::resumed(s->flags(), name != definition->name);
    pages = s->pages;
  }
  if (next == Next::WindDown) return wound_down(self);
  if (next == Next::Successor) return successor(self, name);
  // A native collection's parts are stepped as they are, never read into a Python value.
  if (definition->native) return attempt(self);
  Object value = decoded(self, *definition, pages);
  if (!value) return false;
  {
    auto s = a.state.lock();
    std::swap(s->value, value);
  }
  return attempt(self);
}

bool attempt(const Object& self) {
  Activation& a = the(self);
  std::optional<Run> run;
  Native native;
  Next next = Next::Start;
  {
    auto s = a.state.lock();
    s->becoming = false;
    native = s->definition->native;
    next = core::activation::attempted(s->flags(), native != nullptr);
    run = std::exchange(s->run, std::nullopt);
  }
  if (!forsaken(*a.node, std::move(run))) return false;
  if (next == Next::Deactivate) return deactivate(self);
  if (next == Next::Step) return stepping(self, *native);
  return start(self);
}

bool start(const Object& self) {
  Activation& a = the(self);
  const std::uint64_t hold = a.node->next_run.fetch_add(1);
  std::uint64_t number = 0;
  std::optional<Run> previous;
  std::shared_ptr<const Definition> definition;
  {
    auto s = a.state.lock();
    if (s->closed) return true;
    number = ++s->started;
    previous = std::exchange(s->run, Run{});
    s->run->number = number;
    s->run->hold = hold;
    s->run->failures = previous ? previous->failures : 0;
    definition = s->definition;
  }
  if (!forsaken(*a.node, std::move(previous))) return false;
  Object ctx = context::make(self, a.node, number);
  if (!ctx) return false;
  Object coroutine = py::call(definition->body.get(), ctx.get());
  if (!coroutine) return false;
  Object loop = a.node->running();
  if (!loop) return false;
  Object task = call_method(loop.get(), "create_task", coroutine.get());
  if (!task) return false;
  bool ok = steps::when_done(task.get(), [self, number](PyObject* finished) -> bool {
    Activation& a = the(self);
    Object exception;
    Object cancelled = call_method(finished, "cancelled");
    if (!cancelled) return false;
    if (!PyObject_IsTrue(cancelled.get())) {
      exception = call_method(finished, "exception");
      if (!exception) return false;
      if (exception.get() == Py_None) exception = Object();
    } else if (!cancelled_by_us(self, number)) {
      // A CancelledError nobody here asked for is the body's own failure; the task gives it back
      // when asked for its exception.
      if (call_method(finished, "exception")) return false;
      exception = Object::steal(PyErr_GetRaisedException());
    }
    bool park = false;
    Object entered, task;
    {
      auto s = a.state.lock();
      park = core::activation::parks(s->flags());
      if (!s->run || s->run->number != number) return true;
      s->run->over = true;
      task = std::move(s->run->task);
      if (park) s->run->parked = exception;
      entered = std::move(s->run->entered);
    }
    if (entered) a.node->runs.leave(entered);
    if (park) return true;
    return after(self, number, std::move(exception));
  });
  if (!ok) return false;
  bool recorded = false;
  {
    auto s = a.state.lock();
    if (s->run && s->run->number == number) {
      s->run->task = task;
      s->run->entered = task;
      recorded = true;
    }
  }
  if (recorded) a.node->runs.enter(task, self, number);
  return true;
}

// The timer carries the number of the run that failed without comparing it: the run stays
// installed while it waits, and the next start replaces it.
bool backoff_timer(const Object& self, std::uint64_t number) {
  switch (core::activation::fired(the(self).state.lock()->flags())) {
    case Next::WindDown: return wound_down(self);
    case Next::After: return after(self, number, Object());
    default: return start(self);
  }
}

bool over(const Object& self) {
  Activation& a = the(self);
  if (core::activation::passes_on(a.state.lock()->flags())) {
    a.node->vacate(self.get());
    if (!pass_on(self)) return false;
  }
  return finish(self);
}

bool finish(const Object& self) {
  Activation& a = the(self);
  std::vector<Object> waiters, timers;
  {
    auto s = a.state.lock();
    if (s->closed) return true;
    s->closed = true;
    timers = unarmed(s->schedules);
    waiters = std::exchange(s->waiters, {});
  }
  Object kept;
  // The schedules stay in the key's pages: the next activation arms them again.
  if (!cancel_all(timers)) kept = Object::steal(PyErr_GetRaisedException());
  if (a.node->activations.lock()->empty()) {
    Object drained = a.node->drained.replace(Object());
    if (drained && !future::resolve(drained.get(), Py_None)) kept = Object::steal(PyErr_GetRaisedException());
  }
  for (const Object& waiter : waiters) {
    if (!future::resolve(waiter.get(), Py_True)) return false;
  }
  return steps::raise_kept(std::move(kept));
}

bool successor(const Object& self, const std::string& name) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> found = a.node->resolve(name);
  // A name that resolves to a type of another name would send the key back and forth between
  // the two for ever: it counts as a type this node does not have.
  if (found && found->name != name) found = nullptr;
  if (found) {
    std::shared_ptr<const Definition> old;
    {
      auto s = a.state.lock();
      old = std::exchange(s->definition, found);
    }
    return resume(self);
  }
  Object loop = a.node->event_loop.get();
  if (loop && (a.node->wanted.load() & observe::bit(observe::Event::ActivationFailed))) {
    Object exception = errors::make(errors::Class::UnknownActor,
                                    fmt::format("{}/{} became {}, which this node does not have", a.actor, a.key, name));
    if (exception) {
      observe::deliver(loop.get(), a.node->observer.get(), observe::Event::ActivationFailed,
                       {text(a.actor), text(a.key), exception});
    } else {
      PyErr_Clear();
    }
  }
  a.node->vacate(self.get());
  if (!refuse_waiting(self, core::Outcome::unreached, fmt::format("this node does not have {}", name))) return false;
  return finish(self);
}

bool pass_on(const Object& self) {
  Activation& a = the(self);
  core::mailbox::Drained drained;
  {
    auto s = a.state.lock();
    drained = s->mailbox.drain();
  }
  for (core::Deliver& m : drained.queue) {
    if (a.node->hand(core::Command{std::move(m)})) continue;
    std::string reason = raised_text().value_or("the message could not be handed on");
    PyErr_Clear();
    a.node->dropped(a.actor, a.key, reason);
  }
  return call(self, drained.parked);
}

// What runs in the activation, for letting it go.
core::activation::Held held(const State& s) {
  return {.task = s.run && s.run->task,
          .reading = s.run && s.run->reading,
          .parked = s.run && s.run->parked,
          .native = s.definition->native != nullptr};
}

// A nudge that needs no task: the native driver lets go, or the activation winds down now. One
// whose opening, final write or confirmation is still on its way ends when that lands.
bool nudged(const Object& self, Nudge nudge) {
  if (nudge == Nudge::LetGo) return let_go(self);
  if (nudge == Nudge::WindDown) return wound_down(self);
  return true;
}

}  // namespace

PyObject* type() { return kind.get(); }

bool begin(const Object& self) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> definition;
  std::optional<core::Bytes> initial;
  {
    auto s = a.state.lock();
    definition = s->definition;
    initial = s->initial;
  }
  Op op;
  op.kind = Op::Kind::Read;
  if (initial) {
    auto value = schema::Schema::read(definition->state.get(), definition->states().tree.tagged_root, *initial, a.node);
    if (!value) {
      schema::raise(std::move(value.error()));
      return given_up(self);
    }
    op.initial = pages_of(self, *definition, value->get());
    if (!op.initial) return given_up(self);
  } else if (definition->native && definition->initial) {
    // A collection starts from its own initial parts; the default value only says it has one.
    op.initial = definition->native->initial(wall::seconds());
  } else if (definition->initial) {
    op.initial = pages_of(self, *definition, definition->initial->get());
    if (!op.initial) return given_up(self);
  }
  Object future = a.node->persist(a.actor, a.key, std::move(op));
  if (!future) return given_up(self);
  if (!steps::when_done(future.get(), [self](PyObject* f) { return held_by(self, f); })) return given_up(self);
  return true;
}

namespace {

// What an asker is answered when the body failed with `exception`; nullopt with the error set.
std::optional<core::Outcome> failure(const Activation& a, PyObject* exception) {
  Object name = attr(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__");
  if (!name) return std::nullopt;
  auto n = utf8(name.get());
  if (!n) return std::nullopt;
  Object str = Object::steal(PyObject_Str(exception));
  if (!str) return std::nullopt;
  auto t = utf8(str.get());
  if (!t) return std::nullopt;
  // By class, not by name: a class of the user's that happens to be named Unavailable is a failure
  // of the body like any other.
  if (PyErr_GivenExceptionMatches(exception, errors::get(errors::Class::Unavailable))) {
    return core::Outcome::unreached(a.actor, a.key);
  }
  return core::Outcome{core::Outcome::Failed{a.actor, a.key, *n, *t}};
}

}  // namespace

bool ended_by(const Object& self, std::optional<core::Deliver> message, PyObject* exception) {
  Activation& a = the(self);
  Object loop = a.node->event_loop.get();
  if (loop && (a.node->wanted.load() & observe::bit(observe::Event::ActivationFailed))) {
    observe::deliver(loop.get(), a.node->observer.get(), observe::Event::ActivationFailed,
                     {text(a.actor), text(a.key), Object::borrow(exception)});
  }
  if (!message || !message->reply) return true;
  std::optional<core::Outcome> outcome = failure(a, exception);
  return outcome && a.node->answer(*message->reply, *std::move(outcome));
}

bool after(const Object& self, std::uint64_t number, Object exception) {
  Activation& a = the(self);
  const bool raised = static_cast<bool>(exception);
  const core::Backoff backoff = raised ? a.settings().backoff : core::Backoff{};
  Next next = Next::Nothing;
  std::string name;
  std::uint32_t exponent = 0;
  std::optional<core::Deliver> message;
  std::optional<Run> run;
  bool unread = false;
  {
    auto s = a.state.lock();
    name = named(s->pages, a.actor);
    core::activation::Ended ended{.raised = raised, .current = s->run && s->run->number == number};
    if (ended.current) {
      ended.revoked = s->run->revoked;
      ended.read = s->run->read;
      unread = !s->run->read;
    }
    ended.queued = !s->mailbox.queue().empty();
    ended.renamed = name != s->definition->name;
    next = core::activation::after(s->flags(), ended);
    if (next != Next::WindDown && raised && s->run) {
      exponent = core::activation::failed(s->run->failures);
      message = std::exchange(s->run->current, std::nullopt);
      // An ask the body answered already keeps its answer.
      if (s->run->replied) message.reset();
    }
    if (next != Next::WindDown && next != Next::BackOff && ended.current) s->run->current.reset();
    if (next == Next::Deactivate) run = std::exchange(s->run, std::nullopt);
  }
  if (next == Next::WindDown) return wound_down(self);
  if (raised && !ended_by(self, std::move(message), exception.get())) return false;
  if (raised && unread) {
    std::optional<core::Outcome> failed = failure(a, exception.get());
    if (!failed || !unread_asks_fail(self, *failed)) return false;
  }
  if (!forsaken(*a.node, std::move(run))) return false;
  switch (next) {
    case Next::BackOff: {
      Object loop = a.node->running();
      return loop && steps::later(loop.get(), backoff.delay(exponent).as_seconds(),
                                  [self, number] { return backoff_timer(self, number); });
    }
    case Next::Start: return start(self);
    case Next::Deactivate: return deactivate(self);
    case Next::Successor: return successor(self, name);
    case Next::Attempt: return attempt(self);
    default: return true;
  }
}

bool deactivate(const Object& self) {
  Activation& a = the(self);
  bool ending = a.state.lock()->ending;
  if (!ending) {
    a.node->vacate(self.get());
    if (!refuse_waiting(self, core::Outcome::unreached, "the body ended without reading it")) return false;
  }
  Op op;
  bool deleted = false;
  Native native;
  std::shared_ptr<const Definition> definition;
  {
    auto s = a.state.lock();
    op.kind = Op::Kind::Write;
    op.pages = s->pages;
    op.generation = s->generation;
    deleted = s->deleted;
    native = s->definition->native;
    definition = s->definition;
  }
  if (deleted) {
    // The deletion is the key's last record: the node runtime lets go of the key's round.
    if (auto clustered = a.node->cluster()) clustered->runtime.release(a.actor, a.key, op.generation);
    return over(self);
  }
  if (native) {
    if (native->disposable(op.pages, wall::seconds())) op.kind = Op::Kind::Delete;
  } else if (definition->initial && !definition->options.durable) {
    // A key left as its type's default initial state would open the same without a record: the
    // table keeps none for it, so that keys touched once cost nothing after they idle out.
    // The pages of the value alone: a schedule or a behavior of the key makes them differ.
    auto fresh = schema::Schema::write_pages(definition->states(), definition->initial->get());
    if (!fresh) {
      schema::raise(std::move(fresh.error()));
      return false;
    }
    if (*fresh == op.pages) op.kind = Op::Kind::Delete;
  }
  Object future = a.node->persist(a.actor, a.key, std::move(op));
  if (!future) return false;
  return steps::when_done(future.get(), [self](PyObject* finished) {
    // A failed final write ends the activation all the same.
    if (!call_method(finished, "result")) PyErr_Clear();
    return over(self);
  });
}

bool wound_down(const Object& self) {
  Activation& a = the(self);
  std::optional<std::string_view> reason;
  {
    auto s = a.state.lock();
    reason = core::activation::wound_down(s->flags(), s->run && s->run->task);
  }
  if (!reason) return true;
  a.node->vacate(self.get());
  std::optional<core::Deliver> message;
  Object timer, wake_timer;
  {
    auto s = a.state.lock();
    if (s->run) {
      message = std::exchange(s->run->current, std::nullopt);
      if (s->run->replied) message.reset();
      timer = std::move(s->run->idle_timer);
    } else {
      message = std::exchange(s->stepping.current, std::nullopt);
      timer = std::move(s->stepping.idle_timer);
      wake_timer = std::move(s->stepping.wake_timer);
    }
  }
  Object kept;
  if (!steps::cancel(timer) || !steps::cancel(wake_timer)) {
    kept = Object::steal(PyErr_GetRaisedException());
  } else if (message) {
    if (!message->reply) {
      a.node->dropped(a.actor, a.key, *reason);
    } else if (!a.node->answer(*message->reply, core::Outcome::unreached(a.actor, a.key))) {
      kept = Object::steal(PyErr_GetRaisedException());
    }
  }
  if (!kept && !pass_on(self)) kept = Object::steal(PyErr_GetRaisedException());
  if (!finish(self)) return false;
  return steps::raise_kept(std::move(kept));
}

bool drain(const Object& self) {
  Nudge nudge = Nudge::Wait;
  {
    auto s = the(self).state.lock();
    s->draining = true;
    nudge = core::activation::drained(held(*s));
  }
  if (nudge == Nudge::Wake) return wake(self);
  return nudged(self, nudge);
}

bool release(const Object& self) {
  Object task;
  Nudge nudge = Nudge::Wait;
  {
    auto s = the(self).state.lock();
    s->releasing = true;
    nudge = core::activation::released(held(*s));
    if (nudge == Nudge::Cancel) task = s->run->task;
  }
  if (task) return static_cast<bool>(call_method(task.get(), "cancel"));
  return nudged(self, nudge);
}

std::optional<bool> running(const Object& self) {
  Object task;
  {
    auto s = the(self).state.lock();
    if (s->run) task = s->run->task;
  }
  if (!task) return false;
  std::optional<bool> done = future::done(task.get());
  if (!done) return std::nullopt;
  return !*done;
}

bool ending(const Object& self, const Object& waiter) {
  Activation& a = the(self);
  Object reading, timer;
  {
    auto s = a.state.lock();
    s->waiters.push_back(waiter);
    if (s->ending || s->releasing || s->draining) return true;
    s->ending = true;
    if (s->run) {
      s->run->idling.reset();
      reading = std::move(s->run->reading);
      timer = std::move(s->run->idle_timer);
    }
  }
  if (!steps::cancel(timer)) return false;
  if (reading && !future::stop(reading.get())) return false;
  if (a.state.lock()->definition->native) return idled(self);
  return true;
}

}  // namespace activation
}  // namespace vorel::py
