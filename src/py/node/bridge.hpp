// The node runtime's way to its system: every call of the runtime is queued on the loop's Bell and
// carried out there, with the interpreter lock, by the system's core, its activations and its
// observer. The runtime calls inline and never waits, so nothing here blocks or calls Python off
// the loop.
#pragma once

#include <memory>
#include <string>

#include "net/pool.hpp"
#include "node/host.hpp"
#include "py/node/callback.hpp"
#include "py/node/inbox.hpp"

namespace vorel::py {

class Node;

namespace stores {
class Carrier;
}  // namespace stores

namespace cluster {

// Where the durable requests of a system's node go: nowhere (none is set), an SQL store carried on
// its own thread, or a Python store object called on the loop.
struct Store {
  std::shared_ptr<stores::Carrier> sql;
  std::shared_ptr<Carried> python;

  // The choice for the system's store object (null: none). On the loop thread.
  static Store of(PyObject* store_object);
};

// A Python callable that rewrites an address before the node dials it. The dialer never waits for
// it long: a callable that fails, answers anything but a str, or takes more than 5 s leaves the
// address as it is.
class Mapping : public std::enable_shared_from_this<Mapping> {
 public:
  Mapping(Object callable, std::shared_ptr<inbox::Bell> bell)
      : callable_(std::move(callable)), bell_(std::move(bell)) {}

  // What the node's pool calls with each address it is about to dial.
  static std::shared_ptr<net::pool::AddressMap> closure(const std::shared_ptr<Mapping>& self);

 private:
  Carried callable_;
  std::shared_ptr<inbox::Bell> bell_;
};

// What a system does on the loop once the membership removed its node: its activations end (the
// observer hears of each), and it leaves at once, then joins again; with no node it joins at once.
// Nothing while the system drains its stop.
Raised removed(Token token, const std::shared_ptr<Node>& node);

// Refuses an address map the dialer could not use: a coroutine function gives no address until
// awaited, and the dialer calls it without awaiting. False with a TypeError set. On the loop thread.
bool usable(PyObject* address_map);

class Bridge final : public vorel::node::Host {
 public:
  Bridge(std::weak_ptr<Node> node, std::shared_ptr<inbox::Bell> bell, Store store)
      : node_(std::move(node)), bell_(std::move(bell)), store_(std::move(store)) {}

  void hand(const vorel::node::Node& node, core::Command command) override;
  void settle(std::int64_t id, core::Outcome outcome) override;
  void members(std::vector<core::membership::Member> members) override;
  void meet(const vorel::node::Node& node, std::string name) override;
  void attach(const vorel::node::Node& node, std::string actor, std::string key) override;
  void release(std::string actor, std::string key) override;
  void cancel(std::string actor, std::string key, core::Target request) override;
  void removed() override;
  void observe(vorel::node::events::Event event) override;
  void store(const vorel::node::Node& node, vorel::node::replication::service::Storing request) override;

 private:
  using Arriving = std::move_only_function<Raised(Token, const std::shared_ptr<Node>&)>;
  // Queues the call for the loop with a hold on the system's core; nothing when the core is gone.
  void hand_over(Arriving arriving);

  std::weak_ptr<Node> node_;
  std::shared_ptr<inbox::Bell> bell_;
  Store store_;
};

}  // namespace cluster
}  // namespace vorel::py
