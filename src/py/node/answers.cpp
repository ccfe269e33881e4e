// How asks end: answers settle the asker's future by their outcome, timeouts fail it, and an
// asker that gives up has its request taken back at the key.
#include <fmt/format.h>

#include "core/routing/wire.hpp"
#include "node/node.hpp"
#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/steps.hpp"

namespace vorel::py {
namespace {

constexpr char kTimingOut[] = "Exception while vorel failed an ask that timed out";
constexpr char kSettling[] = "Exception while vorel cancelled an ask whose future refused its answer";

// The exception an outcome other than a value fails the asker with; null with the error set.
Object failure(const core::Outcome& outcome) {
  using O = core::Outcome;
  return std::visit(
      [](const auto& o) -> Object {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, O::Failed>) {
          Object e = errors::make(errors::Class::ActorFailed,
                                  fmt::format("{}/{} raised {}: {}", o.actor, o.key, o.error, o.message));
          if (!e) return e;
          const std::pair<const char*, const std::string*> fields[] = {
              {"actor", &o.actor}, {"key", &o.key}, {"error", &o.error}, {"message", &o.message}};
          for (const auto& [name, value] : fields) {
            Object v = text(*value);
            if (!v || PyObject_SetAttrString(e.get(), name, v.get()) < 0) return Object();
          }
          return e;
        } else if constexpr (std::is_same_v<T, O::Missing>) {
          return errors::make(errors::Class::NotStarted, fmt::format("{}/{} was not started", o.actor, o.key));
        } else if constexpr (std::is_same_v<T, O::Full>) {
          return errors::make(errors::Class::MailboxFull, fmt::format("the mailbox of {}/{} is full", o.actor, o.key));
        } else if constexpr (std::is_same_v<T, O::Unreached>) {
          return errors::make(errors::Class::Unavailable,
                              fmt::format("{}/{} did not process the message", o.actor, o.key));
        } else if constexpr (std::is_same_v<T, O::Unknown>) {
          return errors::make(errors::Class::UnknownActor,
                              fmt::format("the owner of {}/{} does not have the type {}", o.actor, o.key, o.actor));
        } else if constexpr (std::is_same_v<T, O::TooLarge>) {
          return errors::make(errors::Class::MessageTooLarge, o.message);
        } else if constexpr (std::is_same_v<T, O::Cycle>) {
          return errors::make(
              errors::Class::ReentrancyError,
              fmt::format("ask cycle {}: the first key waits for this answer and would never read it", o.message));
        } else {
          PyErr_SetString(PyExc_SystemError, "a value is not a failure");
          return Object();
        }
      },
      outcome.variant);
}

bool cancel_timer(const Object& timer) {
  if (!timer) return true;
  return static_cast<bool>(call_method(timer.get(), "cancel"));
}

}  // namespace

bool Node::answer(const core::Target& target, core::Outcome outcome) {
  const core::Target::Reply* reply = target.as_reply();
  if (reply == nullptr) return true;
  auto clustered = cluster();
  if (!clustered) {
    // Ask ids are this node's own: an answer for another node (an earlier run, another system)
    // must not settle an unrelated ask that happens to have the same id.
    if (reply->node != id()) return true;
    return settle(reply->id, std::move(outcome));
  }
  const vorel::node::Node& runtime = clustered->runtime;
  if (reply->node != runtime.id()) {
    runtime.answer(target, std::move(outcome));
    return true;
  }
  // An answer too large for the wire fails here too, so that where the asker sits changes nothing.
  const std::uint64_t size = core::routing::wire::answer_size(reply->id, outcome);
  if (size > runtime.message()) {
    outcome = core::Outcome{core::Outcome::TooLarge{vorel::node::answer_too_large(size, runtime.message())}};
  }
  return settle(reply->id, std::move(outcome));
}

bool Node::settle(std::int64_t id, core::Outcome outcome) {
  std::optional<replies::Waiting> waiting = forget(id);
  if (!waiting) return true;
  PyObject* future = waiting->future.get();
  // The ask is no longer pending: a future that refuses its outcome is cancelled, so that its asker
  // wakes all the same, and the refusal is the result.
  auto refused = [&] {
    Object error = Object::steal(PyErr_GetRaisedException());
    if (!call_method(future, "cancel")) report(kSettling);
    PyErr_SetRaisedException(error.release());
    return false;
  };
  auto d = future::done(future);
  if (!d) return refused();
  if (*d) return true;
  if (std::holds_alternative<core::Outcome::Full>(outcome.variant) && waiting->kept) {
    core::Deliver again = *waiting->kept;
    std::optional<replies::Waiting> replaced = replies.lock()->wait(id, *std::move(waiting));
    return hand(core::Command{std::move(again)});
  }
  if (auto* v = std::get_if<core::Outcome::Value>(&outcome.variant)) {
    Object value;
    if (waiting->schema) {
      auto read = schema::Schema::read(waiting->schema.get(), waiting->answer, v->data, shared_from_this());
      if (!read) {
        schema::raise(std::move(read.error()));
        Object error = Object::steal(PyErr_GetRaisedException());
        return call_method(future, "set_exception", error.get()) ? true : refused();
      }
      value = *std::move(read);
    } else {
      value = bytes_of(v->data);
      if (!value) return refused();
    }
    return call_method(future, "set_result", value.get()) ? true : refused();
  }
  Object error = failure(outcome);
  if (!error) error = Object::steal(PyErr_GetRaisedException());
  return call_method(future, "set_exception", error.get()) ? true : refused();
}

double Node::ask_seconds(const core::Target& target) {
  core::Duration d = config.ask_timeout;
  if (const auto* e = target.as_entity()) {
    if (auto definition = resolve(e->actor); definition && definition->options.ask_timeout) {
      d = *definition->options.ask_timeout;
    }
  }
  return d.as_seconds();
}

bool Node::armed(std::int64_t id, double seconds) {
  auto now = this->now();
  if (!now) return false;
  const double due = *now + seconds;
  bool arm = false;
  {
    auto r = replies.lock();
    if (!r->arm(id, due)) return true;
    arm = !r->timer || !r->timer_due || *r->timer_due > due;
  }
  return !arm || timed(seconds, due);
}

bool Node::timed(double delay, double due) {
  Object loop = running();
  if (!loop) return false;
  Object handle = steps::later(loop.get(), delay, [self = shared_from_this()] { return self->timeouts(); });
  if (!handle) return false;
  Object old;
  {
    auto r = replies.lock();
    old = std::exchange(r->timer, std::move(handle));
    r->timer_due = due;
  }
  return cancel_timer(old);
}

bool Node::timeouts() {
  auto now = this->now();
  if (!now) return false;
  std::vector<std::pair<std::int64_t, replies::Waiting>> due;
  std::optional<double> next;
  Object fired;
  {
    auto r = replies.lock();
    fired = std::move(r->timer);
    r->timer_due.reset();
    due = r->expired(*now);
    next = r->earliest();
  }
  // One ask that cannot be failed must not keep the others, or the timer, from going on: its
  // asker wakes all the same, and the failure is reported.
  PyObject* kept = nullptr;
  for (auto& [id, waiting] : due) {
    Object error = errors::make(PyExc_TimeoutError, "the answer did not arrive in time");
    if (!error) error = Object::steal(PyErr_GetRaisedException());
    settle_anyway(waiting.future.get(), std::move(error), kTimingOut);
    if (cancel(id, waiting)) continue;
    if (kept == nullptr) {
      kept = PyErr_GetRaisedException();
    } else {
      report(kTimingOut);
    }
  }
  if (next && !timed(*next - *now, *next) && kept == nullptr) kept = PyErr_GetRaisedException();
  if (kept == nullptr) return true;
  PyErr_SetRaisedException(kept);
  return false;
}

bool Node::cancel(std::int64_t id, replies::Waiting& waiting) {
  if (!waiting.target) return true;
  core::Target request = core::Target::reply(this->id(), id);
  if (auto clustered = cluster()) {
    clustered->runtime.cancel(waiting.target->first, waiting.target->second, std::move(request));
    return true;
  }
  return cancelled(waiting.target->first, waiting.target->second, request);
}

bool Node::cancelled(std::string_view actor, std::string_view key, const core::Target& target) {
  if (Object self = activation(actor, key)) {
    Activation& a = Activation::of(self.get());
    core::mailbox::Withdrawn withdrawn;
    {
      auto s = a.state.lock();
      withdrawn = s->mailbox.withdraw(target);
    }
    if (auto* q = std::get_if<core::mailbox::Withdrawn::Queued>(&withdrawn.value)) {
      for (const core::Target& t : q->released) {
        if (!answer(t, core::Outcome::full(actor, key))) return false;
      }
      return true;
    }
    if (std::holds_alternative<core::mailbox::Withdrawn::Parked>(withdrawn.value)) return true;
    Object task;
    bool handled = false;
    std::optional<core::Deliver> dropped_message;
    {
      auto s = a.state.lock();
      if (s->run && s->run->current && s->run->current->reply == target) {
        handled = true;
        if (!s->run->replied) {
          dropped_message = std::exchange(s->run->current, std::nullopt);
          s->run->revoked = true;
          task = s->run->task;
        }
      }
    }
    if (handled) return !task || call_method(task.get(), "cancel");
  }
  auto t = now();
  if (!t) return false;
  double wait = config.ask_timeout.as_seconds();
  if (auto definition = resolve(actor); definition && definition->options.ask_timeout) {
    wait = definition->options.ask_timeout->as_seconds();
  }
  cancelled_targets.lock()->add(target, *t + wait, *t);
  return true;
}

}  // namespace vorel::py
