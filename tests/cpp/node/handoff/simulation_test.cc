// Hand-offs in a whole cluster under a lossy, duplicating and reordering network: a node joins
// while traffic continues, a node leaves gracefully, and a node dies in the middle of a hand-off.
// The invariants are checked after every step of every seed. CI runs a few seeds per scenario;
// VOREL_SIM_SEEDS=<count> runs more (and VOREL_SIM_FIRST=<seed> starts elsewhere).
#include <cstdlib>

#include <gtest/gtest.h>

#include "node/handoff/cluster.hpp"

namespace vorel::node::handoff::simulation {
namespace {

std::uint64_t from_env(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  return std::strtoull(text, nullptr, 10);
}

Faults faults_of(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0, 1);
  Faults f;
  f.loss = unit(rng) * 0.1;
  f.duplicate = unit(rng) * 0.05;
  f.reorder = unit(rng) * 0.05;
  f.min_delay = std::chrono::milliseconds(1);
  f.max_delay = std::chrono::milliseconds(2 + rng() % 40);
  return f;
}

enum class Scenario { Join, Leave, Kill };

// Runs one seed of a scenario; gives the broken invariant, or nothing.
std::string run(Scenario scenario, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Cluster c(seed, faults_of(rng));
  const std::size_t first = scenario == Scenario::Leave ? 4 : 3;
  for (std::size_t i = 0; i < first; ++i) c.start();
  c.traffic(true);
  c.run_for(2s);
  switch (scenario) {
    case Scenario::Join:
      c.start();
      break;
    case Scenario::Leave:
      c.leave(1, 10s);
      break;
    case Scenario::Kill: {
      c.lossy_solo = true;
      c.start();
      // In the middle of the newcomer's pull: its first asks are out, few answers are in.
      c.run_for(std::chrono::milliseconds(1 + rng() % 40));
      c.kill(rng() % 3, 1s, 3s, 5s);
      break;
    }
  }
  c.run_for(6s);
  c.traffic(false);
  if (!c.run_until([&] { return c.settled(); }, 60s) && c.failure.empty()) {
    return "placement did not settle: " + c.describe();
  }
  if (!c.verify(30s) && c.failure.empty()) return "some key could not be activated again: " + c.describe();
  if (c.failure.empty()) c.check_quiet();
  return c.failure;
}

struct Case {
  const char* name;
  Scenario scenario;
};

class HandoffSimulation : public ::testing::TestWithParam<Case> {};

TEST_P(HandoffSimulation, InvariantsHoldOnEverySeed) {
  const auto count = from_env("VOREL_SIM_SEEDS", 25);
  const auto start = from_env("VOREL_SIM_FIRST", 1);
  std::uint64_t passed = 0;
  for (auto seed = start; seed < start + count; ++seed) {
    const auto failure = run(GetParam().scenario, seed);
    if (failure.empty()) {
      ++passed;
    } else {
      ADD_FAILURE() << GetParam().name << " seed " << seed << ": " << failure;
    }
  }
  RecordProperty("passed", std::to_string(passed));
  if (count > 25) std::printf("%s: %llu of %llu seeds passed\n", GetParam().name, (unsigned long long)passed, (unsigned long long)count);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HandoffSimulation,
                         ::testing::Values(Case{"join", Scenario::Join}, Case{"leave", Scenario::Leave},
                                           Case{"kill", Scenario::Kill}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel::node::handoff::simulation
