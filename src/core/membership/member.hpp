// One member as the membership side lists it to placement and the node runtime.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/node.hpp"

namespace vorel::core::membership {

enum class Status : std::uint8_t { Alive = 0, Leaving = 1, Suspect = 2, Dead = 3, Left = 4 };

inline std::string_view status_text(Status s) {
  switch (s) {
    case Status::Alive: return "alive";
    case Status::Leaving: return "leaving";
    case Status::Suspect: return "suspect";
    case Status::Dead: return "dead";
    case Status::Left: return "left";
  }
  return "alive";
}

inline std::optional<Status> status_of(std::string_view text) {
  for (auto s : {Status::Alive, Status::Leaving, Status::Suspect, Status::Dead, Status::Left}) {
    if (status_text(s) == text) return s;
  }
  return std::nullopt;
}

// A suspect member still counts: suspicion may be refuted, and moving its keys away on every
// missed heartbeat would churn the ring.
inline bool up(Status s) { return s == Status::Alive || s == Status::Suspect; }

struct Member {
  NodeId node;
  std::set<std::string> types;  // the actor type names it hosts, in order
  Status status = Status::Alive;

  bool up() const { return membership::up(status); }
  friend bool operator==(const Member&, const Member&) = default;
};

}  // namespace vorel::core::membership
