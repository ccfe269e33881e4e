// The waiting room: commands whose key has no usable place yet, or whose retry is not due yet.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/backoff.hpp"
#include "core/routing/wire.hpp"

namespace vorel::node::routing {

using core::routing::Routed;

// A reading of the monotonic clock; the caller passes it in, the room reads no clock.
using Instant = std::chrono::steady_clock::time_point;

namespace waiting {

// How often the event loop looks at the room while anything is parked.
inline constexpr std::chrono::milliseconds kExamineEvery{10};
// The most entries one node's room takes.
inline constexpr std::uint64_t kLimit = 100'000;

// `at` plus `span`, held at the clock's last instant rather than wrapping for a huge timeout.
Instant later(Instant at, core::Duration span);

struct Entry {
  Routed routed;
  // Before it the entry is not routed again.
  Instant not_before;
  // After it the entry leaves as expired.
  Instant deadline;
};

struct Released {
  bool expired = false;
  Routed routed;
};

// (actor type, key), ordered as the pair of texts byte by byte, actor type first.
struct Key {
  std::string actor;
  std::string key;
  friend auto operator<=>(const Key&, const Key&) = default;
  friend bool operator==(const Key&, const Key&) = default;
};

// Lets lookups by a pair of views find a Key without copying the texts.
struct KeyLess {
  using is_transparent = void;
  using View = std::pair<std::string_view, std::string_view>;
  static View view(const Key& k) { return {k.actor, k.key}; }
  static View view(const View& v) { return v; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return view(a) < view(b);
  }
};

struct Waiting {
  // A key is present only while its queue is not empty.
  std::map<Key, std::deque<Entry>, KeyLess> parked;
  // The entries of all queues.
  std::uint64_t count = 0;
  // Checked by the caller before `keep`; the room itself takes what it is given.
  std::uint64_t limit = kLimit;
  // The reference time of the next examination.
  std::optional<Instant> since;

  void keep(Routed routed, Instant now, core::Duration delay, core::Duration timeout);
  // Every key with parked entries, in key order.
  std::vector<Key> keys() const;
  bool holds(std::string_view actor, std::string_view key) const;
  // Removes the parked asks whose reply target is the cancel's request; whether any was removed.
  bool cancel(const core::routing::wire::Cancel& cancel);
  // What leaves the key's queue at `now`, in queue order. `wait`: the key has no place yet.
  std::vector<Released> release(std::string_view actor, std::string_view key, bool wait, Instant now);
};

}  // namespace waiting
}  // namespace vorel::node::routing
