// What a node handle reaches: fixed once the node has started, but for the member list the loop
// publishes on the watch.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "net/notify.hpp"
#include "node/await.hpp"
#include "node/node.hpp"

namespace vorel::node {

using Asks = net::Channel<Ask>;

// The sending end of the command channel, and the bell that wakes the loop after every send.
// The pool's peer callback holds it weakly, so that it never keeps the channel open.
struct Door {
  Asks::Sender asks;
  std::shared_ptr<Bell> bell;

  void send(Ask ask) const {
    if (asks.send(std::move(ask))) bell->ring();
  }
};

struct Reach {
  core::NodeId id;
  std::shared_ptr<Door> door;
  watch::Receiver<std::vector<core::membership::Member>> members;
  std::shared_ptr<net::Pool> pool;
  std::shared_ptr<replication::service::Written> written;
  std::uint64_t message = 0;
};

}  // namespace vorel::node
