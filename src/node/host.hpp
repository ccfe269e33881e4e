// The embedding side as the node runtime sees it: the actors, the observer and the durable store
// live there. The node's event loop calls these inline, so an implementation only queues the work
// for its own thread and returns: no call may fail, block or call back into the loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/deliver.hpp"
#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "core/outcome.hpp"
#include "node/events.hpp"
#include "node/replication/service.hpp"

namespace vorel::node {

class Node;

class Host {
 public:
  virtual ~Host() = default;

  // A start or a delivery for a key this node acts for; the embedding side answers an ask itself.
  virtual void hand(const Node& node, core::Command command) = 0;
  // The pending ask `id` of this node completes with the outcome.
  virtual void settle(std::int64_t id, core::Outcome outcome) = 0;
  // Replaces the embedding side's member list.
  virtual void members(std::vector<core::membership::Member> members) = 0;
  // An actor type the node has no count for: resolve it and answer with `Ask::Learn` or
  // `Ask::GiveUp`.
  virtual void meet(const Node& node, std::string name) = 0;
  // The key's activation is started here when it does not exist.
  virtual void attach(const Node& node, std::string actor, std::string key) = 0;
  // The key's activation here, if any, ends.
  virtual void release(std::string actor, std::string key) = 0;
  // The ask that `request` names is withdrawn from the key's activation.
  virtual void cancel(std::string actor, std::string key, core::Target request) = 0;
  // The membership removed this node: drop the activations and join again.
  virtual void removed() = 0;
  virtual void observe(events::Event event) = 0;
  // Carried out and answered exactly once with `Ask::Stored` on the node's command channel.
  virtual void store(const Node& node, replication::service::Storing request) = 0;
};

}  // namespace vorel::node
