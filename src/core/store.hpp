// A key's record as a durable store keeps it, and the node's own table of key records.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/msgpack.hpp"
#include "core/pages.hpp"
#include "core/replication/stamp.hpp"

namespace vorel::core {

namespace store {

// The stored form of a Stamp: round and version big-endian around the incarnation, so that
// comparing these bytes as unsigned bytes is the order of stamps.
using Version = std::array<std::uint8_t, 32>;

Version version_of(const replication::Stamp& stamp);

// The texts with which a failed call of a durable store is reported for a key, `why` being the
// store's own description of the failure: a load, a save, and a drop.
std::string unread(std::string_view actor, std::string_view key, std::string_view why);
std::string unkept(std::string_view actor, std::string_view key, std::string_view why);
std::string unforgotten(std::string_view actor, std::string_view key, std::string_view why);
// A store's failure to answer within its time limit, in seconds as the shortest decimal that
// reads back as the same double, and a kept record a load cannot read, with the reason.
std::string unanswered(double seconds);
std::string unreadable(std::string_view why);

// One key of the local table.
struct Entry {
  Pages pages;
  std::uint64_t round = 1;
  // The number of the last write within the round.
  std::uint64_t version = 0;
  // The last write left the key active.
  bool open = false;
  // A tombstone, kept until the store has forgotten the key.
  bool deleted = false;
  // A save to the durable store is pending.
  bool due = false;
};

// What an activation starts from.
struct Held {
  Pages pages;
  std::uint64_t generation = 0;
  // The key starts from its initial pages, because no kept or stored state was there.
  bool created = false;

  friend bool operator==(const Held&, const Held&) = default;
};

}  // namespace store

struct Stored {
  // None for a deletion.
  std::optional<Pages> state;
  replication::Stamp version;

  // The state bytes a store keeps: ["State", {"pages": [[name, bytes], ...]}]; none for a deletion.
  std::optional<Bytes> state_bytes() const;
  store::Version version_bytes() const { return store::version_of(version); }

  // A record as a store gives it back. The version's node has no address.
  static msgpack::Result<Stored> read(ByteView version, std::optional<ByteView> state);

  friend bool operator==(const Stored&, const Stored&) = default;
};

// One request of a key to the durable store; the actor type and the key travel beside it.
struct Storage {
  struct Load {
    friend bool operator==(const Load&, const Load&) = default;
  };
  struct Save {
    Stored record;
    friend bool operator==(const Save&, const Save&) = default;
  };
  // Forget the key, up to the stamp of its deletion.
  struct Drop {
    replication::Stamp stamp;
    friend bool operator==(const Drop&, const Drop&) = default;
  };

  std::variant<Load, Save, Drop> value;
  friend bool operator==(const Storage&, const Storage&) = default;
};

// The node's table of key records when it has no cluster. Every stamp it gives has no address
// and a zero incarnation. It has no lock: it lives behind its node's lock.
class LocalStore {
 public:
  struct Kept {
    std::string actor;
    std::string key;
    bool deleted = false;
    friend bool operator==(const Kept&, const Kept&) = default;
  };

  // Replaces the key's pages and flags and gives the stamp of this write; `due` is left alone.
  replication::Stamp write(std::string_view actor, std::string_view key, Pages pages, bool open, bool deleted);
  // What the key's activation starts from: the table's record, else the store's, else the initial
  // pages; none when the key was not started.
  std::optional<store::Held> restore(std::string_view actor, std::string_view key,
                                     const std::optional<Stored>& stored, const std::optional<Pages>& initial);
  // Takes the due mark: what to save now, or none when no save is due.
  std::optional<Stored> due(std::string_view actor, std::string_view key);
  // Sets the due mark; true when the record exists and the mark was clear.
  bool unsaved(std::string_view actor, std::string_view key);
  bool knows(std::string_view actor, std::string_view key) const;
  // Forgets the record of a key that is not active once the store confirmed a save of it as it
  // stands (this stamp, nothing due since): its next activation loads it from the store.
  void saved(std::string_view actor, std::string_view key, const replication::Stamp& stamp);
  // Forgets a tombstone once the store has dropped it, unless a later write changed its stamp.
  void purge(std::string_view actor, std::string_view key, const replication::Stamp& stamp);
  void delete_(std::string_view actor, std::string_view key);
  std::vector<Kept> kept() const;

 private:
  struct Name {
    std::string actor;
    std::string key;
  };
  struct NameView {
    std::string_view actor;
    std::string_view key;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(NameView name) const;
    std::size_t operator()(const Name& name) const { return (*this)(NameView{name.actor, name.key}); }
  };
  struct Equal {
    using is_transparent = void;
    static NameView view(NameView n) { return n; }
    static NameView view(const Name& n) { return {n.actor, n.key}; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return view(a).actor == view(b).actor && view(a).key == view(b).key;
    }
  };

  static replication::Stamp stamp(const store::Entry& entry);

  std::unordered_map<Name, store::Entry, Hash, Equal> records_;
};

}  // namespace vorel::core
