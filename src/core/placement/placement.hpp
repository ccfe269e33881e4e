// A node's placement state: the ring of the current members, and per actor type the ring its
// hand-off has reached and the steps still in flight.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/membership/member.hpp"
#include "core/node.hpp"
#include "core/placement/ring.hpp"

namespace vorel::core::placement {

// One hand-off step of one actor type: `to` differs from `from` by one member, and `ranges`
// (never empty) are what this node replicates on `to` but not on `from`.
struct Step {
  std::string actor;
  Ring from;
  Ring to;
  std::vector<Range> ranges;

  friend bool operator==(const Step&, const Step&) = default;
};

// What placement asks the hand-off about keys in flight.
class Transfers {
 public:
  virtual ~Transfers() = default;
  // Whether the key is still arriving under that step.
  virtual bool receiving(const Step& step, std::string_view key) const = 0;
};

// The replica count of each actor type the node knows; none when it cannot be known.
class Counts {
 public:
  using Entries = std::map<std::string, std::optional<std::uint64_t>, std::less<>>;

  void learn(std::string_view actor, std::uint64_t count);
  void give_up(std::string_view actor);

  // The type's count when it is known; an unknown or absent type has every member as replica.
  std::optional<std::uint64_t> known(std::string_view actor) const;
  const Entries& entries() const { return entries_; }

 private:
  Entries entries_;
};

struct Placement {
  // The ring of the current member set; none until an update sees a member.
  std::optional<Ring> ring;
  // This node when it hosts keys; none on a client.
  std::optional<NodeId> me;
  // Per type, the ring up to which its hand-off has been planned.
  std::unordered_map<std::string, Ring> rings;
  // Per type, the steps made and not yet released, oldest first.
  std::unordered_map<std::string, std::vector<Step>> steps;
  // The member list of the last update.
  std::map<NodeId, membership::Member> members;
  // Once an update has seen two or more members.
  bool clustered = false;

  Placement() = default;
  explicit Placement(std::optional<NodeId> me) : me(std::move(me)) {}

  // Takes a new member list; returns the new steps of every counted type, by type name.
  std::vector<Step> update(const std::vector<membership::Member>& list, const Counts& counts);
  // The key's replicas, owner candidate first; a key still arriving is placed by the ring before
  // its step.
  std::vector<NodeId> replicas(std::string_view actor, std::string_view key, const Counts& counts,
                               const Transfers& transfers) const;
  // The first replica that is up.
  std::optional<NodeId> owner(std::string_view actor, std::string_view key, const Counts& counts,
                              const Transfers& transfers) const;
  // The owner as the current ring alone places it, once the steps in flight are done.
  std::optional<NodeId> destination(std::string_view actor, std::string_view key, const Counts& counts) const;
  // The listed member that advertises `address`, the most available first.
  std::optional<NodeId> advertised(std::string_view address) const;
  // A type the node has just learned of.
  void learned(std::string_view actor);

 private:
  std::optional<NodeId> first_up(std::span<const NodeId> replicas) const;
  std::vector<NodeId> placed(std::string_view actor, std::string_view key, const Counts& counts,
                             const Ring& on) const;
};

// The node that acts for a key whose owner is `owner`. A node that has not joined acts for
// nothing; one that may not serve keeps only its pinned keys, so that a node cut off from the
// majority does not run keys the rest of the cluster has placed elsewhere.
std::optional<NodeId> acting(const std::optional<NodeId>& owner, std::string_view key, const NodeId& own, bool joined,
                             bool serving);

}  // namespace vorel::core::placement
