// The node's replication service: runs the activations, writes and deletions of the keys this node
// owns against their replicas, answers the requests of other owners through the local replica,
// bridges confirmed states to the durable store and buries tombstones. It does no I/O: the event
// loop hands it the time and takes out what it queued (messages, store requests, events).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/backoff.hpp"
#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/messages.hpp"
#include "core/replication/owner.hpp"
#include "core/replication/replica.hpp"
#include "core/replication/wire.hpp"
#include "core/store.hpp"
#include "node/events.hpp"
#include "node/oneshot.hpp"
#include "node/replication/failure.hpp"

namespace vorel::node::replication::service {

using Instant = std::chrono::steady_clock::time_point;
using Name = core::replication::replica::Name;
using NameHash = core::replication::replica::NameHash;

// `at` plus `span`; a span too long for the clock ends at the clock's last instant.
Instant later(Instant at, core::Duration span);
// The time from `now` until `until`, zero when it has passed.
core::Duration left(Instant now, Instant until);

using CommitResult = std::expected<void, Failure>;
using ActivateResult = std::expected<std::optional<core::store::Held>, Failure>;

struct Waiting {
  struct Commit {
    oneshot::Sender<CommitResult> answer;
    // The activation ends with this write.
    bool ending = false;
  };
  struct Activate {
    std::optional<core::Pages> initial;
    oneshot::Sender<ActivateResult> answer;
  };
  std::variant<Commit, Activate> value;

  bool commit() const { return std::holds_alternative<Commit>(value); }
  // Sends the failure to the waiter and hands it back.
  Failure fail(Failure failure);
  std::string debug() const;
};

struct Operation {
  // Waits for the durable store's answer to `request`.
  bool storing = false;
  std::uint64_t request = 0;
  Waiting waiting;
  // When the operation fails for good; it never moves.
  Instant answer_by;
  std::optional<Instant> check_at;
  std::optional<Instant> retry_at;
  // An outcome held back while the store saves the write.
  std::optional<core::replication::owner::Outcome> held;
};

struct Outgoing {
  core::NodeId to;
  core::replication::wire::Message message;
  friend bool operator==(const Outgoing&, const Outgoing&) = default;
};

// Read by the node's statistics from other threads.
struct Written {
  std::atomic<std::uint64_t> confirmed{0};
  std::atomic<std::uint64_t> failed{0};
};

// What the event loop knows of one key.
struct Around {
  // In placement order.
  std::vector<core::NodeId> replicas;
  // None: the node's.
  std::optional<core::Duration> write_timeout;
  core::replication::Durable durable;
  // The replicas that are current members, at least 1.
  std::uint64_t wanted = 1;
  core::replication::Level level = core::replication::Level::Majority;
};

// One request for the durable store; its answer comes back through `Replication::stored`.
struct Storing {
  std::uint64_t request = 0;
  std::string actor;
  std::string key;
  core::Storage operation;
  core::Duration timeout;
  friend bool operator==(const Storing&, const Storing&) = default;
};

// The record read by a load (none when the store has none), nothing for a save or a drop, or the
// store's failure text.
using StoreResult = std::expected<std::optional<core::Stored>, std::string>;

struct Awaited {
  struct Load {
    std::string actor;
    std::string key;
  };
  struct Save {
    core::Stored stored;
    std::string actor;
    std::string key;
    // The type's delay; none for "write".
    std::optional<core::Duration> period;
  };
  struct Forget {
    std::string actor;
    std::string key;
    core::replication::Stamp stamp;
  };
  std::variant<Load, Save, Forget> value;
};

// A confirmed state whose save waits for its type's delay.
struct Unsaved {
  core::Stored stored;
  Instant due;
  core::Duration period;
};

struct Burial {
  core::replication::Stamp stamp;
  // The other replicas that answered Buried to this tombstone.
  std::set<core::NodeId> answered;
  // The store was asked to drop the key and has not answered yet.
  bool asked = false;
};

struct Interment {
  Instant due;
  std::string actor;
  std::string key;
  core::replication::Stamp stamp;
};

class Replication {
 public:
  Replication(core::NodeId own_id, std::uint64_t budget, core::Duration write_timeout, core::Duration burial_interval);

  void activate(const std::string& actor, const std::string& key, std::optional<core::Pages> initial,
                const Around& around, oneshot::Sender<ActivateResult> answer, Instant now);
  void commit(const std::string& actor, const std::string& key, std::uint64_t handle, core::Pages pages, bool active,
              const std::optional<Around>& around, oneshot::Sender<CommitResult> answer, Instant now);
  void delete_(const std::string& actor, const std::string& key, std::uint64_t handle, bool active,
               const std::optional<Around>& around, oneshot::Sender<CommitResult> answer, Instant now);
  void forget(const std::string& actor, const std::string& key, std::uint64_t handle);
  void stored(std::uint64_t request, StoreResult result, Instant now);
  void answer(core::replication::messages::Reply reply, Instant now);
  // `receiving`: the key is still arriving on this node by hand-off.
  void request(core::replication::messages::Request request, bool receiving);
  // The keys whose retry is due; the loop calls `again` for each that has an Around.
  std::vector<Name> fired(Instant now);
  void again(const std::string& actor, const std::string& key, const Around& around, Instant now);
  std::optional<Instant> due() const;
  // The write timeout of a type that has none of its own.
  core::Duration write_timeout() const { return write_timeout_; }

  // Burials.
  void lay(Instant now);
  std::vector<Name> burying(Instant now);
  void bury(const std::string& actor, const std::string& key, const std::vector<core::NodeId>& replicas, bool durable);
  void forget_tombstone(const std::string& actor, const std::string& key);

  const core::replication::Owner* owner_of(const std::string& actor, const std::string& key) const;
  const Operation* operation(const std::string& actor, const std::string& key) const;
  const Burial* burial(const std::string& actor, const std::string& key) const;
  bool unsaved_of(const std::string& actor, const std::string& key) const;

  core::replication::Replica replica;
  // Taken out by the event loop after every event.
  std::vector<Outgoing> outgoing;
  std::vector<Name> foreign;
  std::vector<events::Event> events;
  std::vector<Storing> store_requests;
  std::shared_ptr<Written> written = std::make_shared<Written>();

 private:
  struct Kept {
    bool wait = false;
    std::uint64_t request = 0;
  };

  core::replication::Owner& owner(const std::string& actor, const std::string& key, const Around& around);
  void queue(std::vector<core::replication::Send> sends);
  void apply(const std::string& actor, const std::string& key, core::replication::owner::Step step, Instant now);
  void retry_check(const Name& name, Instant now);
  void settled(const std::string& actor, const std::string& key, Operation operation,
               core::replication::owner::Outcome outcome);
  void abort(const std::string& actor, const std::string& key, Failure failure);
  // Puts the operation in place of the key's pending one, whose waiter fails with `why`.
  void replace(const Name& name, Operation op, std::string why);
  void failed(const std::string& actor, const std::string& key, bool write, Failure failure);
  void drop_owner(const Name& name);
  void start(const std::string& actor, const std::string& key, std::uint64_t handle, bool active,
             const std::optional<Around>& around, oneshot::Sender<CommitResult> answer, Instant now,
             const core::Pages* pages);

  // The durable-store bridge.
  std::uint64_t ask(const std::string& actor, const std::string& key, core::Storage operation, core::Duration timeout,
                    Awaited awaited);
  std::uint64_t save(const std::string& actor, const std::string& key, const core::Stored& record,
                     std::optional<core::Duration> period, core::Duration timeout);
  Kept keep(const std::string& actor, const std::string& key, core::Stored record, bool force, Instant now);
  void reported(const std::string& actor, const std::string& key, Failure failure);
  void save_due(Instant now);

  // Burials.
  void buried(const core::replication::messages::Buried& reply);
  void forgotten(const Awaited::Forget& forget, const StoreResult& result);

  core::NodeId own_id_;
  core::Duration write_timeout_;
  core::Duration burial_interval_;
  std::deque<Interment> burial_queue_;
  std::unordered_map<Name, core::replication::Owner, NameHash> owners_;
  std::unordered_map<Name, std::uint64_t, NameHash> handles_;
  std::unordered_map<Name, Operation, NameHash> operations_;
  std::unordered_map<Name, Burial, NameHash> burials_;
  std::unordered_map<std::uint64_t, Awaited> awaited_;
  std::unordered_map<Name, Unsaved, NameHash> unsaved_;
  std::uint64_t next_handle_ = 0;
  std::uint64_t next_request_ = 0;
  std::uint64_t budget_ = 0;
};

}  // namespace vorel::node::replication::service
