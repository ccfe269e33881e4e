// The end of activations and of a system, and the record table of a system without a cluster.
#include <fmt/format.h>

#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/entered.hpp"
#include "py/node/hooks.hpp"
#include "py/node/observe.hpp"
#include "py/node/steps.hpp"
#include "py/node/taken.hpp"

namespace vorel::py {
namespace {

constexpr char kStopping[] = "Exception while a vorel system stopped, in a step that went on past it";

}  // namespace

void Node::vacate(PyObject* self) {
  Activation& a = Activation::of(self);
  Object removed;
  {
    auto live = activations.lock();
    auto at = live->find(std::pair<std::string_view, std::string_view>(a.actor, a.key));
    if (at != live->end() && at->second.get() == self) {
      removed = std::move(at->second);
      live->erase(at);
    }
  }
  if (!removed) return;
  if (auto clustered = cluster()) clustered->runtime.detached(a.actor, a.key);
  Object loop = event_loop.get();
  if (loop && (wanted.load() & observe::bit(observe::Event::ActivationEnded))) {
    observe::deliver(loop.get(), observer.get(), observe::Event::ActivationEnded, {text(a.actor), text(a.key)});
  }
}

void Node::forsake() {
  replies::Table taken;
  Object timer;
  {
    auto r = replies.lock();
    taken = r->abandon();
    timer = std::move(r->timer);
    r->timer_due.reset();
  }
  // Nothing here may stop the others from being settled: a failure is reported and the stop goes on.
  if (timer && !call_method(timer.get(), "cancel")) report(kStopping);
  for (auto& [id, waiting] : taken) {
    std::string message = waiting.target ? fmt::format("the system stopped before {}/{} answered",
                                                       waiting.target->first, waiting.target->second)
                                         : std::string("the system stopped before the answer arrived");
    Object error = errors::make(errors::Class::Unavailable, message);
    // Without its Unavailable, the ask fails with what kept it from being made.
    if (!error) error = Object::steal(PyErr_GetRaisedException());
    settle_anyway(waiting.future.get(), std::move(error), kStopping);
  }
  std::unordered_map<std::uintptr_t, Object, Keyed> tasks;
  {
    auto h = handed.lock();
    tasks.swap(*h);
  }
  for (auto& [address, task] : tasks) {
    if (!call_method(task.get(), "cancel")) report(kStopping);
  }
}

std::vector<Object> Node::census() {
  std::vector<Object> out;
  auto live = activations.lock();
  out.reserve(live->size());
  for (const auto& [entity, a] : *live) out.push_back(a);
  return out;
}

void Node::abandon() {
  for (const Object& a : census()) {
    if (!activation::release(a)) report(kStopping);
  }
}

void Node::departed(bool abort, PyObject* exit) {
  if (std::shared_ptr<Joined> side = joined.get()) {
    Joined::leave(side, shared_from_this(), abort, Object::borrow(exit));
    return;
  }
  leaving.exchange(true);
  stopped.exchange(true);
  forsake();
  settle_anyway(exit, Object(), kStopping);
  // The system object holds this node: kept on, the two would keep each other for ever.
  Object gone = system_.replace(Object());
}

Object Node::persist(std::string_view actor, std::string_view key, Op op) {
  if (op.kind == Op::Kind::Write && !hooks::watched(*this, op.pages)) return Object();
  Object future = this->future();
  if (!future) return future;
  if (auto clustered = cluster()) {
    Entered{std::move(clustered->joined), std::move(clustered->runtime)}.persist(std::string(actor), std::string(key),
                                                                                 std::move(op), future);
    return future;
  }
  if (cluster_config.get()) {
    Object error = errors::make(errors::Class::Unavailable, fmt::format("{}/{}: this node is not in its cluster", actor, key));
    if (!error || !call_method(future.get(), "set_exception", error.get())) return Object();
    return future;
  }
  std::shared_ptr<const Definition> type = resolve(actor);
  if (type && type->options.durable) return durable::persist(*this, actor, key, std::move(op), *type, std::move(future));
  if (op.kind == Op::Kind::Read) {
    std::optional<core::store::Held> held;
    {
      auto records = store();
      held = records->restore(actor, key, std::nullopt, op.initial);
    }
    Object taken = taken::make(std::move(held));
    if (!taken || !call_method(future.get(), "set_result", taken.get())) return Object();
    return future;
  }
  Object gate = this->gate.get();
  if (op.active && gate) {
    Object named = text(actor), keyed = text(key);
    if (!named || !keyed) return Object();
    Object held = call(gate.get(), named.get(), keyed.get());
    if (!held) return held;
    if (held.get() != Py_None) {
      Object asyncio = import("asyncio");
      Object waited = asyncio ? call_method(asyncio.get(), "ensure_future", held.get()) : Object();
      if (!waited) return waited;
      auto shared = std::make_shared<Op>(std::move(op));
      std::weak_ptr<Node> node = weak_from_this();
      bool ok = steps::when_done(waited.get(), [node, future, shared, actor = std::string(actor),
                                                key = std::string(key)](PyObject* finished) -> bool {
        auto n = node.lock();
        if (!n) return true;
        if (!call_method(finished, "result")) {
          Object error = Object::steal(PyErr_GetRaisedException());
          return static_cast<bool>(call_method(future.get(), "set_exception", error.get()));
        }
        return n->stored(actor, key, std::move(*shared), future);
      });
      if (!ok) return Object();
      return future;
    }
  }
  if (!stored(actor, key, std::move(op), future)) return Object();
  return future;
}

bool Node::stored(std::string_view actor, std::string_view key, Op op, const Object& future) {
  {
    auto records = store();
    if (op.kind == Op::Kind::Write) {
      records->write(actor, key, std::move(op.pages), op.active, false);
    } else {
      records->delete_(actor, key);
    }
  }
  writes_confirmed.fetch_add(1);
  return static_cast<bool>(call_method(future.get(), "set_result", Py_None));
}

}  // namespace vorel::py
