// The per-system core on the Python side: one for each ActorSystem or Client, shared by handle
// with everything that works for that system. Nothing of the module is global to the process;
// everything a system owns hangs off its node.
//
// Every lock here guards one field, is taken alone and is never held across a call into Python.
// Everything runs on the loop thread with the interpreter lock held, except the reading of the
// atomics, which the node runtime's threads do too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/backoff.hpp"
#include "core/deliver.hpp"
#include "core/outcome.hpp"
#include "core/pages.hpp"
#include "core/revoked.hpp"
#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "core/store.hpp"
#include "node/cluster.hpp"
#include "py/catalog.hpp"
#include "py/definition.hpp"
#include "py/keyed.hpp"
#include "py/locked.hpp"
#include "py/node/durable.hpp"
#include "py/node/joined.hpp"
#include "py/node/loop.hpp"
#include "py/node/replies.hpp"
#include "py/node/runs.hpp"
#include "py/object.hpp"

namespace vorel::exec {
class Threads;
}  // namespace vorel::exec

namespace vorel::node {
class Node;
}  // namespace vorel::node

namespace vorel::py {

// The text of every operation that needs the loop of a system that has not been entered.
inline constexpr const char kNotStarted[] = "the system has not started";
// The text of every operation refused once the system has stopped.
inline constexpr const char kStopped[] = "the system has stopped";

// The settings of a system, with the defaults an ActorSystem applies. An actor type's own
// idle_after, ask_timeout, write_timeout and backoff win over these.
// A state operation of a key: the read that opens it, a write of its pages, or its deletion.
// `active` is set for the writes of a live activation and clear for the last one.
struct Op {
  enum class Kind : std::uint8_t { Read, Write, Delete };
  Kind kind = Kind::Read;
  std::optional<core::Pages> initial;  // Read: the pages a key without a record starts from
  bool active = false;
  std::uint64_t generation = 0;
  core::Pages pages;  // Write
};

struct NodeConfig {
  core::Duration idle_after{60, 0};
  core::Duration ask_timeout{10, 0};
  core::Duration write_timeout{5, 0};
  core::Duration leave_timeout{30, 0};
  core::Backoff backoff{2.0, core::Duration{0, 100'000'000}, core::Duration{10, 0}};
};

class Node : public std::enable_shared_from_this<Node> {
 public:
  // The joined cluster side with the handle of its started node runtime.
  struct Clustered {
    std::shared_ptr<Joined> joined;
    vorel::node::Node runtime;
  };

  static std::shared_ptr<Node> new_(NodeConfig config, core::NodeId id, Object observer, Object store_object,
                                    std::shared_ptr<vorel::exec::Threads> threads);
  Node(NodeConfig config, core::NodeId id, Object observer, Object store_object,
       std::shared_ptr<vorel::exec::Threads> threads);
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  core::NodeId id() { return id_.get(); }
  // The loop the system was entered on; null with RuntimeError "the system has not started".
  Object running();
  // Whether the caller runs on the thread of the loop the system was entered on (any thread before
  // the entry); false with a RuntimeError that says how to hand the call to that loop.
  bool on_loop_thread(const char* call) const;
  // The ActorSystem or Client object, kept from the entry to the end of the stop; null with the same
  // RuntimeError while none is kept, or with "the system has stopped" after the stop.
  Object system();
  // The loop's time, seconds of its monotonic clock; none with the error set.
  std::optional<double> now();
  // A new future of the loop; null with the error set.
  Object future();
  // Both handles once the node runtime has started; none before, even while a Joined is kept.
  std::optional<Clustered> cluster();
  // Holds the record table's lock until the access goes: no call into Python meanwhile.
  Locked<core::LocalStore>::Access store() { return records.lock(); }
  // The live activation of the key (a new reference); null when there is none. Never fails.
  Object activation(std::string_view actor, std::string_view key);
  // Registers a pending ask, replacing one under the same id. `schema` may be null.
  void waited(std::int64_t id, Object future, Object schema, std::uint32_t answer);
  std::optional<replies::Waiting> forget(std::int64_t id);

  // Delivery: every message and start for a key passes through `hand` (the sending side) and
  // `take` (the receiving side on the key's owner). Each returns false with the error set.
  core::Chain chain();
  bool hand(core::Command command);
  bool take(core::Command command);
  // The key's activation, made when there is none. Null without an error set: the type is unknown.
  Object attach(std::string_view actor, std::string_view key);

  // Answers: `answer` settles an ask of this node; `settle` completes its future by the outcome.
  bool answer(const core::Target& target, core::Outcome outcome);
  bool settle(std::int64_t id, core::Outcome outcome);
  // Gives a pending ask its timeout, `seconds` from now.
  bool armed(std::int64_t id, double seconds);
  // Arms the timer the asks' timeouts share for `delay` seconds from now, at loop time `due`.
  bool timed(double delay, double due);
  // That timer fired: every ask that is due fails with TimeoutError, and the timer goes on.
  bool timeouts();
  // Has the key's owner forget the request of a pending ask taken out.
  bool cancel(std::int64_t id, replies::Waiting& waiting);
  // An asker gave up: the ask is withdrawn, its run cancelled, or its target remembered.
  bool cancelled(std::string_view actor, std::string_view key, const core::Target& target);

  // Entering a cluster. `join` reads the cluster configuration object and enters with it as a
  // member; `enter` starts the node runtime, whose start resolves `future` with `system` or fails
  // it with Refused; `entry` is what __aenter__ returns for that future, undoing the entry when it
  // fails or is cancelled; `rejoin` joins again after a removal. False or null with the error set.
  // The first steps of every entry: the running loop, the observer's wishes, the loop and the
  // system object kept. A system runs once: its keys, asks and stop flags belong to that one run.
  // The loop, or null with the error set.
  Object entering(PyObject* system);
  bool join(PyObject* config_object, PyObject* loop, const Object& future, PyObject* system);
  bool enter(vorel::node::Cluster settings, PyObject* address_map, PyObject* loop, const Object& future,
             PyObject* system, bool member);
  Object entry(Object future);
  bool rejoin();

  // The end of activations and of the system.
  void vacate(PyObject* activation);
  void forsake();
  std::vector<Object> census();
  void abandon();
  void departed(bool abort, PyObject* exit);
  // A future resolved once the operation on the key's record is done; null with the error set.
  Object persist(std::string_view actor, std::string_view key, Op op);
  // The local road's write or delete of a key's record, then `future` resolved; false with the error set.
  bool stored(std::string_view actor, std::string_view key, Op op, const Object& future);
  // The effective ask timeout of an ask to the target, in seconds.
  double ask_seconds(const core::Target& target);
  bool is_stopped() const { return stopped.load(std::memory_order_acquire); }
  bool is_leaving() const { return leaving.load(std::memory_order_acquire); }

  // Catalog, type resolution and events.
  void learn(PyObject* object, const std::shared_ptr<const Definition>& definition);
  // The definition of a type name, imported when the node has not met it; null when it cannot be
  // had. Never raises.
  std::shared_ptr<const Definition> resolve(std::string_view name);
  // Reports a message that will never be handled. Never fails.
  void dropped(std::string_view actor, std::string_view key, std::string_view reason);
  // Reports a store failure of a durable key as WriteFailed ("write" or "activate"). Never fails.
  void reported(std::string_view actor, std::string_view key, bool write, std::string_view reason);
  // Asks the observer which event classes it wants; false with the error set, `wanted` unchanged.
  bool subscribe();

  // For steps that go on past a failure no caller can be given: `report` hands the raised
  // exception, taken out, to the loop's exception handler under `message`. `settle_anyway` fails a
  // future that someone awaits with `error`, or resolves it with None when `error` is null, unless
  // it is done; what it cannot do is reported, and a future that refuses its outcome is cancelled,
  // so that its awaiter wakes all the same. Neither fails.
  void report(const char* message);
  void settle_anyway(PyObject* future, Object error, const char* message);

  // The fields, in the order in which they are released when the node goes. `id_` and `system_`
  // carry a mark only because their accessors have their names.
  Locked<core::NodeId> id_;
  Locked<std::shared_ptr<Joined>> joined;
  Locked<Object> cluster_config;
  Locked<std::vector<core::membership::Member>> members;
  Locked<Object> writes;
  // A test hook's callable that each write or delete of a live key passes first, given the actor
  // type and key: None lets it go on at once; an awaitable holds it until it ends, and its failure
  // is the write's.
  Locked<Object> gate;
  Locked<Object> event_loop;
  loop::Calls loop_calls;
  Locked<Object> system_;
  Locked<Catalog> catalog;
  Locked<std::shared_ptr<const Definition>> last_resolved;
  Locked<core::LocalStore> records;
  Object store_object;
  Locked<Replies> replies;
  Locked<core::Revoked<core::Target, Keyed>> cancelled_targets;
  Locked<std::unordered_map<Entity, Object, Keyed, SameEntity>> activations;
  Runs runs;
  Locked<std::unordered_map<std::uintptr_t, Object, Keyed>> handed;
  Locked<Object> drained;
  Locked<durable::Pending> stowing;
  Object observer;
  std::shared_ptr<vorel::exec::Threads> threads;

  // Runs and the messages bodies read take their numbers here (the holds of ask chains).
  std::atomic<std::uint64_t> next_run;
  std::atomic<std::uint64_t> writes_confirmed{0};
  NodeConfig config;
  // One bit per observer event class; every event passes until the system subscribes. The node
  // runtime's threads read it before they queue an event.
  std::atomic<std::uint16_t> wanted{0xFFFF};
  std::atomic<bool> leaving{false};
  // The thread of the loop the system was entered on, 0 before the entry.
  std::atomic<unsigned long> loop_thread{0};
  std::atomic<bool> stopped{false};

  static_assert(std::atomic<std::uint16_t>::is_always_lock_free);
};

}  // namespace vorel::py
