// The membership side of a node as its event loop drives it: the membership service of a member
// node and the member directory of a client both stand behind this interface.
#pragma once

#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/membership/member.hpp"
#include "core/membership/table.hpp"
#include "core/membership/wire.hpp"
#include "core/node.hpp"

namespace vorel::core::membership {

// Where a queued message goes: a known node, or an address alone for a seed whose identity is
// not known yet. The node runtime hands it to the pool as the pool's own target.
using Destination = std::variant<NodeId, std::string>;

struct Outgoing {
  Destination to;
  wire::Message message;
  friend bool operator==(const Outgoing&, const Outgoing&) = default;
};

// Every time is seconds since the node's event loop started. The event loop is the only caller.
class Members {
 public:
  virtual ~Members() = default;

  virtual std::vector<Member> members() const = 0;
  // Drains the queued messages, in the order queued.
  virtual std::vector<Outgoing> take() = 0;
  // The payload of one "membership" envelope; what does not decode is dropped.
  virtual void receive(ByteView bytes, double now) = 0;
  // Reads and clears the changed flag.
  virtual bool changed() = 0;
  virtual void mark() = 0;
  virtual bool joined() const = 0;
  // Drains the status changes, in the order they happened.
  virtual std::vector<table::Transition> transitions() = 0;
  virtual void join() = 0;
  virtual void anti_entropy() = 0;
  // True when the event loop should give up the requests that wait on the node.
  virtual bool unreached(const NodeId& node, double now) = 0;
  virtual bool removed() const = 0;
  virtual bool majority() const = 0;
  virtual void probe(double now) = 0;
  virtual void expire(double now) = 0;
  virtual void graft(double now) {}
  virtual void shuffle(double now) = 0;
  virtual void know(const std::set<std::string>& types, double now) {}
  virtual void leave(double now) = 0;
  virtual void depart(double now) = 0;
  // A sign of life: the event loop calls it for every envelope that arrives from a peer. The
  // node sees envelopes, not the transport's frames, so an envelope is the unit of "heard".
  virtual void heard(const NodeId& node, double now) = 0;
  // The registered connection to the node was lost.
  virtual void lost(const NodeId& node, double now) {}
  // A member answered that it does not own a key the node sent it.
  virtual void refresh() {}
};

}  // namespace vorel::core::membership
