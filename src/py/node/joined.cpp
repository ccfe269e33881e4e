#include "py/node/joined.hpp"

#include "exec/threads_asio.hpp"
#include "node/running.hpp"
#include "py/errors.hpp"
#include "py/node.hpp"
#include "py/node/bridge.hpp"

namespace vorel::py {
namespace {

constexpr char kStarting[] = "Exception while a vorel system entered its cluster";

using vorel::node::Running;

// The start's end on the loop: the entry resolves with the system, or fails with Refused. An entry
// given up meanwhile drops the node it gets, which stops it.
Raised completed(Token, const std::shared_ptr<Joined>& joined, const std::shared_ptr<Node>& node, PyObject* future,
                 PyObject* value, std::unique_ptr<Running> running, const std::string& refused) {
  Object done = call_method(future, "done");
  if (!done) return caught();
  if (done.get() == Py_True) return Raised();
  if (!running) {
    Object error = errors::make(errors::Class::Refused, refused);
    if (!error || !call_method(future, "set_exception", error.get())) return caught();
    return Raised();
  }
  const vorel::node::Node handle = running->node();
  joined->joined(handle);
  joined->keep(std::move(running));
  auto old_id = node->id_.replace(handle.id());
  auto old_members = node->members.replace(handle.members());
  {
    // Types learned while the node started were not sent: it hears of the whole catalog now.
    auto known = node->catalog.lock();
    for (core::Kind& kind : known->kinds()) handle.ask(vorel::node::Ask{vorel::node::Ask::Learn{std::move(kind)}});
    for (std::string& name : known->missing()) {
      handle.ask(vorel::node::Ask{vorel::node::Ask::GiveUp{std::move(name)}});
    }
  }
  if (!call_method(future, "set_result", value)) return caught();
  return Raised();
}

asio::awaitable<void> starting(std::shared_ptr<Joined> joined, vorel::node::Cluster cluster,
                               std::vector<core::Kind> kinds, std::shared_ptr<vorel::node::Host> host, bool member,
                               Anchored node, Carried future, Carried value) {
  auto outcome = co_await Running::began(std::move(cluster), std::move(kinds), std::move(host), member);
  std::unique_ptr<Running> running;
  std::string refused;
  if (outcome) {
    running = std::make_unique<Running>(std::move(*outcome));
  } else {
    refused = std::move(outcome.error());
  }
  std::shared_ptr<inbox::Bell> bell = joined->bell();
  bell->ring([joined = std::move(joined), node = std::move(node), future = std::move(future),
              value = std::move(value), running = std::move(running),
              refused = std::move(refused)](Token token) mutable -> Raised {
    return completed(token, joined, node.get(token), future.get(token), value.get(token), std::move(running),
                     refused);
  });
}

asio::awaitable<void> leaving(std::unique_ptr<Running> running, std::shared_ptr<Joined> joined, Anchored node,
                              Carried exit, bool abort) {
  if (abort) {
    co_await running->crash();
  } else {
    // The keys given up reach the observer as the node's own events.
    auto given_up = co_await running->leave();
  }
  running.reset();
  std::shared_ptr<inbox::Bell> bell = joined->bell();
  bell->ring([joined = std::move(joined), node = std::move(node), exit = std::move(exit)](Token token) -> Raised {
    return cluster::left(token, joined, node.get(token), exit ? Object::borrow(exit.get(token)) : Object());
  });
}

}  // namespace

void Anchored::reset() {
  std::shared_ptr<Node> node = std::move(node_);
  if (!node) return;
  if (!Py_IsInitialized()) {
    // Nothing can be let go any more: the core is left behind rather than freed without the lock.
    new std::shared_ptr<Node>(std::move(node));
    return;
  }
  PyGILState_STATE state = PyGILState_Ensure();
  node.reset();
  PyGILState_Release(state);
}

Joined::Joined(std::shared_ptr<vorel::exec::Threads> threads, std::shared_ptr<inbox::Bell> bell)
    : threads_(std::move(threads)), bell_(std::move(bell)) {}

Joined::~Joined() { shutdown(); }

std::shared_ptr<vorel::exec::Threads> Joined::stopped() {
  std::optional<vorel::exec::Task> start;
  {
    std::lock_guard guard(start_mutex_);
    start.swap(start_);
  }
  if (start) start->abort();
  // The node's handle and a started node reach into the transport (its pool's strands), so they go
  // while the threads that own it are still there.
  std::unique_ptr<vorel::node::Running> running;
  {
    std::lock_guard guard(running_mutex_);
    running = std::move(running_);
  }
  running.reset();
  std::optional<vorel::node::Node> node;
  {
    std::lock_guard guard(node_mutex_);
    node.swap(node_);
  }
  node.reset();
  std::lock_guard guard(threads_mutex_);
  return std::move(threads_);
}

void Joined::shutdown() { stopped().reset(); }

void Joined::shutdown(Token) {
  std::shared_ptr<vorel::exec::Threads> threads = stopped();
  if (!threads) return;
  Unlocked unlocked;
  threads.reset();
}

void Joined::keep(std::unique_ptr<Running> running) {
  std::unique_ptr<Running> old;
  std::lock_guard guard(running_mutex_);
  old = std::exchange(running_, std::move(running));
}

bool Joined::start(const std::shared_ptr<Joined>& self, vorel::node::Cluster cluster, std::vector<core::Kind> kinds,
                   std::shared_ptr<vorel::node::Host> host, std::shared_ptr<cluster::Mapping> mapping, bool member,
                   std::shared_ptr<Node> node, Object future, Object value) {
  std::shared_ptr<vorel::exec::Threads> threads = self->threads();
  if (!threads) {
    PyErr_SetString(PyExc_RuntimeError, "the transport did not start: its threads have stopped");
    return false;
  }
  if (mapping) cluster.address_map = cluster::Mapping::closure(mapping);
  vorel::exec::Task task = vorel::exec::spawn(
      *threads, starting(self, std::move(cluster), std::move(kinds), std::move(host), member,
                         Anchored(std::move(node)), Carried(std::move(future)), Carried(std::move(value))));
  std::optional<vorel::exec::Task> old;
  std::lock_guard guard(self->start_mutex_);
  old = std::exchange(self->start_, std::move(task));
  return true;
}

void Joined::leave(const std::shared_ptr<Joined>& self, const std::shared_ptr<Node>& node, bool abort, Object exit) {
  std::unique_ptr<Running> running;
  {
    std::lock_guard guard(self->running_mutex_);
    running = std::move(self->running_);
  }
  std::shared_ptr<vorel::exec::Threads> threads = self->threads();
  if (!running || !threads) {
    running.reset();
    if (Raised failed = cluster::left(Token::assume(), self, node, std::move(exit))) {
      PyErr_SetRaisedException(failed->release());
      node->report(kStarting);
    }
    return;
  }
  vorel::exec::spawn(*threads, leaving(std::move(running), self, Anchored(node), Carried(std::move(exit)), abort));
}

namespace cluster {

Raised left(Token token, const std::shared_ptr<Joined>& joined, const std::shared_ptr<Node>& node, Object exit) {
  joined->shutdown(token);
  std::shared_ptr<Joined> cleared;
  {
    auto slot = node->joined.lock();
    if (*slot == joined) cleared = std::move(*slot);
  }
  if (!exit) {
    // A leave no exit waits for follows a removal: the system joins its cluster again.
    if (!node->rejoin()) return caught();
    return Raised();
  }
  node->leaving.exchange(true);
  node->stopped.exchange(true);
  node->forsake();
  Object done = call_method(exit.get(), "done");
  if (!done || done.get() != Py_True) {
    if (!call_method(exit.get(), "set_result", Py_None)) PyErr_Clear();
  }
  PyErr_Clear();
  // The system object holds this node: kept on, the two would keep each other for ever.
  Object gone = node->system_.replace(Object());
  return Raised();
}

}  // namespace cluster
}  // namespace vorel::py
