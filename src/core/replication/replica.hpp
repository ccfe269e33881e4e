// The replica side of replication: every key this node keeps a copy of, its promise and its state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/messages.hpp"
#include "core/replication/stamp.hpp"

namespace vorel::core::replication {

class Replica;

namespace replica {

// A write whose parts are still arriving.
struct Staged {
  Stamp stamp;
  // Part 0 had no base: the parts carry the whole state, not a change.
  bool full = false;
  Pages pages;
  messages::Names dropped;
  std::uint32_t next = 0;
  friend bool operator==(const Staged&, const Staged&) = default;
};

// One key's record.
struct Entry {
  std::optional<Epoch> promised;
  std::optional<Stamp> accepted;
  Pages pages;
  std::optional<Staged> staged;
  friend bool operator==(const Entry&, const Entry&) = default;
};

// A tombstone this replica stored, for the service to bury.
struct Tombstone {
  std::string actor;
  std::string key;
  Stamp stamp;
  friend bool operator==(const Tombstone&, const Tombstone&) = default;
};

// What one record holds, for the node's listing of kept keys.
struct Kept {
  std::string actor;
  std::string key;
  bool tombstone = false;
  friend bool operator==(const Kept&, const Kept&) = default;
};

// One incoming stream of hand-off copies.
struct Arriving {
  std::optional<std::uint64_t> stream;
  // A key whose parts are still arriving.
  std::optional<messages::Copy> copy;
  std::uint32_t next = 0;
  // A message or a copy part was missed: what arrived of the stream is not the whole of it.
  bool gap = false;

  // Installs every copy the message completes into the replica; gives their keys in order.
  std::vector<std::string> take(Replica& replica, std::string_view actor, std::uint64_t stream, std::uint32_t part,
                                std::vector<messages::Copy> copies);
};

struct Name {
  std::string actor;
  std::string key;
  friend bool operator==(const Name&, const Name&) = default;
  // By actor type, then key: the order in which a service walks its keys, so runs are reproducible.
  friend auto operator<=>(const Name&, const Name&) = default;
};

struct NameHash {
  std::size_t operator()(const Name& n) const;
};

}  // namespace replica

class Replica {
 public:
  Replica(NodeId node, std::uint64_t budget) : node(std::move(node)), budget(budget) {}

  // `receiving`: this node is still receiving the key by hand-off.
  std::optional<messages::Reply> receive(messages::Request request, bool receiving);

  std::vector<std::string> keys(std::string_view actor) const;
  std::vector<replica::Kept> kept() const;
  bool marked(std::string_view actor, std::string_view key) const;
  std::optional<Stamp> accepted(std::string_view actor, std::string_view key) const;
  std::optional<Epoch> promised(std::string_view actor, std::string_view key) const;
  // The stamp of the tombstone the record holds, if it holds one.
  std::optional<Stamp> deleted(std::string_view actor, std::string_view key) const;
  // The record cut into hand-off parts; empty when there is no record.
  std::vector<messages::Copy> copies(std::string_view actor, std::string_view key) const;
  // Merges one complete copy: a later state replaces the held one, a higher promise the held promise.
  void install(std::string_view actor, messages::Copy copy);
  void drop(std::string_view actor, std::string_view key);
  // Forgets the record only while it holds exactly the tombstone `stamp`.
  void purge(std::string_view actor, std::string_view key, const Stamp& stamp);

  const replica::Entry* entry(std::string_view actor, std::string_view key) const;

  // Stored since the service last took them, in order.
  std::vector<replica::Tombstone> tombstones;
  NodeId node;
  std::uint64_t budget = 0;
  std::unordered_map<replica::Name, replica::Entry, replica::NameHash> records;

 private:
  replica::Entry& record(const std::string& actor, const std::string& key);
  std::optional<messages::Reply> prepare(messages::Prepare request, bool receiving);
  std::optional<messages::Reply> accept(messages::Accept request, bool receiving);
  messages::Reply fetch(messages::Fetch request);
  messages::Reply bury(messages::Bury request, bool receiving);
};

}  // namespace vorel::core::replication
