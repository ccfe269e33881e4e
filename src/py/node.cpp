#include "py/node.hpp"

#include "py/future.hpp"

#include <random>
#include <utility>

#include "py/node/callback.hpp"
#include "py/node/steps.hpp"

namespace vorel::py {
namespace {

std::uint64_t random_start() {
  std::random_device random;
  return (std::uint64_t{random()} << 32) ^ random();
}

// Moves the value out under its lock and lets it go after, with no lock held.
template <class T>
void let_go(Locked<T>& field) {
  T gone = field.replace(T{});
}

Object kept(Locked<Object>& slot) {
  Object o = slot.get();
  if (!o) PyErr_SetString(PyExc_RuntimeError, kNotStarted);
  return o;
}

}  // namespace

std::shared_ptr<Node> Node::new_(NodeConfig config, core::NodeId id, Object observer, Object store_object,
                                 std::shared_ptr<vorel::exec::Threads> threads) {
  return std::make_shared<Node>(config, std::move(id), std::move(observer), std::move(store_object),
                                std::move(threads));
}

Node::Node(NodeConfig config, core::NodeId id, Object observer, Object store_object,
           std::shared_ptr<vorel::exec::Threads> threads)
    : id_(std::move(id)),
      store_object(std::move(store_object)),
      observer(std::move(observer)),
      threads(std::move(threads)),
      next_run(random_start()),
      config(config) {}

// The fields go in the order they are declared, the cluster side and the transport threads last:
// the cluster side before the threads it runs on. The last holder lets the node go with the
// interpreter lock held; the last holds on those threads join them, so they go without the lock, or
// a worker waiting for it meanwhile would never end.
Node::~Node() {
  let_go(id_);
  std::shared_ptr<Joined> side = joined.replace(nullptr);
  let_go(cluster_config);
  let_go(members);
  let_go(writes);
  let_go(gate);
  let_go(event_loop);
  loop_calls.forget();
  let_go(system_);
  let_go(catalog);
  let_go(last_resolved);
  let_go(records);
  store_object = Object();
  let_go(replies);
  let_go(cancelled_targets);
  let_go(activations);
  let_go(runs.readers);
  let_go(runs.current_task);
  let_go(handed);
  let_go(drained);
  let_go(stowing);
  observer = Object();
  if (!side && !threads) return;
  Unlocked unlocked;
  side.reset();
  threads.reset();
}

Object Node::running() { return kept(event_loop); }

bool Node::on_loop_thread(const char* call) const {
  const unsigned long owner = loop_thread.load(std::memory_order_relaxed);
  if (owner == 0 || owner == PyThread_get_thread_ident()) return true;
  // Nothing would wake the loop for what another thread hands it, and the replies are the loop's.
  PyErr_Format(PyExc_RuntimeError,
               "%s was called from a thread other than the one running the system's event loop: hand it to that "
               "loop, with loop.call_soon_threadsafe(ref.tell, message) for a tell, or "
               "asyncio.run_coroutine_threadsafe(coroutine, loop) for a coroutine that awaits ref.ask(message)",
               call);
  return false;
}

Object Node::system() {
  Object o = system_.get();
  if (!o) PyErr_SetString(PyExc_RuntimeError, is_stopped() ? kStopped : kNotStarted);
  return o;
}

std::optional<double> Node::now() {
  Object loop = running();
  if (!loop) return std::nullopt;
  return loop_calls.time(loop.get());
}

Object Node::future() {
  Object loop = running();
  if (!loop) return loop;
  return loop_calls.future(loop.get());
}

std::optional<Node::Clustered> Node::cluster() {
  std::shared_ptr<Joined> side = joined.get();
  if (!side) return std::nullopt;
  auto runtime = side->node();
  if (!runtime) return std::nullopt;
  return Clustered{std::move(side), std::move(*runtime)};
}

Object Node::activation(std::string_view actor, std::string_view key) {
  auto live = activations.lock();
  auto at = live->find(std::pair<std::string_view, std::string_view>(actor, key));
  return at == live->end() ? Object() : at->second;
}

void Node::waited(std::int64_t id, Object future, Object schema, std::uint32_t answer) {
  replies::Waiting waiting;
  waiting.future = std::move(future);
  waiting.schema = std::move(schema);
  waiting.answer = answer;
  std::optional<replies::Waiting> replaced = replies.lock()->wait(id, std::move(waiting));
}

std::optional<replies::Waiting> Node::forget(std::int64_t id) { return replies.lock()->forget(id); }

void Node::report(const char* message) {
  Object exception = Object::steal(PyErr_GetRaisedException());
  Object loop = event_loop.get();
  callback::report(loop.get(), message, std::move(exception));
}

void Node::settle_anyway(PyObject* future, Object error, const char* message) {
  // A future that cannot say whether it is done is settled all the same.
  std::optional<bool> done = future::done(future);
  if (!done) {
    report(message);
  } else if (*done) {
    return;
  }
  if (error ? call_method(future, "set_exception", error.get()) : call_method(future, "set_result", Py_None)) return;
  report(message);
  if (!call_method(future, "cancel")) report(message);
}

}  // namespace vorel::py
