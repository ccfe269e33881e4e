// The owner side of replication: one key's activation by a read quorum, its writes by a write
// quorum as changes against the last confirmed write, and its deletion by a tombstone.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/backoff.hpp"
#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/messages.hpp"
#include "core/replication/stamp.hpp"
#include "core/store.hpp"

namespace vorel::core::replication {

// How many replicas confirm a write: "one", "majority" or "all", numbered as they travel.
enum class Level : std::uint8_t { One = 0, Majority = 1, All = 2 };

// The durable setting of an actor type: not durable, saved with every write ("write"), or saved
// a delay after the first state that was not saved yet.
struct Durable {
  enum class Mode : std::uint8_t { None, Write, Delay };
  Mode mode = Mode::None;
  Duration delay;  // only for Delay

  static Durable none() { return {}; }
  static Durable write() { return {Mode::Write, {}}; }
  static Durable after(Duration delay) { return {Mode::Delay, delay}; }
  bool any() const { return mode != Mode::None; }
  friend bool operator==(const Durable&, const Durable&) = default;
};

namespace owner {

struct Quorums {
  std::uint64_t write = 0;
  std::uint64_t read = 0;
  friend bool operator==(const Quorums&, const Quorums&) = default;
};

// Every read quorum meets every write quorum: "one" writes to 1 and reads 1 (no such promise),
// "majority" writes to and reads a majority, "all" writes to every replica and reads any one.
Quorums quorums(Level level, std::uint64_t replicas);

// One write.
struct Written {
  Stamp stamp;
  // None for a write that carries the whole state.
  std::optional<Stamp> base;
  Pages pages;
  // The pages absent from the base state or different from it.
  Pages changed;
  // The base state's pages that this state lacks, in name order.
  messages::Names dropped;
  friend bool operator==(const Written&, const Written&) = default;
};

// One replica's Promise as the owner keeps it.
struct Promised {
  NodeId replica;
  std::optional<Stamp> accepted;
  messages::Sizes sizes;
  Pages pages;
  bool receiving = false;
  friend bool operator==(const Promised&, const Promised&) = default;
};

// A write held while the owner prepares a new round.
struct Pending {
  struct Write {
    Pages pages;
    friend bool operator==(const Write&, const Write&) = default;
  };
  struct Delete {
    friend bool operator==(const Delete&, const Delete&) = default;
  };
  std::variant<Write, Delete> value;
  friend bool operator==(const Pending&, const Pending&) = default;
};

// The durable-store load of an activation.
struct Lookup {
  struct ToAsk {
    friend bool operator==(const ToAsk&, const ToAsk&) = default;
  };
  struct Asked {
    friend bool operator==(const Asked&, const Asked&) = default;
  };
  // None when the store has no record or no load applies.
  struct Loaded {
    std::optional<Stored> record;
    friend bool operator==(const Loaded&, const Loaded&) = default;
  };
  std::variant<ToAsk, Asked, Loaded> value;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

struct Promising {
  // The state to create the key with when nothing exists.
  std::optional<Pages> initial;
  std::optional<Pending> pending;
  Lookup lookup;
  // A replica's later Promise replaces its earlier one.
  std::map<NodeId, Promised> promises;
  // Answers to wait for before deciding.
  std::uint64_t wanted = 0;
  friend bool operator==(const Promising&, const Promising&) = default;
};

struct Fetching {
  NodeId source;
  // The stamp of the state being fetched.
  Stamp accepted;
  messages::Names names;
  std::uint32_t part = 0;
  Pages pages;
  bool save = false;
  friend bool operator==(const Fetching&, const Fetching&) = default;
};

struct Writing {
  Written written;
  // Replicas that answered Accepted while not receiving.
  std::set<NodeId> confirmed;
  // Every replica that answered Accepted.
  std::set<NodeId> accepted;
  friend bool operator==(const Writing&, const Writing&) = default;
};

// What the owner waits for, in tag order.
using Phase = std::variant<Promising, Fetching, Writing>;

struct Outcome {
  struct Activated {
    // Without "@active".
    Pages state;
    bool created = false;
    friend bool operator==(const Activated&, const Activated&) = default;
  };
  struct Missing {
    friend bool operator==(const Missing&, const Missing&) = default;
  };
  struct Saved {
    friend bool operator==(const Saved&, const Saved&) = default;
  };
  struct Fenced {
    friend bool operator==(const Fenced&, const Fenced&) = default;
  };
  struct Insufficient {
    friend bool operator==(const Insufficient&, const Insufficient&) = default;
  };
  std::variant<Activated, Missing, Saved, Fenced, Insufficient> value;

  // "Activated { state: [...], created: false }", "Missing", ...: for texts of broken invariants.
  std::string debug() const;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// What the confirmation of the write in flight reports.
enum class Report : std::uint8_t { Activated, Created, Saved };

// The result of an operation that can finish something.
struct Step {
  std::optional<Storage> storage;
  std::vector<Send> requests;
  std::optional<Outcome> outcome;
  friend bool operator==(const Step&, const Step&) = default;
};

// A state that cannot be cut into parts that fit a message.
struct TooLarge {
  std::string text;
  friend bool operator==(const TooLarge&, const TooLarge&) = default;
};

using Sends = std::expected<std::vector<Send>, TooLarge>;

// The latest accepted stamp of the promises in their order; among unordered stamps the first wins.
std::optional<Stamp> latest_of(const std::map<NodeId, Promised>& promises);

}  // namespace owner

class Owner {
 public:
  // `round` is the first round: the owner's first Prepare opens round + 1.
  Owner(std::string actor, std::string key, NodeId node, std::vector<NodeId> replicas, Level level,
        std::uint64_t budget, std::uint64_t round, Durable durable);

  // Opens a round to activate the key; `wanted` answers are awaited before deciding.
  owner::Sends activate(std::optional<Pages> initial, std::uint64_t wanted);
  std::vector<Send> prepare(std::optional<Pages> initial, std::uint64_t wanted, owner::Lookup lookup,
                            std::optional<owner::Pending> pending);
  owner::Step receive(messages::Reply reply);
  // `forced`: decide with the promises in hand, however few.
  owner::Step decide(bool forced);
  // The durable store's answer to the Load.
  owner::Step loaded(std::optional<Stored> answer);
  // A write while the activation runs: marked "@active".
  owner::Sends save(Pages pages);
  // A write as given; the last write of an activation carries no "@active".
  owner::Sends next(Pages pages);
  std::vector<Send> delete_();
  // The write in flight again, to every replica that has not confirmed it: an Accept or its answer
  // may have been lost. Nothing outside the Writing phase.
  std::vector<Send> resend() const;

  // Replicas hold the key back: a promise says it is still receiving, or accepted replicas
  // are still receiving and so do not count toward the quorum.
  bool receiving() const;

  std::string actor;
  std::string key;
  // In placement order; every Prepare and every write goes to each of them in this order.
  std::vector<NodeId> replicas;
  Epoch epoch;
  // The highest round seen; a new round is one above it.
  std::uint64_t highest = 0;
  // The version of the write most recently started.
  std::uint64_t version = 0;
  std::uint64_t write_quorum = 0;
  std::uint64_t read_quorum = 0;
  std::uint64_t budget = 0;
  Durable durable;
  // When set, the next write first prepares a new round wanting that many answers.
  std::optional<std::uint64_t> reprepare;
  // The last write a write quorum confirmed: the base of the next change.
  std::optional<owner::Written> last;
  // The write most recently started, for the whole state a NeedFull asks for.
  std::optional<owner::Written> inflight;
  owner::Report report = owner::Report::Saved;
  bool save_ = false;
  std::optional<owner::Phase> phase;

 private:
  std::optional<owner::TooLarge> check(const Pages& pages) const;
  owner::Step commit(Pages pages, std::optional<Stamp> base, owner::Report report, bool save);
  std::vector<Send> following(Pages pages);
  std::vector<Send> write(Pages pages, std::optional<Stamp> base, const Pages& base_pages, owner::Report report,
                          bool save);
  std::vector<messages::Request> parts(const owner::Written& written, bool full) const;
  std::vector<Send> fetch() const;
  owner::Step end(owner::Outcome outcome);
  owner::Step confirmed();
  owner::Step activation(owner::Promising& promising, const std::optional<Stamp>& latest);
};

}  // namespace vorel::core::replication
