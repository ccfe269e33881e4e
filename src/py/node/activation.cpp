#include "py/node/activation.hpp"

#include <fmt/format.h>

#include <utility>

#include "core/msgpack.hpp"
#include "core/schedule.hpp"
#include "py/awaited.hpp"
#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/steps.hpp"
#include "py/node/context.hpp"
#include "py/node/observe.hpp"
#include "py/node/taken.hpp"
#include "py/node/body.hpp"
#include "py/schema/load.hpp"

namespace vorel::py {
namespace ir = core::schema::ir;

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

using Maker = core::Outcome (*)(std::string_view, std::string_view);

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
bool after(const Object& self, std::uint64_t number, Object exception);
bool deactivate(const Object& self);
bool over(const Object& self);
bool finish(const Object& self);
bool wound_down(const Object& self);
bool successor(const Object& self, const std::string& name);
bool pass_on(const Object& self);

Activation& the(const Object& self) { return Activation::of(self.get()); }

// Puts the page of the key's live schedules into pages about to be written.
void scheduled_into(const Object& self, core::Pages& pages) {
  auto s = the(self).state.lock();
  if (auto page = schedules_page(s->schedules)) pages.insert_or_assign(std::string(core::schedule::kPage), *std::move(page));
}

// The pages of a value by a definition's state schema, with "@behavior" when the definition is not
// the key's own type.
std::optional<core::Pages> pages_of(const Object& self, const Definition& definition, PyObject* value) {
  auto pages = schema::Schema::write_pages(definition.states(), value);
  if (!pages) {
    schema::raise(std::move(pages.error()));
    return std::nullopt;
  }
  if (definition.name != the(self).actor) pages->insert_or_assign("@behavior", core::Bytes(definition.name.begin(), definition.name.end()));
  scheduled_into(self, *pages);
  return *std::move(pages);
}

// A state value read from its pages by a definition's state schema: a fresh object every time, so
// that no two keys share one.
Object decoded(const Object& self, const Definition& definition, const core::Pages& pages) {
  const schema::Schema& s = definition.states();
  const ir::Index root = s.tree.root;
  const auto* d = s.tree.at(root).as<ir::Node::Dataclass>();
  auto page = [&](const std::string& name) -> const core::Bytes* {
    auto at = pages.find(name);
    return at == pages.end() ? nullptr : &at->second;
  };
  if (d == nullptr) {
    const core::Bytes* only = page(".");
    if (only == nullptr) {
      schema::raise(schema::Failure::schema(std::string("missing page '.'")));
      return Object();
    }
    auto value = schema::Schema::read(definition.state.get(), root, *only, the(self).node);
    if (!value) {
      schema::raise(std::move(value.error()));
      return Object();
    }
    return *std::move(value);
  }
  std::vector<Object> values(d->fields.size());
  for (std::size_t i = 0; i < d->fields.size(); ++i) {
    const core::Bytes* bytes = page(d->fields[i].name);
    if (bytes == nullptr) continue;
    auto value = schema::Schema::read(definition.state.get(), d->fields[i].node, *bytes, the(self).node);
    if (!value) {
      schema::raise(schema::under(std::move(value.error()), d->fields[i].name));
      return Object();
    }
    values[i] = *std::move(value);
  }
  auto built = schema::Loader::build(s, root, values);
  if (!built) {
    schema::raise(std::move(built.error()));
    return Object();
  }
  return *std::move(built);
}

std::string named(const core::Pages& pages, const std::string& actor) {
  auto at = pages.find("@behavior");
  if (at == pages.end()) return actor;
  Object text = Object::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(at->second.data()),
                                                   static_cast<Py_ssize_t>(at->second.size()), "replace"));
  auto out = text ? utf8(text.get()) : std::nullopt;
  if (!out) {
    PyErr_Clear();
    return actor;
  }
  return *out;
}

bool call_full(const Object& self, const std::vector<core::Target>& targets) {
  Activation& a = the(self);
  for (const core::Target& t : targets) {
    if (!a.node->answer(t, core::Outcome::full(a.actor, a.key))) return false;
  }
  return true;
}

bool refuse_waiting(const Object& self, Maker maker, const std::string& reason) {
  Activation& a = the(self);
  core::mailbox::Drained drained;
  {
    auto s = a.state.lock();
    drained = s->mailbox.drain();
  }
  for (core::Deliver& m : drained.queue) {
    if (!m.reply) {
      a.node->dropped(m.actor, m.key, reason);
    } else if (!a.node->answer(*m.reply, maker(m.actor, m.key))) {
      return false;
    }
  }
  return call_full(self, drained.parked);
}

// An activation that cannot open or cannot run its body ends: it leaves the table and refuses what
// waits, so that nothing waits for it for ever. The error stays raised for the loop to report.
bool given_up(const Object& self) {
  std::string reason = raised_text().value_or("the activation could not start");
  PyObject* raised = PyErr_GetRaisedException();
  Activation& a = the(self);
  a.node->vacate(self.get());
  if (refuse_waiting(self, core::Outcome::unreached, reason)) finish(self);
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return false;
}

bool ended_by(const Object& self, std::optional<core::Deliver> message, PyObject* exception) {
  Activation& a = the(self);
  Object loop = a.node->event_loop.get();
  if (loop && (a.node->wanted.load() & observe::bit(observe::Event::ActivationFailed))) {
    observe::deliver(loop.get(), a.node->observer.get(), observe::Event::ActivationFailed,
                     {text(a.actor), text(a.key), Object::borrow(exception)});
  }
  if (!message || !message->reply) return true;
  Object name = attr(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__");
  if (!name) return false;
  auto n = utf8(name.get());
  if (!n) return false;
  Object str = Object::steal(PyObject_Str(exception));
  if (!str) return false;
  auto t = utf8(str.get());
  if (!t) return false;
  core::Outcome outcome = *n == errors::name(errors::Class::Unavailable)
                              ? core::Outcome::unreached(a.actor, a.key)
                              : core::Outcome{core::Outcome::Failed{a.actor, a.key, *n, *t}};
  return a.node->answer(*message->reply, std::move(outcome));
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
  pages.erase("@behavior");
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
  Object coroutine = call(definition->body.get(), ctx.get());
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
    }
    bool park = false;
    Object entered, task;
    {
      auto s = a.state.lock();
      park = core::activation::parks(s->flags());
      if (!s->run || s->run->number != number) return true;
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

bool after(const Object& self, std::uint64_t number, Object exception) {
  Activation& a = the(self);
  const bool raised = static_cast<bool>(exception);
  const core::Backoff backoff = raised ? a.settings().backoff : core::Backoff{};
  Next next = Next::Nothing;
  std::string name;
  std::uint32_t exponent = 0;
  std::optional<core::Deliver> message;
  std::optional<Run> run;
  {
    auto s = a.state.lock();
    name = named(s->pages, a.actor);
    core::activation::Ended ended{.raised = raised, .current = s->run && s->run->number == number};
    if (ended.current) {
      ended.revoked = s->run->revoked;
      ended.read = s->run->read;
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
  {
    auto s = a.state.lock();
    op.kind = Op::Kind::Write;
    op.pages = s->pages;
    op.generation = s->generation;
    deleted = s->deleted;
    native = s->definition->native;
  }
  if (deleted) return over(self);
  if (native) {
    auto now = a.node->clock();
    if (!now) return false;
    if (native->disposable(op.pages, *now)) op.kind = Op::Kind::Delete;
  }
  Object future = a.node->persist(a.actor, a.key, std::move(op));
  if (!future) return false;
  return steps::when_done(future.get(), [self](PyObject* finished) {
    // A failed final write ends the activation all the same.
    if (!call_method(finished, "result")) PyErr_Clear();
    return over(self);
  });
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
  return call_full(self, drained.parked);
}

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
  std::optional<double> now;
  if (deadline && !(now = a.node->now())) return false;
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

bool end_with(const Object& self, std::optional<core::Deliver> message, PyObject* exception) {
  return ended_by(self, std::move(message), exception);
}
bool deactivated(const Object& self) { return deactivate(self); }
bool wind_down(const Object& self) { return wound_down(self); }

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
    auto now = a.node->clock();
    if (!now) return given_up(self);
    op.initial = definition->native->initial(*now);
  } else if (definition->initial) {
    op.initial = pages_of(self, *definition, definition->initial->get());
    if (!op.initial) return given_up(self);
  }
  Object future = a.node->persist(a.actor, a.key, std::move(op));
  if (!future) return given_up(self);
  if (!steps::when_done(future.get(), [self](PyObject* f) { return held_by(self, f); })) return given_up(self);
  return true;
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
    if (!call_full(self, took.released)) return false;
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

namespace {

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
      if (!call_full(self, q->released)) return false;
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

Object value(const Object& self) {
  Activation& a = the(self);
  Object v;
  bool deleted = false;
  {
    auto s = a.state.lock();
    v = s->value;
    deleted = s->deleted;
  }
  if (v) return v;
  if (deleted) {
    PyErr_SetString(PyExc_RuntimeError,
                    fmt::format("the state of {}/{} was deleted, and its type has no default to go on from", a.actor,
                                a.key)
                        .c_str());
  } else {
    PyErr_SetString(PyExc_RuntimeError, "the state is read before the body starts");
  }
  return Object();
}

namespace {

bool refused_after_become(const Object& self) {
  Activation& a = the(self);
  if (!a.state.lock()->becoming) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  fmt::format("{}/{} became another behavior, which owns the state now", a.actor, a.key).c_str());
  return true;
}

// The confirmation of one write: installs what it wrote, answers the writer, and resumes an end
// of the body that waited for it.
bool confirmed(const Object& self, const Object& future, const Wrote& wrote, PyObject* persisted) {
  Activation& a = the(self);
  Object kept;
  Object result = call_method(persisted, "result");
  if (result) {
    Object answer = wrote.answer && wrote.value ? wrote.value : Object::borrow(Py_None);
    Object old_value;
    {
      auto s = a.state.lock();
      s->pages = wrote.pages;
      if (wrote.delete_ || wrote.value) old_value = std::exchange(s->value, wrote.value);
      s->deleted = wrote.delete_;
      if (wrote.become) s->becoming = true;
    }
    if (!future::resolve(future.get(), answer.get())) kept = Object::steal(PyErr_GetRaisedException());
  } else {
    Object error = Object::steal(PyErr_GetRaisedException());
    // A write that failed is not the key's state: the next write must not build on it.
    {
      auto s = a.state.lock();
      if (core::activation::confirmed(s->unconfirmed).last) s->written = s->pages;
    }
    PyObject* fencing = errors::get(errors::Class::Fencing);
    if (fencing && PyObject_IsInstance(error.get(), fencing) == 1) {
      if (!release(self)) kept = Object::steal(PyErr_GetRaisedException());
    } else {
      if (!future::fail(future.get(), error.get())) kept = Object::steal(PyErr_GetRaisedException());
    }
  }
  std::optional<Object> parked;
  std::uint64_t number = 0;
  {
    auto s = a.state.lock();
    const core::activation::Confirmed confirmed = core::activation::confirmed(s->unconfirmed);
    s->unconfirmed = confirmed.unconfirmed;
    if (confirmed.last && s->run && s->run->parked) {
      parked = std::exchange(s->run->parked, std::nullopt);
      number = s->run->number;
    }
  }
  if (parked && !after(self, number, std::move(*parked))) return false;
  return steps::raise_kept(std::move(kept));
}

}  // namespace

Object write(const Object& self, Wrote wrote) {
  Activation& a = the(self);
  Object future = a.node->future();
  if (!future) return future;
  Op op;
  core::Pages replaced;
  {
    auto s = a.state.lock();
    op.kind = wrote.delete_ ? Op::Kind::Delete : Op::Kind::Write;
    op.active = true;
    op.generation = s->generation;
    if (!wrote.delete_) op.pages = wrote.pages;
    replaced = std::exchange(s->written, wrote.pages);
  }
  Object persisted = a.node->persist(a.actor, a.key, std::move(op));
  if (!persisted) return persisted;
  auto shared = std::make_shared<Wrote>(std::move(wrote));
  if (!steps::when_done(persisted.get(), [self, future, shared](PyObject* finished) {
        return confirmed(self, future, *shared, finished);
      })) {
    return Object();
  }
  ++a.state.lock()->unconfirmed;
  return future;
}

Object stored(const Object& self, PyObject* value, bool answer) {
  if (refused_after_become(self)) return Object();
  std::shared_ptr<const Definition> definition = the(self).state.lock()->definition;
  auto pages = pages_of(self, *definition, value);
  if (!pages) return Object();
  return write(self, Wrote{*std::move(pages), Object::borrow(value), false, answer, false});
}

namespace {

bool relay(PyObject* source, PyObject* target) {
  auto d = future::done(target);
  if (!d) return false;
  if (*d) return true;
  Object cancelled = call_method(source, "cancelled");
  if (!cancelled) return false;
  if (PyObject_IsTrue(cancelled.get())) return static_cast<bool>(call_method(target, "cancel"));
  Object result = call_method(source, "result");
  if (result) return static_cast<bool>(call_method(target, "set_result", result.get()));
  Object error = Object::steal(PyErr_GetRaisedException());
  return static_cast<bool>(call_method(target, "set_exception", error.get()));
}

// The raised exception, taken out, fails the future.
bool failed_into(PyObject* future) {
  Object error = Object::steal(PyErr_GetRaisedException());
  return future::fail(future, error.get());
}

}  // namespace

Object update(const Object& self, PyObject* result) {
  Object inspect = import("inspect");
  if (!inspect) return inspect;
  Object awaitable = call_method(inspect.get(), "isawaitable", result);
  if (!awaitable) return awaitable;
  const int is = PyObject_IsTrue(awaitable.get());
  if (is < 0) return Object();
  if (!is) return stored(self, result, true);
  Object asyncio = import("asyncio");
  if (!asyncio) return asyncio;
  Object task = call_method(asyncio.get(), "ensure_future", result);
  if (!task) return task;
  Object future = the(self).node->future();
  if (!future) return future;
  bool ok = steps::when_done(task.get(), [self, future](PyObject* finished) -> bool {
    Object cancelled = call_method(finished, "cancelled");
    if (!cancelled) return false;
    if (PyObject_IsTrue(cancelled.get())) return relay(finished, future.get());
    auto d = future::done(future.get());
    if (!d) return false;
    if (*d) return static_cast<bool>(call_method(finished, "exception"));
    Object value = call_method(finished, "result");
    if (!value) return failed_into(future.get());
    Object written = stored(self, value.get(), true);
    if (!written) return failed_into(future.get());
    return steps::when_done(written.get(), [future](PyObject* w) { return relay(w, future.get()); });
  });
  if (!ok) return Object();
  ok = steps::when_done(future.get(), [task](PyObject* f) -> bool {
    Object cancelled = call_method(f, "cancelled");
    if (!cancelled) return false;
    return !PyObject_IsTrue(cancelled.get()) || call_method(task.get(), "cancel");
  });
  if (!ok) return Object();
  return future;
}

Object deleted(const Object& self) {
  if (refused_after_become(self)) return Object();
  std::vector<Object> timers;
  {
    auto s = the(self).state.lock();
    timers = unarmed(s->schedules);
    s->schedules.clear();
  }
  if (!cancel_all(timers)) return Object();
  std::shared_ptr<const Definition> definition = the(self).state.lock()->definition;
  Wrote wrote;
  wrote.delete_ = true;
  if (definition->initial) {
    auto pages = pages_of(self, *definition, definition->initial->get());
    if (!pages) return Object();
    core::Pages own = *pages;
    own.erase("@behavior");
    // Each key gets a value of its own, read back from the pages: mutating it in place must not
    // change the default of every other key.
    wrote.value = decoded(self, *definition, own);
    if (!wrote.value) return Object();
    wrote.pages = *std::move(pages);
  }
  return write(self, std::move(wrote));
}

Object become(const Object& self, PyObject* behavior, PyObject* state) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> definition = Definition::of(behavior);
  if (!definition) return Object();
  a.node->learn(behavior, definition);
  core::Pages pages;
  if (state != nullptr && state != Py_None) {
    auto written = schema::Schema::write_pages(definition->states(), state);
    if (!written) {
      schema::raise(std::move(written.error()));
      return Object();
    }
    pages = *std::move(written);
  } else {
    auto s = a.state.lock();
    for (const auto& [name, bytes] : s->pages) {
      if (name != "@behavior" && name != "@schedules") pages.emplace(name, bytes);
    }
  }
  if (definition->name != a.actor) pages["@behavior"] = core::Bytes(definition->name.begin(), definition->name.end());
  scheduled_into(self, pages);
  Wrote wrote;
  wrote.pages = std::move(pages);
  wrote.become = true;
  return write(self, std::move(wrote));
}

}  // namespace activation
}  // namespace vorel::py
