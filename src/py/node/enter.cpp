// The way of a system into its cluster and back into it after a removal.
#include <fmt/format.h>

#include "exec/threads.hpp"
#include "py/awaited.hpp"
#include "py/node.hpp"
#include "py/node/bridge.hpp"
#include "py/node/cluster.hpp"

namespace vorel::py {

Object Node::entering(PyObject* system) {
  if (is_stopped() || event_loop.get()) {
    PyErr_SetString(PyExc_RuntimeError, is_stopped() ? kStopped : "the system is running already");
    return Object();
  }
  Object asyncio = import("asyncio");
  Object loop = asyncio ? call_method(asyncio.get(), "get_running_loop") : Object();
  if (!loop || !subscribe()) return Object();
  Object old_loop = event_loop.replace(loop);
  loop_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
  Object old_system = system_.replace(Object::borrow(system));
  return loop;
}

bool Node::join(PyObject* config_object, PyObject* loop, const Object& future, PyObject* system) {
  Object address_map = attr(config_object, "address_map");
  if (!address_map) return false;
  PyObject* mapped = address_map.get() == Py_None ? nullptr : address_map.get();
  if (mapped != nullptr && !cluster::usable(mapped)) return false;
  auto settings = cluster::settings(config_object, config);
  if (!settings) return false;
  Object old = cluster_config.replace(Object::borrow(config_object));
  return enter(*std::move(settings), mapped, loop, future, system, true);
}

bool Node::enter(vorel::node::Cluster settings, PyObject* address_map, PyObject* loop, const Object& future,
                 PyObject* system, bool member) {
  std::vector<core::Kind> kinds = catalog.lock()->kinds();
  std::shared_ptr<vorel::exec::Threads> pool = threads;
  if (!pool) {
    auto started = vorel::exec::Threads::start();
    if (!started) {
      PyErr_SetString(PyExc_RuntimeError, fmt::format("the transport did not start: {}", started.error()).c_str());
      return false;
    }
    pool = *std::move(started);
  }
  auto inbox = inbox::Inbox::open(loop);
  if (!inbox) {
    // Nothing of the attempt stays; workers that never ran anything are joined without the lock.
    Unlocked unlocked;
    pool.reset();
    return false;
  }
  auto bridge = std::make_shared<cluster::Bridge>(weak_from_this(), inbox->bell(), cluster::Store::of(store_object.get()));
  std::shared_ptr<cluster::Mapping> mapping;
  if (address_map != nullptr) mapping = std::make_shared<cluster::Mapping>(Object::borrow(address_map), inbox->bell());
  auto side = std::make_shared<Joined>(std::move(pool), inbox->bell());
  if (!Joined::start(side, std::move(settings), std::move(kinds), std::move(bridge), std::move(mapping), member,
                     shared_from_this(), future, Object::borrow(system))) {
    side->shutdown(Token::assume());
    return false;
  }
  std::shared_ptr<Joined> old = joined.replace(std::move(side));
  return true;
}

Object Node::entry(Object future) {
  Raised added = callback::when_done(future.get(), [node = shared_from_this()](Token token, PyObject* done) -> Raised {
    Object cancelled = call_method(done, "cancelled");
    if (!cancelled) return caught();
    bool undo = cancelled.get() == Py_True;
    if (!undo) {
      Object exception = call_method(done, "exception");
      if (!exception) return caught();
      undo = exception.get() != Py_None;
    }
    if (!undo) return Raised();
    // The system counts as not started again, and may be entered anew.
    std::shared_ptr<Joined> side = node->joined.replace(nullptr);
    if (side) side->shutdown(token);
    Object loop = node->event_loop.replace(Object());
    node->loop_thread.store(0, std::memory_order_relaxed);
    Object system = node->system_.replace(Object());
    return Raised();
  });
  if (added) {
    rethrow(std::move(*added));
    return Object();
  }
  return awaited::make(std::move(future));
}

bool Node::rejoin() {
  Object config_object = cluster_config.get();
  Object loop = event_loop.get();
  Object system = system_.get();
  if (!config_object || !loop || !system) return true;
  Object future = this->future();
  if (!future) return false;
  return join(config_object.get(), loop.get(), future, system.get());
}

}  // namespace vorel::py
