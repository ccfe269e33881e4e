// Hand-off services of a few nodes, each with its replica, that the tests drive by hand: a shared
// virtual clock, and messages passed through the wire format when the test says so.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/placement/ring.hpp"
#include "core/replication/wire.hpp"
#include "node/handoff/service.hpp"
#include "core/replication/sample.hpp"
#include "testing/ids.hpp"

namespace vorel::node::handoff::testing {

using namespace std::chrono_literals;
using core::NodeId;
using core::handoff::messages::Pull;
using core::placement::Ring;
using core::placement::Step;
using service::Handoff;
using service::Instant;

inline const core::Backoff kBackoff{2.0, core::Duration{0, 100'000'000}, core::Duration{10, 0}};

struct Peer {
  Peer(NodeId id, std::uint64_t budget, service::Clock clock)
      : id(id), replica(id, budget), handoff(id, budget, kBackoff, std::move(clock)) {}
  NodeId id;
  core::replication::Replica replica;
  Handoff handoff;
};

class Peers : public ::testing::Test {
 protected:
  // Nodes id(1) to id(5), each live to every other.
  explicit Peers(std::uint64_t budget = 4096) {
    for (std::uint8_t tag = 1; tag <= 5; ++tag) {
      ids.push_back(core::testing::id(tag));
      peers.push_back(std::make_unique<Peer>(ids.back(), budget, [this] { return now; }));
    }
    for (auto& p : peers) p->handoff.knows({ids.begin(), ids.end()});
  }

  Handoff& at(std::size_t i) { return peers[i]->handoff; }
  core::replication::Replica& replica(std::size_t i) { return peers[i]->replica; }
  void fire(std::size_t i) { at(i).fired(now, replica(i)); }
  std::size_t index(const NodeId& node) const {
    return static_cast<std::size_t>(std::find(ids.begin(), ids.end(), node) - ids.begin());
  }

  Ring ring(std::initializer_list<std::size_t> members) const {
    std::vector<NodeId> nodes;
    for (auto m : members) nodes.push_back(ids[m]);
    return Ring::build(nodes, core::placement::kTokens);
  }

  // The step of node `i` joining `before`, with `n` replicas per key.
  Step joining(std::size_t i, std::initializer_list<std::size_t> before, std::uint64_t n = 3) const {
    Step s;
    s.actor = "T";
    s.from = ring(before);
    std::vector<NodeId> after(s.from.members());
    after.push_back(ids[i]);
    s.to = Ring::build(after, core::placement::kTokens);
    s.ranges = core::handoff::ranges::gained(s.from, s.to, ids[i], std::min<std::uint64_t>(n, after.size()));
    return s;
  }

  // The `n`-th key (from 0) of type `actor` whose token is inside (or outside) the ranges.
  static std::string key(const std::vector<core::placement::Range>& ranges, int n, bool inside = true,
                         const std::string& actor = "T") {
    for (int i = 0;; ++i) {
      auto k = "k" + std::to_string(i);
      const auto t = core::placement::token(actor, k);
      const bool in = std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return r.holds(t); });
      if (in == inside && n-- == 0) return k;
    }
  }

  // Node `i` keeps `key` at `version` of round 1 opened by node 0.
  void keep(std::size_t i, const std::string& key, std::uint64_t version, std::string value = "v",
            const std::string& actor = "T") {
    using namespace core::replication::sample;
    replica(i).install(actor, core::replication::messages::Copy{key, stamp(1, ids[0], version), std::nullopt,
                                                                 pages({{"s", value}}), 0, true});
  }
  std::optional<std::uint64_t> version(std::size_t i, const std::string& key, const std::string& actor = "T") {
    auto s = replica(i).accepted(actor, key);
    if (!s) return std::nullopt;
    return s->version;
  }

  // Takes every queued message of node `i` of kind T, with its target; the others stay queued.
  template <class T>
  std::vector<std::pair<std::size_t, T>> take(std::size_t i) {
    std::vector<std::pair<std::size_t, T>> out;
    std::erase_if(at(i).outgoing, [&](const auto& o) {
      const auto& pull = std::get<Pull>(o.message.variant);
      if (!std::holds_alternative<T>(pull.variant)) return false;
      out.emplace_back(index(o.to), std::get<T>(pull.variant));
      return true;
    });
    return out;
  }

  // Hands every queued message to its target through the wire, until none is queued, unless
  // `drop` answers true for it.
  void exchange(const std::function<bool(std::size_t from, std::size_t to, const Pull&)>& drop = {}) {
    for (bool any = true; any;) {
      any = false;
      for (std::size_t i = 0; i < peers.size(); ++i) {
        for (auto& o : std::exchange(at(i).outgoing, {})) {
          any = true;
          auto decoded = core::replication::wire::decode(core::replication::wire::encode(o.message));
          ASSERT_TRUE(decoded.has_value());
          auto pull = std::get<Pull>(std::move(decoded->variant));
          const auto to = index(o.to);
          ASSERT_LT(to, peers.size());
          if (drop && drop(i, to, pull)) continue;
          at(to).receive(std::move(pull), replica(to));
        }
      }
    }
  }

  Instant now = Instant{} + 1000s;
  std::vector<NodeId> ids;
  std::vector<std::unique_ptr<Peer>> peers;
};

}  // namespace vorel::node::handoff::testing
