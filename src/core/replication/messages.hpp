// What the owner of a key and its replicas say to each other, and the record the hand-off moves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/stamp.hpp"

namespace vorel::core::replication {

// Written by an owner into every state it writes while the key's activation runs.
inline constexpr std::string_view kActive = "@active";
// The one page of a deleted key's state.
inline constexpr std::string_view kDeleted = "@deleted";

namespace messages {

// A page name with the length of its content.
using Size = std::pair<std::string, std::uint64_t>;
using Sizes = std::vector<Size>;
using Names = std::vector<std::string>;

// The state of a deleted key: "@deleted" alone, with no content.
core::Pages tombstone();
// Any state holding "@deleted" counts as deleted, whatever else it holds.
bool is_tombstone(const core::Pages& pages);
bool is_marked(const core::Pages& pages);

struct Prepare {
  std::string actor;
  std::string key;
  Epoch epoch;
  friend bool operator==(const Prepare&, const Prepare&) = default;
};

// One part of a write. Without a base it carries the whole new state; with one, only the pages
// that differ from the base, and `dropped` (on the last part) names the pages the state lost.
struct Accept {
  std::string actor;
  std::string key;
  Stamp stamp;
  std::optional<Stamp> base;
  std::uint32_t part = 0;
  bool final_ = false;
  core::Pages pages;
  Names dropped;
  friend bool operator==(const Accept&, const Accept&) = default;
};

// Asks for one part of the named pages of a replica's state; travels as "FetchPages".
struct Fetch {
  std::string actor;
  std::string key;
  Epoch epoch;
  Names names;
  std::uint32_t part = 0;
  friend bool operator==(const Fetch&, const Fetch&) = default;
};

// The key was deleted by the write `stamp`; `node` runs the burial and gets the answer.
struct Bury {
  std::string actor;
  std::string key;
  Stamp stamp;
  NodeId node;
  friend bool operator==(const Bury&, const Bury&) = default;
};

struct Request {
  // In tag order.
  using Variant = std::variant<Prepare, Accept, Fetch, Bury>;
  Variant variant;

  const std::string& actor() const;
  const std::string& key() const;
  // The node the reply goes back to.
  const NodeId& origin() const;

  friend bool operator==(const Request&, const Request&) = default;
};

// `receiving` on a reply: the replica is still receiving the key by hand-off, so its answer counts
// as an answer but not toward a quorum.
struct Promise {
  std::string actor;
  std::string key;
  Epoch epoch;
  NodeId replica;
  std::optional<Stamp> accepted;
  Sizes sizes;
  // The whole held state when it fits one message, else empty and fetched.
  core::Pages pages;
  bool receiving = false;
  friend bool operator==(const Promise&, const Promise&) = default;
};

struct Rejected {
  std::string actor;
  std::string key;
  NodeId replica;
  Epoch promised;
  friend bool operator==(const Rejected&, const Rejected&) = default;
};

// The answer to a Fetch.
struct Pages {
  std::string actor;
  std::string key;
  Epoch epoch;
  std::optional<Stamp> accepted;
  std::uint32_t part = 0;
  bool final_ = false;
  core::Pages pages;
  friend bool operator==(const Pages&, const Pages&) = default;
};

struct Accepted {
  std::string actor;
  std::string key;
  Stamp stamp;
  NodeId replica;
  bool receiving = false;
  friend bool operator==(const Accepted&, const Accepted&) = default;
};

// The replica does not hold the base of a change; the owner must send the whole state.
struct NeedFull {
  std::string actor;
  std::string key;
  Stamp stamp;
  NodeId replica;
  friend bool operator==(const NeedFull&, const NeedFull&) = default;
};

struct Buried {
  std::string actor;
  std::string key;
  Stamp stamp;
  NodeId replica;
  bool receiving = false;
  friend bool operator==(const Buried&, const Buried&) = default;
};

struct Reply {
  // In tag order.
  using Variant = std::variant<Promise, Rejected, Pages, Accepted, NeedFull, Buried>;
  Variant variant;

  const std::string& actor() const;
  const std::string& key() const;

  friend bool operator==(const Reply&, const Reply&) = default;
};

// One key's replica record, or one part of it, as the hand-off moves it; the actor type travels
// once with the message that carries the copies.
struct Copy {
  std::string key;
  std::optional<Stamp> accepted;
  std::optional<Epoch> promised;
  core::Pages pages;
  std::uint32_t part = 0;
  bool final_ = false;
  friend bool operator==(const Copy&, const Copy&) = default;
};

}  // namespace messages

// One request addressed to a node.
struct Send {
  NodeId to;
  messages::Request request;
  friend bool operator==(const Send&, const Send&) = default;
};

}  // namespace vorel::core::replication
