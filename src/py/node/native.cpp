// The driver of a native collection's key: where a Python actor's activation runs a body task, a
// native one is stepped. Each delivery, tick and answer is given with the key's confirmed parts and
// the time to the type's `Native`, and the Turn it gives is applied: its wake deadline armed, its
// ask sent, its parts written, and its sends delivered only once that write is confirmed.
//
// Everything runs on the loop thread. The activation's lock is taken for short reads and updates
// only, never while a `Native` runs or Python is called.
#include <algorithm>
#include <random>
#include <utility>

#include "core/invariant.hpp"
#include "py/errors.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/steps.hpp"
#include "py/wall.hpp"

namespace vorel::py::activation {
namespace {

using core::collections::Input;
using core::collections::Native;
using core::collections::Send;
using core::collections::Turn;

// Lease ids are made under a key drawn once per thread from the operating system's random source.
core::collections::Namer& names() {
  thread_local core::collections::Namer namer = [] {
    std::random_device source;
    auto draw = [&source] { return (std::uint64_t{source()} << 32) | source(); };
    core::collections::Namer n;
    n.k0 = draw();
    n.k1 = draw();
    return n;
  }();
  return namer;
}

std::shared_ptr<const Native> native_of(Activation& a) { return a.state.lock()->definition->native; }

bool cancel(const Object& handle) {
  if (!handle || handle.get() == Py_None) return true;
  return static_cast<bool>(call_method(handle.get(), "cancel"));
}

// A loop timer running `step` after `delay` seconds: its handle, or null with the error set.
template <class F>
Object later(Node& node, double delay, F step) {
  Object loop = node.running();
  if (!loop) return loop;
  return steps::later(loop.get(), delay, std::move(step));
}

// The raised exception, taken out.
Object raised() { return Object::steal(PyErr_GetRaisedException()); }

bool answer_all(const Object& self, std::vector<Send> sends) {
  Activation& a = the(self);
  for (Send& send : sends) {
    if (send.target.as_reply() != nullptr) {
      if (!a.node->answer(send.target, core::Outcome{core::Outcome::Value{std::move(send.bytes)}})) return false;
    } else {
      const auto* e = send.target.as_entity();
      core::Deliver told{e->actor, e->key, std::move(send.bytes), std::nullopt, core::Chain()};
      if (!a.node->hand(core::Command{std::move(told)})) return false;
    }
  }
  return true;
}

// Ends the current delivery with the exception (with none, the failure is only reported).
bool refused(const Object& self, PyObject* exception) {
  std::optional<core::Deliver> current = std::exchange(the(self).state.lock()->stepping.current, std::nullopt);
  return ended_by(self, std::move(current), exception);
}

// Ends the current delivery refused by the collection: its asker fails with the refusal at once; a
// told message has nobody to tell, so its loss is reported.
bool rejected(const Object& self, core::collections::Refusal refusal) {
  Activation& a = the(self);
  std::optional<core::Deliver> current = std::exchange(a.state.lock()->stepping.current, std::nullopt);
  if (!current) return true;
  if (!current->reply) {
    a.node->dropped(a.actor, a.key, refusal.text);
    return true;
  }
  return a.node->answer(*current->reply,
                        core::Outcome{core::Outcome::Failed{a.actor, a.key, std::move(refusal.error), std::move(refusal.text)}});
}

bool stepped(const Object& self, PyObject* future);
bool answered(const Object& self, PyObject* future);
bool rang(const Object& self);
bool sleeping(const Object& self);

// Sends the collection's own ask; false with the error set.
bool ask(const Object& self, core::collections::Asking asking, core::ByteView message) {
  Activation& a = the(self);
  const auto* asked = asking.target.as_entity();
  if (asked == nullptr) core::broken("a collection asks a key, never a reply target");
  Object future = a.node->future();
  if (!future) return false;
  const std::int64_t id = a.node->replies.lock()->take_id();
  a.node->waited(id, future, Object(), 0);
  const core::Target reply = core::Target::reply(a.node->id(), id);
  if (!a.node->armed(id, a.node->ask_seconds(asking.target))) return false;
  if (!steps::when_done(future.get(), [self](PyObject* f) { return answered(self, f); })) return false;
  core::Chain chain;
  {
    auto s = a.state.lock();
    s->stepping.awaiting.emplace(core::Bytes(message.begin(), message.end()), id);
    const core::Chain from = s->stepping.current ? s->stepping.current->chain : core::Chain();
    chain = from.then(core::chain::Link{a.actor, a.key, s->stepping.hold});
  }
  core::Deliver deliver{asked->actor, asked->key, asking.maker(reply), reply, std::move(chain)};
  return a.node->hand(core::Command{std::move(deliver)});
}

// Applies one Turn; `message` is the collection message the step was about (none for a tick).
// True when the step loop may go on at once, false when a write or an answer must land first;
// none with the error set.
std::optional<bool> turned(const Object& self, const Native& native, Turn turn, std::optional<core::ByteView> message,
                           double now) {
  Activation& a = the(self);
  // Every Turn replaces the wake deadline of the one before.
  Object old = std::exchange(a.state.lock()->stepping.wake_timer, Object());
  if (!cancel(old)) return std::nullopt;
  if (turn.wake) {
    Object timer = later(*a.node, std::max(0.0, *turn.wake - wall::seconds()), [self] { return rang(self); });
    if (!timer) return std::nullopt;
    a.state.lock()->stepping.wake_timer = std::move(timer);
  }
  if (turn.refusal) {
    if (!rejected(self, *std::move(turn.refusal))) return std::nullopt;
    return true;
  }
  if (turn.asking) {
    // A tick has no asker to answer, so an ask made for one would answer nobody.
    if (!message) return true;
    if (!ask(self, *std::move(turn.asking), *message)) return std::nullopt;
    return false;
  }
  std::optional<core::Pages> parts;
  if (turn.delete_) {
    parts = native.initial(now);
  } else if (turn.parts) {
    parts = std::move(turn.parts);
  } else {
    if (!answer_all(self, std::move(turn.sends))) return std::nullopt;
    a.state.lock()->stepping.current.reset();
    return true;
  }
  Op op;
  op.kind = turn.delete_ ? Op::Kind::Delete : Op::Kind::Write;
  op.active = true;
  op.generation = a.state.lock()->generation;
  if (!turn.delete_) op.pages = *parts;
  Object persisted = a.node->persist(a.actor, a.key, std::move(op));
  if (!persisted) {
    Object error = raised();
    if (!refused(self, error.get())) return std::nullopt;
    return true;
  }
  {
    auto s = a.state.lock();
    s->stepping.held_sends = std::move(turn.sends);
    s->stepping.unconfirmed = std::move(parts);
    s->stepping.deleting = turn.delete_;
  }
  if (!steps::when_done(persisted.get(), [self](PyObject* f) { return stepped(self, f); })) return std::nullopt;
  return false;
}

// Steps a tick with the confirmed parts; as `turned`.
std::optional<bool> ticked(const Object& self, const Native& native) {
  Activation& a = the(self);
  core::Pages parts = a.state.lock()->pages;
  const double now = wall::seconds();
  return turned(self, native, native.step(parts, Input::tick(), now, names()), std::nullopt, now);
}

bool stepped(const Object& self, PyObject* future) {
  Activation& a = the(self);
  std::vector<Send> sends;
  std::optional<core::Pages> parts;
  bool deleting = false;
  {
    auto s = a.state.lock();
    sends = std::exchange(s->stepping.held_sends, {});
    parts = std::exchange(s->stepping.unconfirmed, std::nullopt);
    deleting = std::exchange(s->stepping.deleting, false);
  }
  Object result = call_method(future, "result");
  if (!result) {
    Object error = raised();
    PyObject* fencing = errors::get(errors::Class::Fencing);
    if (fencing != nullptr && PyObject_IsInstance(error.get(), fencing) == 1) return release(self);
    // The sends of a write that failed never leave: they would report what did not happen.
    if (!refused(self, error.get())) return false;
    return again(self);
  }
  {
    auto s = a.state.lock();
    if (parts) s->pages = *std::move(parts);
    s->deleted = deleting;
  }
  // A send that fails must not leave the key stuck with its delivery: the loop goes on, and the
  // failure is reported after it.
  Object kept = answer_all(self, std::move(sends)) ? Object() : raised();
  a.state.lock()->stepping.current.reset();
  if (!again(self)) return false;
  if (!kept) return true;
  PyErr_SetRaisedException(kept.release());
  return false;
}

bool answered(const Object& self, PyObject* future) {
  Activation& a = the(self);
  std::optional<std::pair<core::Bytes, std::int64_t>> awaited =
      std::exchange(a.state.lock()->stepping.awaiting, std::nullopt);
  if (!awaited) return true;
  std::shared_ptr<const Native> native = native_of(a);
  if (!native) return true;
  Object result = call_method(future, "result");
  if (!result) {
    // The collection is not stepped with a failure: the delivery that made it ask ends with it.
    Object error = raised();
    if (!refused(self, error.get())) return false;
    return again(self);
  }
  core::ByteView answer;
  if (PyBytes_Check(result.get())) {
    answer = core::ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(result.get())),
                            static_cast<std::size_t>(PyBytes_Size(result.get())));
  }
  core::Pages parts = a.state.lock()->pages;
  const double now = wall::seconds();
  const core::ByteView message(awaited->first);
  auto go = turned(self, *native, native->step(parts, Input::answer(message, answer), now, names()), message, now);
  if (!go) return false;
  return !*go || again(self);
}

bool rang(const Object& self) {
  Activation& a = the(self);
  {
    auto s = a.state.lock();
    s->stepping.wake_timer = Object();
    s->stepping.asleep = false;
    // Stepping the tick now would step parts that are about to change, and its Turn would take
    // the place of the step in flight: it waits for that step to land.
    if (s->stepping.busy()) {
      s->stepping.rung = true;
      return true;
    }
  }
  std::shared_ptr<const Native> native = native_of(a);
  if (!native) return true;
  auto go = ticked(self, *native);
  if (!go) return false;
  return !*go || again(self);
}

bool sleeping(const Object& self) {
  Activation& a = the(self);
  bool empty = false;
  {
    auto s = a.state.lock();
    s->stepping.idle_timer = Object();
    // A key that is busy again arms a new idle timer once its step is done.
    if (s->stepping.busy()) return true;
    s->stepping.asleep = false;
    empty = s->mailbox.queue().empty();
  }
  return empty ? deactivate(self) : again(self);
}

}  // namespace

bool stepping(const Object& self, const Native& native) {
  Activation& a = the(self);
  for (;;) {
    bool stop = false, end = false;
    {
      auto s = a.state.lock();
      stop = s->releasing || s->draining;
      end = s->ending && !s->stepping.wake_timer;
    }
    if (stop) return wound_down(self);
    if (end) return deactivate(self);
    a.state.lock()->stepping.asleep = false;
    std::optional<core::Deliver> delivery;
    if (!next(self, delivery)) return false;
    if (!delivery) break;
    const std::uint64_t hold = a.node->next_run.fetch_add(1);
    core::Pages parts;
    {
      auto s = a.state.lock();
      s->stepping.current = *delivery;
      s->stepping.hold = hold;
      parts = s->pages;
    }
    const double now = wall::seconds();
    const core::ByteView message(delivery->message);
    auto go = turned(self, native, native.step(parts, Input::message(message), now, names()), message, now);
    if (!go) return false;
    if (!*go) return true;
  }
  {
    auto s = a.state.lock();
    s->stepping.asleep = true;
    // The wake timer steps a timed key that waits on its own deadlines.
    if (native.timed() && s->stepping.wake_timer) return true;
  }
  const double idle = a.settings().idle_after.as_seconds();
  Object timer = later(*a.node, idle, [self] { return sleeping(self); });
  if (!timer) return false;
  Object old = std::exchange(a.state.lock()->stepping.idle_timer, std::move(timer));
  return cancel(old);
}

bool again(const Object& self) {
  Activation& a = the(self);
  std::shared_ptr<const Native> native;
  bool rung = false;
  {
    auto s = a.state.lock();
    native = s->definition->native;
    if (!s->releasing && !s->draining) rung = std::exchange(s->stepping.rung, false);
  }
  if (!native) return true;
  if (rung) {
    auto go = ticked(self, *native);
    if (!go) return false;
    if (!*go) return true;
  }
  return stepping(self, *native);
}

bool woken(const Object& self) {
  Activation& a = the(self);
  Object timer;
  {
    auto s = a.state.lock();
    if (!s->stepping.asleep || s->stepping.busy()) return true;
    s->stepping.asleep = false;
    timer = std::move(s->stepping.idle_timer);
  }
  if (!cancel(timer)) return false;
  return again(self);
}

bool let_go(const Object& self) {
  Activation& a = the(self);
  {
    auto s = a.state.lock();
    // A write or ask in flight: the step that lands finds the key let go.
    if (s->stepping.busy()) return true;
  }
  return again(self);
}

bool idled(const Object& self) {
  Activation& a = the(self);
  Object timer;
  {
    auto s = a.state.lock();
    // A key with a deadline of its own lives on until a Turn leaves it none.
    if (!s->stepping.asleep || s->stepping.wake_timer) return true;
    s->stepping.asleep = false;
    timer = std::move(s->stepping.idle_timer);
  }
  if (!cancel(timer)) return false;
  return again(self);
}

}  // namespace vorel::py::activation
