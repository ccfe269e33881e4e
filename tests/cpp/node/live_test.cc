// Node runtimes on the loopback address over real TCP, or TLS with a CA made for the test, each
// with a host that records what it is given and answers the asks it is handed.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "exec/waiting.hpp"
#include "net/pki.hpp"
#include "node/nodes.hpp"
#include "node/running.hpp"

namespace vorel::node {
namespace {

using core::Duration;
using core::NodeId;
using core::membership::Status;
using exec::testing::wait;
using testing::eventually;
using testing::Recorder;

constexpr std::string_view kType = "T";

core::Bytes bytes(std::string_view s) { return core::Bytes(s.begin(), s.end()); }

struct Member {
  std::shared_ptr<exec::Threads> threads = *exec::Threads::start(2);
  std::shared_ptr<Recorder> host = std::make_shared<Recorder>();
  std::optional<Running> running;

  const Node& node() const { return running->node(); }
  const NodeId& id() const { return node().id(); }
  std::string address() const { return *id().address; }
};

class Live : public ::testing::TestWithParam<bool> {
 protected:
  std::optional<net::testing::Pki> pki;
  std::vector<std::unique_ptr<Member>> members;
  std::vector<std::string> keys;

  void SetUp() override {
    if (GetParam()) pki.emplace();
    for (int i = 0; i < 40; ++i) keys.push_back(fmt::format("k{}", i));
  }

  void TearDown() override {
    for (auto& m : members) {
      if (m->running && !m->running->ended()) wait(*m->threads, m->running->crash());
    }
  }

  Cluster config(std::vector<std::string> seeds) const {
    auto c = Cluster::at("127.0.0.1:0");
    c.name = "live";
    c.seeds = std::move(seeds);
    c.heartbeat = Duration{0, 50'000'000};
    c.suspect_after = Duration{0, 500'000'000};
    c.dead_after = Duration{1, 0};
    c.anti_entropy = Duration{0, 200'000'000};
    c.graft_after = Duration{0, 50'000'000};
    c.shuffle_every = Duration{1, 0};
    c.leave_timeout = Duration{5, 0};
    c.backoff = core::Backoff{2.0, Duration{0, 20'000'000}, Duration{0, 500'000'000}};
    c.limits.redial_first = std::chrono::milliseconds(20);
    c.limits.redial_limit = std::chrono::milliseconds(200);
    if (pki) c.tls = pki->settings();
    return c;
  }

  Member& start(std::vector<std::string> seeds) {
    auto m = std::make_unique<Member>();
    // The embedding side answers every ask it is handed with its own address.
    m->host->on_hand = [](const Node& node, const core::Command& command) {
      const auto* deliver = std::get_if<core::Deliver>(&command);
      if (deliver && deliver->reply) node.answer(*deliver->reply, core::Outcome{core::Outcome::Value{bytes(*node.id().address)}});
    };
    const std::vector<core::Kind> kinds{
        core::Kind{std::string(kType), std::nullopt, std::nullopt, 3, false, core::WriteLevel::Majority}};
    auto started = wait(*m->threads, Running::began(config(std::move(seeds)), kinds, m->host, true));
    EXPECT_TRUE(started) << started.error();
    if (started) m->running.emplace(std::move(*started));
    members.push_back(std::move(m));
    return *members.back();
  }

  // Every one of `at` lists exactly `expected` as alive members.
  bool listing(std::vector<Member*> at, std::vector<Member*> expected) {
    return eventually([&] {
      for (auto* m : at) {
        auto list = m->node().members();
        if (list.size() != expected.size()) return false;
        for (auto* e : expected) {
          if (std::none_of(list.begin(), list.end(),
                           [&](const auto& r) { return r.node == e->id() && r.status == Status::Alive; })) {
            return false;
          }
        }
      }
      return true;
    });
  }

  Placed placed(Member& at, const std::string& key) {
    auto got = wait(*at.threads, at.node().placed(std::string(kType), key));
    EXPECT_TRUE(got);
    return got.value_or(Placed{});
  }

  // Every one of `at` places every key alike, on a member of `at`.
  bool agree(std::vector<Member*> at) {
    return eventually([&] {
      for (const auto& key : keys) {
        const auto first = placed(*at[0], key);
        if (!first.owner || std::none_of(at.begin(), at.end(), [&](Member* m) { return m->id() == *first.owner; })) {
          return false;
        }
        for (auto* m : at) {
          if (!(placed(*m, key) == first)) return false;
        }
      }
      return true;
    });
  }

  Member& owner_of(const std::string& key, Member& asked) {
    const auto owner = placed(asked, key).owner;
    for (auto& m : members) {
      if (owner && m->id() == *owner) return *m;
    }
    ADD_FAILURE() << "no owner for " << key;
    return asked;
  }

  // The key's state as its owner activates it; released again at once.
  std::optional<core::Pages> read(Member& owner, const std::string& key) {
    auto got = wait(*owner.threads, owner.node().activate(std::string(kType), key, core::Pages{}));
    if (!got || !*got) {
      ADD_FAILURE() << key << ": " << (got ? got->error().text : "the node is gone");
      return std::nullopt;
    }
    if (!**got) return std::nullopt;
    owner.node().release(std::string(kType), key, (**got)->generation);
    return (**got)->pages;
  }

  void write(Member& owner, const std::string& key, std::string value) {
    auto got = wait(*owner.threads, owner.node().activate(std::string(kType), key, core::Pages{}));
    ASSERT_TRUE(got && *got && **got) << key;
    const auto generation = (**got)->generation;
    auto written = wait(*owner.threads, owner.node().commit(std::string(kType), key, generation,
                                                              core::Pages{{"s", bytes(value)}}, true));
    ASSERT_TRUE(written && *written) << key << ": " << (written && !*written ? written->error().text : "");
    owner.node().release(std::string(kType), key, generation);
  }

  std::size_t keeping(const std::string& key, std::vector<Member*> at) {
    std::size_t n = 0;
    for (auto* m : at) {
      auto kept = wait(*m->threads, m->node().stored());
      if (!kept) continue;
      n += std::any_of(kept->begin(), kept->end(), [&](const auto& k) { return k.key == key && !k.tombstone; });
    }
    return n;
  }
};

TEST_P(Live, ThreeNodesRouteReplicateGrowLeaveAndLoseOne) {
  auto& a = start({});
  auto& b = start({a.address()});
  auto& c = start({a.address()});
  ASSERT_TRUE(a.running && b.running && c.running);
  ASSERT_TRUE(listing({&a, &b, &c}, {&a, &b, &c}));
  ASSERT_TRUE(agree({&a, &b, &c}));

  // An ask made on a for a key that b owns reaches b's host, and b's answer settles on a.
  const auto on_b = *std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return placed(a, k).owner == b.id(); });
  ASSERT_TRUE(a.node().deliver(std::string(kType), on_b, bytes("hi"), core::Target::reply(a.id(), 1)));
  EXPECT_TRUE(b.host->wait([&](const testing::Seen& s) { return s.handed.size() == 1; }));
  EXPECT_TRUE(a.host->wait([&](const testing::Seen& s) {
    return s.settled == std::vector<std::pair<std::int64_t, core::Outcome>>{
                            {1, core::Outcome{core::Outcome::Value{bytes(b.address())}}}};
  }));

  // A start for one of a's own keys comes back through a's own inbound channel to a's host.
  const auto on_a = *std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return placed(a, k).owner == a.id(); });
  ASSERT_TRUE(a.node().start(std::string(kType), on_a, bytes("initial")));
  EXPECT_TRUE(a.host->wait([&](const testing::Seen& s) {
    return s.handed == std::vector<core::Command>{core::Start{std::string(kType), on_a, bytes("initial")}};
  }));

  // Activations and writes go through a majority of the key's replicas.
  for (const auto& key : keys) write(owner_of(key, a), key, "v-" + key);
  for (const auto& key : keys) EXPECT_GE(keeping(key, {&a, &b, &c}), 2u) << key;
  EXPECT_GE(a.node().written()->confirmed + b.node().written()->confirmed + c.node().written()->confirmed,
            keys.size());

  // A fourth node joins; the keys it now replicates reach it before its placement takes effect.
  auto& d = start({a.address()});
  ASSERT_TRUE(d.running);
  ASSERT_TRUE(listing({&a, &b, &c, &d}, {&a, &b, &c, &d}));
  ASSERT_TRUE(agree({&a, &b, &c, &d}));
  for (const auto& key : keys) {
    const auto replicas = placed(d, key).replicas;
    if (std::find(replicas.begin(), replicas.end(), d.id()) != replicas.end()) {
      EXPECT_EQ(keeping(key, {&d}), 1u) << key;
    }
    EXPECT_EQ(read(owner_of(key, d), key), (core::Pages{{"s", bytes("v-" + key)}})) << key;
  }

  // b leaves gracefully: a, c and d see it gone and hold its keys, without a confirmed write lost.
  EXPECT_EQ(wait(*b.threads, b.running->leave()), std::vector<Key>{});
  EXPECT_TRUE(b.running->ended());
  ASSERT_TRUE(listing({&a, &c, &d}, {&a, &c, &d}));
  ASSERT_TRUE(agree({&a, &c, &d}));
  for (const auto& key : keys) {
    EXPECT_GE(keeping(key, {&a, &c, &d}), 2u) << key;
    EXPECT_EQ(read(owner_of(key, a), key), (core::Pages{{"s", bytes("v-" + key)}})) << key;
  }

  // c is aborted without leaving: a and d suspect it, declare it dead and take its keys over.
  wait(*c.threads, c.running->crash());
  EXPECT_TRUE(eventually([&] {
    for (auto* m : {&a, &d}) {
      auto list = m->node().members();
      if (std::none_of(list.begin(), list.end(),
                       [&](const auto& r) { return r.node == c.id() && r.status == Status::Dead; })) {
        return false;
      }
    }
    return true;
  }));
  ASSERT_TRUE(agree({&a, &d}));
  for (const auto& key : keys) {
    EXPECT_EQ(read(owner_of(key, a), key), (core::Pages{{"s", bytes("v-" + key)}})) << key;
  }
  // a saw c suspected first, then dead.
  std::vector<Status> statuses;
  for (const auto& e : a.host->read([](const testing::Seen& s) { return s.events; })) {
    const auto* changed = std::get_if<events::MemberChanged>(&e.variant);
    if (changed && changed->node == c.id()) statuses.push_back(changed->status);
  }
  const auto suspect = std::find(statuses.begin(), statuses.end(), Status::Suspect);
  EXPECT_NE(suspect, statuses.end());
  EXPECT_NE(std::find(suspect, statuses.end(), Status::Dead), statuses.end());

  EXPECT_EQ(wait(*a.threads, a.running->leave()), std::vector<Key>{});
  EXPECT_EQ(wait(*d.threads, d.running->leave()), std::vector<Key>{});
}

INSTANTIATE_TEST_SUITE_P(Transports, Live, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Tcp"; });

}  // namespace
}  // namespace vorel::node
