// Whole clusters of 5 and 50 nodes on the simulated network. CI runs one seed per scenario;
// VOREL_SIM_SEEDS=n runs seeds 1 to n by hand.
#include "core/membership/simulation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace vorel::core::membership::simulation {
namespace {

using table::Status;

constexpr double kNever = std::numeric_limits<double>::infinity();

std::vector<std::uint64_t> seeds() {
  int n = 1;
  if (const char* text = std::getenv("VOREL_SIM_SEEDS")) n = std::max(1, std::atoi(text));
  std::vector<std::uint64_t> out;
  for (int i = 1; i <= n; ++i) out.push_back(static_cast<std::uint64_t>(i));
  return out;
}

// N members: the first is everyone's seed and starts alone, the others join over the next seconds.
struct Cluster {
  Cluster(int n, std::uint64_t seed, Options options = lossy()) : net(seed, options), n(n) {
    for (int i = 0; i < n; ++i) net.add_member(i == 0 ? 0.0 : 0.2 + 2.0 * i / n);
  }

  // A converged cluster on the lossy network; built once per size and seed, each test goes on
  // from its own copy.
  static Cluster joined(int n, std::uint64_t seed) {
    static std::map<std::pair<int, std::uint64_t>, Cluster> built;
    auto it = built.find({n, seed});
    if (it == built.end()) {
      Cluster c(n, seed);
      c.converge(60.0);
      it = built.emplace(std::pair{n, seed}, std::move(c)).first;
    }
    return it->second;
  }

  static Options lossy() {
    Options o;
    o.loss = 0.01;
    return o;
  }

  // Every running member lists exactly the running members, all alive.
  bool converged() const {
    for (int i = 0; i < n; ++i) {
      if (!net.running(i)) continue;
      std::size_t listed = 0;
      for (int j = 0; j < n; ++j) {
        const auto s = net.status(i, j);
        if (net.running(j) && s != Status::Alive) return false;
        listed += s.has_value();
      }
      if (listed != listed_by(i)) return false;
      for (int j = 0; j < n; ++j) {
        if (!net.running(j) && net.status(i, j)) return false;
      }
    }
    return true;
  }

  std::size_t listed_by(int i) const {
    std::size_t count = 0;
    for (const auto& [node, r] : net.membership(i).table().records()) count += r.status != Status::Left;
    return count;
  }

  double converge(double within) {
    auto at = net.run_until([&] { return converged(); }, net.now() + within);
    EXPECT_TRUE(at.has_value()) << "no convergence by " << net.now();
    return at.value_or(kNever);
  }

  void print(std::string_view scenario, std::uint64_t seed) const {
    fmt::print("[sim] {} n={} seed={}: {}\n", scenario, n, seed, net.counts());
  }

  Network net;
  int n;
};

class Simulation : public ::testing::TestWithParam<int> {};

TEST_P(Simulation, JoinThroughOneSeedAndConverge) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c(n, seed);
    const int client = c.net.add_client(1.0);
    const double at = c.converge(60.0);
    for (int i = 0; i < n; ++i) EXPECT_TRUE(c.net.members(i).joined()) << i;
    EXPECT_EQ(c.net.false_suspicions(), 0u);
    // The client learns the whole list from the seed at its next question, and no member lists it.
    c.net.run_until(c.net.now() + Options{}.periods.anti_entropy + 0.5);
    EXPECT_TRUE(c.net.members(client).joined());
    EXPECT_EQ(c.net.members(client).members().size(), static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j) EXPECT_EQ(c.net.status(client, j), Status::Alive);
    for (int i = 0; i < n; ++i) EXPECT_FALSE(c.net.status(i, client).has_value());
    fmt::print("[sim] converged at {:.1f} s\n", at);
    c.print("join", seed);
  }
}

TEST_P(Simulation, SameSeedSameRun) {
  const int n = GetParam();
  auto run = [&](std::uint64_t seed) {
    Cluster c(n, seed);
    c.net.run_until(5.0);
    c.net.stop(n - 1);
    c.net.run_until(15.0);
    return std::pair{c.net.digest(), c.net.counts()};
  };
  const auto first = run(seeds().front());
  EXPECT_EQ(run(seeds().front()), first);
  if (n <= 5) {
    EXPECT_NE(run(seeds().front() + 100).second, first.second);
  }
}

TEST_P(Simulation, ASilentNodeIsSuspectedThenDead) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c = Cluster::joined(n, seed);
    const Periods& p = Options{}.periods;
    const int silent = n / 2;
    std::vector<double> suspected(n, kNever), dead(n, kNever);
    c.net.watch([&](int i, double now) {
      const auto s = c.net.status(i, silent);
      if (s && *s >= Status::Suspect) suspected[i] = std::min(suspected[i], now);
      if (s == Status::Dead) dead[i] = std::min(dead[i], now);
    });
    const double stopped = c.net.now();
    c.net.stop(silent);
    c.net.run_until(stopped + p.suspect_after + p.dead_after + 5.0);

    double first_suspicion = kNever, first_death = kNever;
    for (int i = 0; i < n; ++i) {
      if (i == silent) continue;
      first_suspicion = std::min(first_suspicion, suspected[i]);
      first_death = std::min(first_death, dead[i]);
      // Each member hears of it within a heartbeat of the first probe that finds the silence, and
      // its own table turns it dead within a heartbeat of dead_after.
      EXPECT_LE(suspected[i], stopped + p.suspect_after + 2 * p.heartbeat + 1.0) << i;
      EXPECT_LE(dead[i], suspected[i] + p.dead_after + p.heartbeat + 0.1) << i;
    }
    // Its last ping went out at most a heartbeat before it stopped.
    EXPECT_GE(first_suspicion, stopped + p.suspect_after - p.heartbeat - 0.1);
    EXPECT_GE(first_death, first_suspicion + p.dead_after);
    EXPECT_EQ(c.net.false_suspicions(), 0u);
    fmt::print("[sim] stopped at {:.1f}: first suspected {:.1f} s later, first dead {:.1f} s later\n", stopped,
               first_suspicion - stopped, first_death - stopped);
    c.print("silent node", seed);
  }
}

TEST_P(Simulation, AFalselySuspectedNodeRefutes) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c = Cluster::joined(n, seed);
    const int accused = n - 1;
    bool dead = false;
    c.net.watch([&](int i, double) { dead = dead || c.net.status(i, accused) == Status::Dead; });
    const double accused_at = c.net.now();
    c.net.unreached(0, accused);
    EXPECT_EQ(c.net.status(0, accused), Status::Suspect);
    // The rumour reaches the accused, which outbids it everywhere.
    auto refuted = c.net.run_until(
        [&] {
          for (int i = 0; i < n; ++i) {
            const auto* r = c.net.membership(i).table().find(c.net.id(accused));
            if (r == nullptr || r->status != Status::Alive || r->incarnation < 1) return false;
          }
          return true;
        },
        c.net.now() + 5.0);
    ASSERT_TRUE(refuted.has_value());
    EXPECT_FALSE(dead);
    fmt::print("[sim] refuted everywhere within {:.1f} s\n", *refuted - accused_at);
    c.print("refutation", seed);
  }
}

TEST_P(Simulation, ALeavingNodeIsSeenAsLeftByAll) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c = Cluster::joined(n, seed);
    const int leaver = 1;
    c.net.leave(leaver);
    c.net.run_until(c.net.now() + 0.5);
    c.net.depart(leaver);
    c.net.run_until(c.net.now() + 0.5);
    c.net.stop(leaver);
    c.converge(5.0);
    for (int i = 0; i < n; ++i) {
      if (i == leaver) continue;
      EXPECT_EQ(c.net.membership(i).table().find(c.net.id(leaver))->status, Status::Left) << i;
      EXPECT_FALSE(c.net.members(i).removed());
    }
    c.print("leave", seed);
  }
}

// A member cut off for longer than a left record is kept must not bring the departed member back
// to those that saw it leave.
TEST_P(Simulation, ADepartedMemberStaysGoneAfterALongPartition) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c = Cluster::joined(n, seed);
    const int cut = n - 1, leaver = 1;
    std::vector<int> groups(n, 0);
    groups[cut] = 1;
    c.net.partition(groups);
    c.net.run_until(c.net.now() + 1.0);
    c.net.leave(leaver);
    c.net.depart(leaver);
    c.net.run_until(c.net.now() + 1.0);
    c.net.stop(leaver);
    c.net.run_until(c.net.now() + table::kForgetAfter + 10.0);
    for (int i = 0; i < n; ++i) {
      if (i != cut && i != leaver) {
        EXPECT_EQ(c.net.membership(i).table().find(c.net.id(leaver)), nullptr) << i;
      }
    }
    ASSERT_TRUE(c.net.status(cut, leaver).has_value());  // the cut-off one still lists it

    bool back = false;
    c.net.watch([&](int i, double) { back = back || (i != cut && c.net.status(i, leaver).has_value()); });
    c.net.partition({});
    // Everyone else comes back; the departed member stays gone for all who saw it go.
    auto healed = c.net.run_until(
        [&] {
          for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
              if (i != leaver && j != leaver && c.net.status(i, j) != Status::Alive) return false;
            }
          }
          return true;
        },
        c.net.now() + 60.0);
    EXPECT_TRUE(healed.has_value());
    c.net.run_until(c.net.now() + 20.0);
    EXPECT_FALSE(back);
    EXPECT_NE(c.net.status(cut, leaver), Status::Alive);
    c.print("departed, long partition", seed);
  }
}

TEST_P(Simulation, APartitionHeals) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c = Cluster::joined(n, seed);
    std::vector<int> halves(n);
    for (int i = 0; i < n; ++i) halves[i] = i < (n + 1) / 2 ? 0 : 1;
    c.net.partition(halves);
    const Periods& p = Options{}.periods;
    c.net.run_until(c.net.now() + p.suspect_after + p.dead_after + 5.0);
    // Each side has given up on the other, and keeps its own side alive.
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const auto s = c.net.status(i, j);
        if (halves[i] == halves[j]) {
          EXPECT_EQ(s, Status::Alive) << i << " on " << j;
        } else {
          EXPECT_TRUE(s == Status::Suspect || s == Status::Dead) << i << " on " << j;
        }
      }
    }
    c.net.partition({});
    const double healed = c.net.now();
    const double at = c.converge(60.0);
    fmt::print("[sim] healed {:.1f} s after the partition ended\n", at - healed);
    c.print("partition", seed);
  }
}

TEST_P(Simulation, ABroadcastFollowsTheTreeAndGraftsRepairIt) {
  const int n = GetParam();
  for (auto seed : seeds()) {
    Cluster c(n, seed, Options{});
    c.converge(60.0);
    const int origin = 0;
    auto holding = [&](const std::string& type) {
      int have = 0;
      for (int i = 0; i < n; ++i) {
        for (const auto& m : c.net.members(i).members()) have += m.node == c.net.id(origin) && m.types.contains(type);
      }
      return have;
    };
    // The first broadcasts prune the overlay into a tree.
    for (int warm = 0; warm < 3; ++warm) {
      c.net.know(origin, {fmt::format("warm{}", warm)});
      c.net.run_until(c.net.now() + 2.0);
    }
    // Counted by its own id: an anti-entropy exchange that happens to carry the record first makes
    // its learner broadcast it anew, which is a broadcast of its own.
    std::uint64_t per_broadcast = 0;
    c.net.drop_when([&](int from, int, const wire::Message& m, double) {
      const auto* b = std::get_if<Broadcast>(&m.body.value);
      const auto* g = b != nullptr ? std::get_if<Broadcast::Gossip>(&b->value) : nullptr;
      per_broadcast += g != nullptr && g->id.origin == c.net.id(origin) && g->record.types.contains("measured");
      return false;
    });
    c.net.know(origin, {"measured"});
    c.net.run_until(c.net.now() + 2.0);
    EXPECT_EQ(holding("measured"), n);
    fmt::print("[sim] one broadcast to {} nodes took {} gossip messages\n", n, per_broadcast);
    EXPECT_LE(per_broadcast, static_cast<std::uint64_t>((n - 1) * 6 / 5));

    // Lose every push of the next broadcast to one node with a lazy link: it grafts the gossip.
    int victim = -1;
    for (int i = 1; i < n && victim < 0; ++i) {
      const auto& peers = c.net.membership(i).broadcaster().peers();
      if (std::any_of(peers.begin(), peers.end(), [](const auto& p) { return !p.eager; })) victim = i;
    }
    ASSERT_GE(victim, 0);
    const double start = c.net.now();
    const double graft_after = Options{}.periods.graft_after;
    // The broadcast's own id: the record itself may also reach the node as the sender of the
    // origin's other messages, so what shows the repair is the gossip arriving.
    std::optional<EventId> event;
    c.net.drop_when([&](int, int to, const wire::Message& m, double now) {
      const auto* b = std::get_if<Broadcast>(&m.body.value);
      const auto* g = b != nullptr ? std::get_if<Broadcast::Gossip>(&b->value) : nullptr;
      if (g == nullptr) return false;
      if (g->id.origin == c.net.id(origin) && g->record.types.contains("grafted")) event = g->id;
      return to == victim && now < start + graft_after / 2;
    });
    double reached = kNever;
    c.net.watch([&](int i, double now) {
      if (i == victim && reached == kNever && event && c.net.membership(i).broadcaster().seen(*event)) reached = now;
    });
    const auto grafts = c.net.sent("Graft");
    c.net.know(origin, {"grafted"});
    c.net.run_until(start + 3.0);
    EXPECT_EQ(holding("grafted"), n);
    EXPECT_GT(c.net.sent("Graft"), grafts);
    // Announced within the first hops, grafted at the first tick past graft_after, answered at once.
    EXPECT_GE(reached, start + graft_after);
    EXPECT_LE(reached, start + 2 * graft_after + 0.2);
    fmt::print("[sim] the lost gossip reached its node {:.2f} s after the broadcast\n", reached - start);
    c.print("broadcast", seed);
  }
}

INSTANTIATE_TEST_SUITE_P(Membership, Simulation, ::testing::Values(5, 50),
                         [](const auto& info) { return fmt::format("Nodes{}", info.param); });

}  // namespace
}  // namespace vorel::core::membership::simulation
