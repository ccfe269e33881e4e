// The road of a message to its key: `hand` on the sending side, `take` on the key's owner.

#include "py/errors.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/observe.hpp"
#include "py/node/steps.hpp"
#include "py/wall.hpp"

namespace vorel::py {
namespace {

// The text of the exception raised, taken out; a value without a printable text gets a name.
std::string raised_text() {
  Object raised = Object::steal(PyErr_GetRaisedException());
  Object shown = raised ? Object::steal(PyObject_Str(raised.get())) : Object();
  const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "the message could not be handed on";
  }
  return text;
}

}  // namespace

core::Chain Node::chain() {
  auto running = runs.running();
  if (!running) return core::Chain();
  Activation& a = Activation::of(running->first.get());
  std::optional<core::chain::Link> link;
  core::Chain base;
  {
    auto s = a.state.lock();
    if (!s->run || s->run->number != running->second) return core::Chain();
    link = core::chain::Link{a.actor, a.key, s->run->hold};
    if (s->run->current && !s->run->replied) base = s->run->current->chain;
  }
  return base.then(*link);
}

bool Node::hand(core::Command command) {
  if (auto* d = std::get_if<core::Deliver>(&command)) {
    const core::Target::Reply* reply = d->reply ? d->reply->as_reply() : nullptr;
    if (reply != nullptr && reply->node == id()) {
      std::shared_ptr<const Definition> definition = resolve(d->actor);
      const bool keeps = definition && definition->options.wait;
      std::optional<core::Deliver> replaced;
      {
        auto r = replies.lock();
        if (replies::Waiting* w = r->find(reply->id)) {
          w->target = Entity(d->actor, d->key);
          replaced = std::exchange(w->kept, keeps ? std::optional<core::Deliver>(*d) : std::nullopt);
        }
      }
    }
  }
  // Without a started node runtime every key lives here.
  auto clustered = cluster();
  if (!clustered) return take(std::move(command));
  std::optional<core::Target> reply;
  if (auto* d = std::get_if<core::Deliver>(&command)) reply = d->reply;
  auto routed = clustered->runtime.route(std::move(command));
  if (routed) return true;
  if (reply) return answer(*reply, core::Outcome{core::Outcome::TooLarge{std::move(routed.error())}});
  return errors::raise(errors::Class::MessageTooLarge, routed.error().c_str()) != nullptr;
}

bool Node::take(core::Command command) {
  // Views into the command, which stays here until it moves into the mailbox: a delivery refused
  // there comes back with its own texts.
  const std::string_view actor = std::visit([](auto& c) -> std::string_view { return c.actor; }, command);
  const std::string_view key = std::visit([](auto& c) -> std::string_view { return c.key; }, command);
  auto* d = std::get_if<core::Deliver>(&command);
  if (d != nullptr && d->reply) {
    std::optional<double> deadline = cancelled_targets.lock()->take(*d->reply);
    if (deadline) {
      auto t = now();
      if (!t) {
        PyErr_Clear();
      } else if (*deadline > *t) {
        return true;
      }
    }
  }
  if (is_leaving()) {
    if (cluster()) {
      // A joined node that leaves keeps serving the keys still live here; the rest go to their
      // next owner, which the node runtime places anew.
      if (!activation(actor, key)) {
        const Entity entity(actor, key);
        if (!hand(std::move(command))) dropped(entity.first, entity.second, raised_text());
        return true;
      }
    } else {
      if (d != nullptr && d->reply) return answer(*d->reply, core::Outcome::unreached(actor, key));
      dropped(actor, key, core::kShuttingDown);
      return true;
    }
  }
  Object self = attach(actor, key);
  if (!self) {
    if (PyErr_Occurred()) return false;
    if (d != nullptr && d->reply) {
      return answer(*d->reply, core::Outcome{core::Outcome::Unknown{std::string(actor), std::string(key)}});
    }
    dropped(actor, key, "this node does not have the type");
    return true;
  }
  Activation& a = Activation::of(self.get());
  if (auto* start = std::get_if<core::Start>(&command)) {
    auto s = a.state.lock();
    if (!s->opened && !s->initial) s->initial = std::move(start->state);
    return true;
  }
  // The reply and chain of an ask whose cycle is decided a loop turn later: the message itself is
  // the mailbox's by then.
  std::optional<std::pair<core::Target, core::Chain>> deferred;
  if (auto cycle = activation::closed(self, d->chain)) {
    if (!d->reply) return true;
    auto running = runs.running();
    if (!running || running->first.get() != self.get()) {
      return answer(*d->reply, core::Outcome{core::Outcome::Cycle{*cycle}});
    }
    deferred.emplace(*d->reply, d->chain);
  }
  core::mailbox::Put put;
  {
    auto s = a.state.lock();
    put = s->mailbox.put(std::move(*d));
  }
  if (std::holds_alternative<core::mailbox::Put::Queued>(put.value)) {
    if (!activation::wake(self)) return false;
  } else if (auto* refused = std::get_if<core::mailbox::Put::Refused>(&put.value)) {
    core::Deliver& back = refused->delivery;
    if (!back.reply) {
      dropped(back.actor, back.key, "the mailbox is full");
      return true;
    }
    return answer(*back.reply, core::Outcome::full(back.actor, back.key));
  }
  if (deferred) return activation::decide(self, deferred->first, deferred->second);
  return true;
}

Object Node::attach(std::string_view actor, std::string_view key) {
  if (Object live = activation(actor, key)) return live;
  std::shared_ptr<const Definition> definition = resolve(actor);
  if (!definition) return Object();
  Object made = Activation::make(shared_from_this(), std::string(actor), std::string(key), wall::seconds(), definition);
  if (!made) return made;
  // Resolving can run Python code, which may have activated the key meanwhile.
  Object existing;
  {
    auto live = activations.lock();
    auto at = live->find(std::pair<std::string_view, std::string_view>(actor, key));
    if (at != live->end()) {
      existing = at->second;
    } else {
      live->emplace(Entity(actor, key), made);
    }
  }
  if (existing) return existing;
  if (auto clustered = cluster()) clustered->runtime.attached(std::string(actor), std::string(key));
  Object loop = event_loop.get();
  if (loop && (wanted.load() & observe::bit(observe::Event::ActivationStarted))) {
    observe::deliver(loop.get(), observer.get(), observe::Event::ActivationStarted, {text(actor), text(key)});
  }
  if (!loop) {
    PyErr_SetString(PyExc_RuntimeError, kNotStarted);
    return Object();
  }
  Object step = steps::bare([made] { return activation::begin(made); });
  if (!step || !call_method(loop.get(), "call_soon", step.get())) {
    // A key that will never open must not stay in the table, where draining would wait for it.
    PyObject* raised = PyErr_GetRaisedException();
    vacate(made.get());
    PyErr_SetRaisedException(raised);
    return Object();
  }
  return made;
}

}  // namespace vorel::py
