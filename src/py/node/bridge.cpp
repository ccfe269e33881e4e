#include "py/node/bridge.hpp"

#include <chrono>

#include "exec/threads_asio.hpp"
#include "node/oneshot.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/observe.hpp"
#include "py/node/storage.hpp"
#include "py/stores.hpp"

namespace vorel::py::cluster {
namespace {

constexpr char kNoStore[] = "this system has no store, which a durable type needs: pass store= to its ActorSystem";

// The longest the dialer waits for the address map before it dials the address as it is.
constexpr auto kMapping = std::chrono::seconds(5);

observe::Observed observed(vorel::node::events::Event event) {
  namespace ev = vorel::node::events;
  struct Visit {
    observe::Observed operator()(ev::MemberChanged& e) const {
      return observe::observed::MemberChanged{std::move(e.node), e.status, e.previous};
    }
    observe::Observed operator()(ev::WriteFailed& e) const {
      return observe::observed::WriteFailed{static_cast<observe::observed::Kind>(e.failure.kind),
                                            std::move(e.failure.text), std::move(e.actor), std::move(e.key),
                                            e.write};
    }
    observe::Observed operator()(ev::HandoffStarted& e) const {
      return observe::observed::HandoffStarted{std::move(e.actor), e.direction == ev::Direction::Out};
    }
    observe::Observed operator()(ev::HandoffEnded& e) const {
      return observe::observed::HandoffEnded{std::move(e.actor), e.direction == ev::Direction::Out};
    }
    observe::Observed operator()(ev::Abandoned& e) const {
      return observe::observed::KeysGivenUp{std::move(e.actor), std::move(e.keys)};
    }
    observe::Observed operator()(ev::ConnectionLost& e) const {
      return observe::observed::ConnectionLost{std::move(e.node)};
    }
    observe::Observed operator()(ev::MessageDropped& e) const {
      return observe::observed::MessageDropped{std::move(e.actor), std::move(e.key), std::move(e.reason)};
    }
  };
  return std::visit(Visit{}, event.variant);
}

asio::awaitable<std::string> mapped(vorel::node::oneshot::Receiver<std::string> answer, std::string address) {
  auto got = co_await answer.receive_until(std::chrono::steady_clock::now() + kMapping);
  co_return got.value ? std::move(*got.value) : std::move(address);
}

}  // namespace

Store Store::of(PyObject* store_object) {
  Store out;
  if (store_object == nullptr || store_object == Py_None) return out;
  out.sql = stores::carrier(store_object);
  if (!out.sql) out.python = std::make_shared<Carried>(Object::borrow(store_object));
  return out;
}

std::shared_ptr<net::pool::AddressMap> Mapping::closure(const std::shared_ptr<Mapping>& self) {
  return std::make_shared<net::pool::AddressMap>([self](std::string address) -> asio::awaitable<std::string> {
    auto [sender, receiver] = vorel::node::oneshot::channel<std::string>();
    // Posted before the dialer first waits, so that the 5 s run from the post.
    self->bell_->ring([self, address, sender = std::move(sender)](Token token) mutable -> Raised {
      Object given = text(address);
      Object answer = given ? call(self->callable_.get(token), given.get()) : Object();
      auto chosen = answer && PyUnicode_Check(answer.get()) ? utf8(answer.get()) : std::nullopt;
      PyErr_Clear();
      // A coroutine that is never awaited would be reported as such when it goes.
      if (answer && !chosen && PyObject_HasAttrString(answer.get(), "__await__") &&
          PyObject_HasAttrString(answer.get(), "close")) {
        if (!call_method(answer.get(), "close")) PyErr_Clear();
      }
      sender.send(chosen ? std::move(*chosen) : address);
      return Raised();
    });
    return mapped(std::move(receiver), std::move(address));
  });
}

bool usable(PyObject* address_map) {
  Object inspect = import("inspect");
  Object is = inspect ? call_method(inspect.get(), "iscoroutinefunction", address_map) : Object();
  if (!is) return false;
  if (is.get() != Py_True) return true;
  Object shown = Object::steal(PyObject_Repr(address_map));
  auto r = shown ? utf8(shown.get()) : std::nullopt;
  if (r) {
    PyErr_SetString(PyExc_TypeError,
                    (*r + " is an async function, and the address map is called as the node dials: give a plain "
                          "function that returns the address")
                        .c_str());
  }
  return false;
}

void Bridge::hand_over(Arriving arriving) {
  Anchored node(node_.lock());
  if (!node) return;
  bell_->ring([node = std::move(node), arriving = std::move(arriving)](Token token) mutable -> Raised {
    return arriving(token, node.get(token));
  });
}

void Bridge::hand(const vorel::node::Node&, core::Command command) {
  hand_over([command = std::move(command)](Token, const std::shared_ptr<Node>& node) mutable -> Raised {
    if (!node->take(std::move(command))) return caught();
    return Raised();
  });
}

void Bridge::settle(std::int64_t id, core::Outcome outcome) {
  hand_over([id, outcome = std::move(outcome)](Token, const std::shared_ptr<Node>& node) mutable -> Raised {
    if (!node->settle(id, std::move(outcome))) return caught();
    return Raised();
  });
}

void Bridge::members(std::vector<core::membership::Member> members) {
  hand_over([members = std::move(members)](Token, const std::shared_ptr<Node>& node) mutable -> Raised {
    auto old = node->members.replace(std::move(members));
    return Raised();
  });
}

void Bridge::meet(const vorel::node::Node&, std::string name) {
  // Resolving tells the node runtime itself whether the type was found.
  hand_over([name = std::move(name)](Token, const std::shared_ptr<Node>& node) -> Raised {
    auto definition = node->resolve(name);
    return Raised();
  });
}

void Bridge::attach(const vorel::node::Node&, std::string actor, std::string key) {
  hand_over([actor = std::move(actor), key = std::move(key)](Token, const std::shared_ptr<Node>& node) -> Raised {
    // A draining system starts nothing new: what it hosts goes to the next owners.
    if (node->is_leaving()) return Raised();
    Object live = node->attach(actor, key);
    if (!live && PyErr_Occurred()) return caught();
    return Raised();
  });
}

void Bridge::release(std::string actor, std::string key) {
  hand_over([actor = std::move(actor), key = std::move(key)](Token, const std::shared_ptr<Node>& node) -> Raised {
    Object live = node->activation(actor, key);
    if (!live) return Raised();
    const bool ok = node->is_leaving() ? activation::drain(live) : activation::release(live);
    if (!ok) return caught();
    return Raised();
  });
}

void Bridge::cancel(std::string actor, std::string key, core::Target request) {
  hand_over([actor = std::move(actor), key = std::move(key), request = std::move(request)](
                Token, const std::shared_ptr<Node>& node) -> Raised {
    if (!node->cancelled(actor, key, request)) return caught();
    return Raised();
  });
}

void Bridge::removed() { hand_over(&cluster::removed); }

Raised removed(Token, const std::shared_ptr<Node>& node) {
  if (node->is_leaving()) return Raised();
  std::unordered_map<Entity, Object, Keyed, SameEntity> taken;
  {
    auto live = node->activations.lock();
    taken.swap(*live);
  }
  const bool report = node->wanted.load() & observe::bit(observe::Event::ActivationEnded);
  for (auto& [entity, a] : taken) {
    // The keys belong to other members now: whatever fails here ends them all the same.
    if (!activation::release(a)) PyErr_Clear();
    Object loop = node->event_loop.get();
    if (loop && report) {
      observe::deliver(loop.get(), node->observer.get(), observe::Event::ActivationEnded,
                       {text(entity.first), text(entity.second)});
    }
  }
  taken.clear();
  std::shared_ptr<Joined> joined = node->joined.replace(nullptr);
  if (joined) {
    Joined::leave(joined, node, true, Object());
    return Raised();
  }
  if (!node->rejoin()) return caught();
  return Raised();
}

void Bridge::observe(vorel::node::events::Event event) {
  std::shared_ptr<Node> held = node_.lock();
  if (!held) return;
  const std::uint16_t wanted = held->wanted.load();
  // The last hold may be this one: it goes with the interpreter lock.
  Anchored node(std::move(held));
  observe::Observed what = observed(std::move(event));
  const std::uint16_t bit = observe::bit(observe::event_of(what));
  if (!(wanted & bit)) return;
  bell_->ring([node = std::move(node), what = std::move(what), bit](Token token) -> Raised {
    const auto& n = node.get(token);
    Object loop = n->event_loop.get();
    // The observer's wishes may have changed since the event was queued.
    if (loop && (n->wanted.load() & bit)) observe::deliver(loop.get(), n->observer.get(), what);
    return Raised();
  });
}

void Bridge::store(const vorel::node::Node& node, vorel::node::replication::service::Storing request) {
  using vorel::node::Ask;
  if (store_.sql) {
    stores::carry(*store_.sql, node, std::move(request));
    return;
  }
  if (!store_.python) {
    node.ask(Ask{Ask::Stored{request.request, std::unexpected(std::string(kNoStore))}});
    return;
  }
  bell_->ring([store = store_.python, handle = node, request = std::move(request)](Token token) mutable -> Raised {
    const double timeout = request.timeout.as_seconds();
    const std::uint64_t id = request.request;
    bool ran = false;
    Raised failed = storage::perform(
        token, store->get(token), request.actor, request.key, timeout, std::move(request.operation),
        [handle, id](Token, storage::Result result) -> Raised {
          handle.ask(Ask{Ask::Stored{id, std::move(result)}});
          return Raised();
        },
        &ran);
    // A call that could not start is still answered: the replication service waits for it.
    if (failed && !ran) handle.ask(Ask{Ask::Stored{id, std::unexpected(storage::described(failed->get(), timeout))}});
    return failed;
  });
}

}  // namespace vorel::py::cluster
