#include "py/node/entered.hpp"

#include <fmt/format.h>

#include <utility>

#include "exec/threads_asio.hpp"
#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/identity.hpp"
#include "py/node/taken.hpp"

namespace vorel::py {
namespace {

using vorel::node::replication::service::Failure;

// The exception a failed state operation raises into its waiter; null with the error set.
Object failure(const Failure& f) {
  switch (f.kind) {
    case Failure::Kind::Fenced:
      return errors::make(errors::Class::Fencing, f.text);
    case Failure::Kind::TooLarge:
      return errors::make(errors::Class::MessageTooLarge, f.text);
    case Failure::Kind::Unavailable:
      break;
  }
  return errors::make(errors::Class::Unavailable, f.text);
}

// Settles the future with the value or, when it could not be made, with the exception that kept it
// from being made, so that its awaiter wakes all the same; the failure still goes to the loop.
Raised settle(PyObject* future, Object value, bool fails) {
  if (value) {
    const bool ok = fails ? future::fail(future, value.get()) : future::resolve(future, value.get());
    return ok ? Raised() : caught();
  }
  Raised raised = caught();
  if (raised && !future::fail(future, raised->get())) PyErr_Clear();
  return raised;
}

template <class Result, class Value>
Raised settle(PyObject* future, const Result& result, Value value) {
  return result ? settle(future, value(), false) : settle(future, failure(result.error()), true);
}

// The text of a state operation whose node's loop ended before it answered.
std::string stopped_text(std::string_view actor, std::string_view key) {
  return fmt::format("{}/{}: this node has stopped", actor, key);
}

// The answer of a query whose node's loop ended before it answered.
Landed closed(std::string_view actor, std::string_view key, bool read) {
  Failure gone{Failure::Kind::Unavailable, stopped_text(actor, key)};
  if (read) return Landed{Landed::Activated{std::unexpected(std::move(gone))}};
  return Landed{Landed::Done{std::unexpected(std::move(gone))}};
}

// The answer a question owes its future. A task that the threads drop unrun, or end before it is
// answered, still gives the answer of a stopped node, so that no awaiter waits forever.
class Owed {
 public:
  Owed(std::shared_ptr<inbox::Bell> bell, Landed stopped, Carried future)
      : bell_(std::move(bell)), stopped_(std::move(stopped)), future_(std::move(future)) {}
  Owed(Owed&&) = default;
  Owed& operator=(Owed&&) = delete;
  ~Owed() {
    if (bell_) give(std::move(stopped_));
  }

  // Hands the answer to the loop; none gives the answer of a stopped node.
  void give(std::optional<Landed> landed) {
    std::shared_ptr<inbox::Bell> bell = std::move(bell_);
    inbox::Call call = [landed = landed ? std::move(*landed) : std::move(stopped_),
                        future = std::move(future_)](Token token) { return landed.resolve(future.get(token)); };
    bell->ring(std::move(call));
  }

 private:
  std::shared_ptr<inbox::Bell> bell_;
  Landed stopped_;
  Carried future_;
};

// Runs one question on the node runtime and hands its answer to the loop. Without threads (the
// side has shut down) nothing runs the task: the answer of a stopped node is given at once.
template <class Ask>
void dispatch(const Entered& entered, Object future, Landed stopped, Ask ask) {
  std::shared_ptr<exec::Threads> threads = entered.joined->threads();
  if (!threads) {
    if (Raised raised = stopped.resolve(future.get())) {
      callback::report(nullptr, "Exception while vorel answered a question of a stopped node", std::move(*raised));
    }
    return;
  }
  auto task = [](Entered entered, Owed owed, Ask ask) -> asio::awaitable<void> {
    // Named first: g++ 12 may destroy a temporary of a co_await expression twice.
    auto asked = ask(entered.node);
    std::optional<Landed> landed = co_await std::move(asked);
    owed.give(std::move(landed));
  };
  Owed owed(entered.joined->bell(), std::move(stopped), Carried(std::move(future)));
  exec::spawn(*threads, task(entered, std::move(owed), std::move(ask)));
}

}  // namespace

Object located(const std::optional<core::NodeId>& owner, const std::vector<core::NodeId>& nodes) {
  Object first = owner ? identity::of(*owner) : Object::borrow(Py_None);
  if (!first) return first;
  Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(nodes.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    Object one = identity::of(nodes[i]);
    if (!one) return one;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), one.release());
  }
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "Placement") : Object();
  return cls ? call(cls.get(), first.get(), tuple.get()) : cls;
}

Raised Landed::resolve(PyObject* future) const {
  std::optional<bool> done = future::done(future);
  if (!done) return caught();
  if (*done) return std::nullopt;
  return std::visit(
      [&](const auto& v) -> Raised {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Activated>) {
          return settle(future, v.result, [&] { return taken::make(*v.result); });
        } else if constexpr (std::is_same_v<T, Done>) {
          return settle(future, v.result, [] { return Object::borrow(Py_None); });
        } else if constexpr (std::is_same_v<T, Kept>) {
          Object list = Object::steal(PyList_New(0));
          for (const auto& k : v.keys) {
            Object item = list ? Object::steal(Py_BuildValue("(s#s#O)", k.actor.data(),
                                                             static_cast<Py_ssize_t>(k.actor.size()), k.key.data(),
                                                             static_cast<Py_ssize_t>(k.key.size()),
                                                             k.tombstone ? Py_True : Py_False))
                               : Object();
            if (!item || PyList_Append(list.get(), item.get()) < 0) {
              list = Object();
              break;
            }
          }
          return settle(future, std::move(list), false);
        } else {
          return settle(future, located(v.placed.owner, v.placed.replicas), false);
        }
      },
      value);
}

void Entered::placed(std::string actor, std::string key, Object future) const {
  dispatch(*this, std::move(future), Landed{Landed::Placed{}},
           [actor = std::move(actor), key = std::move(key)](vorel::node::Node node) -> asio::awaitable<std::optional<Landed>> {
             auto asked = node.placed(actor, key);
             auto placed = co_await std::move(asked);
             if (!placed) co_return std::nullopt;
             co_return Landed{Landed::Placed{std::move(*placed)}};
           });
}

void Entered::stored(Object future) const {
  dispatch(*this, std::move(future), Landed{Landed::Kept{}},
           [](vorel::node::Node node) -> asio::awaitable<std::optional<Landed>> {
             auto asked = node.stored();
             auto kept = co_await std::move(asked);
             if (!kept) co_return std::nullopt;
             co_return Landed{Landed::Kept{std::move(*kept)}};
           });
}

void Entered::persist(std::string actor, std::string key, Op op, Object future) const {
  const bool read = op.kind == Op::Kind::Read;
  Landed stopped = closed(actor, key, read);
  dispatch(*this, std::move(future), std::move(stopped),
           [actor = std::move(actor), key = std::move(key),
            op = std::move(op)](vorel::node::Node node) mutable -> asio::awaitable<std::optional<Landed>> {
             switch (op.kind) {
               case Op::Kind::Read: {
                 auto asked = node.activate(actor, key, std::move(op.initial));
                 auto held = co_await std::move(asked);
                 if (!held) co_return std::nullopt;
                 co_return Landed{Landed::Activated{std::move(*held)}};
               }
               case Op::Kind::Write: {
                 auto asked = node.commit(actor, key, op.generation, std::move(op.pages), op.active);
                 auto done = co_await std::move(asked);
                 if (!done) co_return std::nullopt;
                 co_return Landed{Landed::Done{std::move(*done)}};
               }
               case Op::Kind::Delete:
                 break;
             }
             auto asked = node.delete_(actor, key, op.generation, op.active);
             auto done = co_await std::move(asked);
             if (!done) co_return std::nullopt;
             co_return Landed{Landed::Done{std::move(*done)}};
           });
}

}  // namespace vorel::py
