// The way into a running node: the command type, and the cheap, clonable handle through which the
// Python side, the store and the node's own callbacks send commands to the node's event loop from
// any thread. The handle also answers, without the loop, who the node is and who its members are.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "core/deliver.hpp"
#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "core/options.hpp"
#include "core/outcome.hpp"
#include "core/pages.hpp"
#include "core/replication/replica.hpp"
#include "core/routing/wire.hpp"
#include "node/await.hpp"
#include "node/oneshot.hpp"
#include "node/replication/service.hpp"

namespace vorel::net {
class Pool;
namespace pool {
struct Peer;
}  // namespace pool
}  // namespace vorel::net

namespace vorel::node {

// (actor type, key), ordered by actor type, then key, bytewise.
using Key = std::pair<std::string, std::string>;

using replication::service::ActivateResult;
using replication::service::CommitResult;
using replication::service::StoreResult;

// Where a key lives as this node sees it: the node that acts for it, and its replicas.
struct Placed {
  std::optional<core::NodeId> owner;
  std::vector<core::NodeId> replicas;
  friend bool operator==(const Placed&, const Placed&) = default;
};

// A report of the connection pool, carried as a command so that the loop alone acts on it.
struct PeerReport {
  enum class Kind : std::uint8_t { Lost = 0, Unreachable = 1 };
  Kind kind = Kind::Lost;
  core::NodeId node;
};

// One command for the node's event loop. Everything a command carries is owned by it.
struct Ask {
  struct Route {
    core::Command command;
  };
  struct Answer {
    core::Target target;
    core::Outcome outcome;
  };
  struct Cancel {
    core::routing::wire::Cancel cancel;
  };
  struct Learn {
    core::Kind kind;
  };
  struct GiveUp {
    std::string name;
  };
  struct Activate {
    std::string actor;
    std::string key;
    std::optional<core::Pages> initial;
    oneshot::Sender<ActivateResult> answer;
  };
  struct Commit {
    std::string actor;
    std::string key;
    std::uint64_t generation = 0;
    core::Pages pages;
    // The activation goes on after this write.
    bool active = true;
    oneshot::Sender<CommitResult> answer;
  };
  struct Delete {
    std::string actor;
    std::string key;
    std::uint64_t generation = 0;
    bool active = true;
    oneshot::Sender<CommitResult> answer;
  };
  struct Release {
    std::string actor;
    std::string key;
    std::uint64_t generation = 0;
  };
  struct Placed {
    std::string actor;
    std::string key;
    oneshot::Sender<node::Placed> answer;
  };
  struct Kept {
    oneshot::Sender<std::vector<core::replication::replica::Kept>> answer;
  };
  struct Stored {
    std::uint64_t request = 0;
    StoreResult result;
  };
  struct Attached {
    std::string actor;
    std::string key;
  };
  struct Detached {
    std::string actor;
    std::string key;
  };
  // Answered with the keys still owed once the hand-off of a leave is over or given up.
  struct Handed {
    oneshot::Sender<std::vector<Key>> waiter;
  };
  struct Abandon {};
  struct Peer {
    PeerReport report;
  };
  struct Leave {};
  struct Depart {};
  struct Stop {};

  // In the order of their numbers.
  using Variant = std::variant<Route, Answer, Cancel, Learn, GiveUp, Activate, Commit, Delete, Release, Placed, Kept,
                               Stored, Attached, Detached, Handed, Abandon, Peer, Leave, Depart, Stop>;
  Variant value;
};

struct Reach;

// A shared reference to one node's way in; copies share it. Every operation may be called from
// any thread, and none waits for the loop but the five queries that return an awaitable.
class Node {
 public:
  explicit Node(std::shared_ptr<Reach> reach) : reach_(std::move(reach)) {}

  // Queues the command and wakes the loop. Once the loop has ended the command is dropped with
  // what it carries, so a reply channel in it closes.
  void ask(Ask ask) const;
  // Refuses a command whose routed form would not fit the message limit.
  std::expected<void, std::string> route(core::Command command) const;
  std::expected<void, std::string> start(std::string actor, std::string key, std::optional<core::Bytes> state) const;
  std::expected<void, std::string> deliver(std::string actor, std::string key, core::Bytes message,
                                           std::optional<core::Target> reply, core::Chain chain = {}) const;
  // An answer for an asker on another node; one that would not fit the message limit travels as
  // TooLarge instead.
  void answer(core::Target target, core::Outcome outcome) const;
  void cancel(std::string actor, std::string key, core::Target request) const;
  void release(std::string actor, std::string key, std::uint64_t generation) const;
  void attached(std::string actor, std::string key) const;
  void detached(std::string actor, std::string key) const;
  // A copy of the member list the loop published last.
  std::vector<core::membership::Member> members() const;

  // None: the node's loop ended before it answered.
  asio::awaitable<std::optional<ActivateResult>> activate(std::string actor, std::string key,
                                                          std::optional<core::Pages> initial) const;
  asio::awaitable<std::optional<CommitResult>> commit(std::string actor, std::string key, std::uint64_t generation,
                                                      core::Pages pages, bool active) const;
  asio::awaitable<std::optional<CommitResult>> delete_(std::string actor, std::string key, std::uint64_t generation,
                                                       bool active) const;
  asio::awaitable<std::optional<Placed>> placed(std::string actor, std::string key) const;
  asio::awaitable<std::optional<std::vector<core::replication::replica::Kept>>> stored() const;

  const core::NodeId& id() const;
  // The connection pool, whose traffic counters serve the statistics.
  const std::shared_ptr<net::Pool>& pool() const;
  const std::shared_ptr<replication::service::Written>& written() const;
  // The largest message, in bytes, that travels between two nodes.
  std::uint64_t message() const;

  const std::shared_ptr<Reach>& reach() const { return reach_; }

 private:
  std::shared_ptr<Reach> reach_;
};

// The text with which a command too large for the message limit is refused.
std::string too_large(const core::Command& command, std::uint64_t size, std::uint64_t limit);
// The text of the TooLarge outcome that replaces an answer too large for the message limit.
std::string answer_too_large(std::uint64_t size, std::uint64_t limit);

}  // namespace vorel::node
