#include "net/endpoint.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "net/live.hpp"
#include "net/support.hpp"

namespace vorel::net {
namespace {

using testing::B;
using testing::text;

endpoint::Config config(std::string cluster = "test") {
  endpoint::Config c;
  c.cluster = std::move(cluster);
  c.listen = "127.0.0.1:0";
  c.limits.frame = 16384;
  c.limits.message = 1 << 20;
  c.limits.window = 65536;
  c.limits.redial_first = std::chrono::milliseconds(20);
  c.min_bytes = 64;
  return c;
}

struct Node {
  Node(testing::Threads& threads, endpoint::Config c) : threads(threads) {
    c.peer = peers.callback();
    auto started = Endpoint::start(threads.executor(), std::move(c));
    if (!started) ADD_FAILURE() << started.error().text;
    endpoint = std::move(*started);
  }
  ~Node() {
    if (endpoint) threads.run<bool>([&]() -> asio::awaitable<bool> {
      co_await endpoint->close(true);
      co_return true;
    });
  }
  const core::NodeId& id() const { return endpoint->sender().node(); }
  std::string address() const { return *id().address; }
  void send(const pool::Target& target, std::string_view name, const B& payload) {
    auto sent = endpoint->sender().send(target, name, payload);
    EXPECT_TRUE(sent.has_value());
  }
  endpoint::Next next(std::chrono::nanoseconds bound = testing::kBound) {
    auto got = threads.run<endpoint::Next>([&] { return endpoint->recv(); }, bound);
    return got ? std::move(*got) : endpoint::Next{};
  }
  endpoint::Received received() {
    auto got = next();
    if (!got || !std::holds_alternative<endpoint::Received>(*got)) {
      ADD_FAILURE() << "no envelope arrived";
      return {};
    }
    return std::get<endpoint::Received>(std::move(*got));
  }

  testing::Threads& threads;
  testing::Peers peers;
  std::unique_ptr<Endpoint> endpoint;
};

TEST(Endpoint, OwnAddressIsTheBoundPortAndLocalSendsLoopBack) {
  testing::Threads threads;
  Node a(threads, config());
  EXPECT_TRUE(a.address().starts_with("127.0.0.1:"));
  EXPECT_NE(a.address(), "127.0.0.1:0");
  a.send(pool::Target::node(a.id()), "membership", text("self"));
  const auto got = a.received();
  EXPECT_EQ(got.name, "membership");
  EXPECT_EQ(got.payload, text("self"));
  EXPECT_FALSE(got.from.has_value());
  const B limit(1 << 20, 1);
  EXPECT_TRUE(a.endpoint->sender().send(pool::Target::node(a.id()), "actors", limit).has_value());
  auto over = a.endpoint->sender().send(pool::Target::node(a.id()), "actors", B((1 << 20) + 1, 1));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), "payload of 1048577 bytes exceeds the limit of 1048576");
}

TEST(Endpoint, TwoNodesExchangeEnvelopesInOrder) {
  testing::Threads threads;
  Node a(threads, config());
  Node b(threads, config());
  // The first envelopes go to a bare address, as to a seed; they queue behind one dial.
  for (int i = 0; i < 20; ++i) a.send(pool::Target::address(b.address()), "membership", B{static_cast<std::uint8_t>(i)});
  a.send(pool::Target::address(b.address()), "replication", text("big"));
  std::vector<B> membership;
  bool replication = false;
  for (int i = 0; i < 21; ++i) {
    auto got = b.received();
    EXPECT_EQ(got.from, a.id());
    if (got.name == "replication") {
      replication = got.payload == text("big");
    } else {
      membership.push_back(got.payload);
    }
  }
  EXPECT_TRUE(replication);
  ASSERT_EQ(membership.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(membership[i], B{static_cast<std::uint8_t>(i)});

  // The answer goes back over the same connection, to the node that sent.
  b.send(pool::Target::node(a.id()), "actors", text("answer"));
  const auto answer = a.received();
  EXPECT_EQ(answer.name, "actors");
  EXPECT_EQ(answer.payload, text("answer"));
  EXPECT_EQ(answer.from, b.id());
  EXPECT_EQ(a.endpoint->pool().traffic().connections, 1u);
  EXPECT_EQ(b.endpoint->pool().traffic().connections, 1u);
  EXPECT_GT(a.endpoint->pool().traffic().sent, 0u);
}

TEST(Endpoint, CrossedDialsResolveToOneConnection) {
  testing::Threads threads;
  Node a(threads, config());
  Node b(threads, config());
  for (int round = 0; round < 5; ++round) {
    a.send(pool::Target::node(b.id()), "membership", B{static_cast<std::uint8_t>(round)});
    b.send(pool::Target::node(a.id()), "membership", B{static_cast<std::uint8_t>(round)});
  }
  // Whatever survives, both sides end with one live link each and no dial left.
  auto settled = [](Node& n) {
    return n.endpoint->pool().held([](pool::State& s) { return s.dials.empty() && s.links.size() == 1; }) &&
           n.endpoint->pool().traffic().connections == 1;
  };
  EXPECT_TRUE(testing::eventually([&] { return settled(a) && settled(b); }));
  EXPECT_EQ(a.peers.count(), 0u);
  EXPECT_EQ(b.peers.count(), 0u);
  a.send(pool::Target::node(b.id()), "actors", text("after"));
  for (;;) {
    auto got = b.received();
    if (got.name == "actors" || got.name.empty()) {
      EXPECT_EQ(got.payload, text("after"));
      break;
    }
  }
}

struct Refused {
  const char* what;
  std::function<void(endpoint::Config&)> change;
  std::string reason;
};

class EndpointRefusal : public ::testing::TestWithParam<Refused> {};

TEST_P(EndpointRefusal, ReachesTheDialerWithItsText) {
  testing::Threads threads;
  Node a(threads, config());
  auto other = config();
  GetParam().change(other);
  Node b(threads, other);
  a.send(pool::Target::address(b.address()), "membership", text("hello?"));
  a.send(pool::Target::node(b.id()), "membership", text("hello?"));
  auto got = a.next();
  ASSERT_TRUE(got && std::holds_alternative<endpoint::Refusal>(*got));
  EXPECT_EQ(std::get<endpoint::Refusal>(*got).text, b.address() + " refused the connection: " + GetParam().reason);
  EXPECT_TRUE(testing::eventually([&] { return a.peers.has(pool::Peer::Kind::Unreachable, b.id()); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndpointRefusal,
    ::testing::Values(Refused{"cluster", [](endpoint::Config& c) { c.cluster = "other"; },
                              "cluster \"test\" is not \"other\""},
                      Refused{"limits", [](endpoint::Config& c) { c.limits.window = 131072; },
                              "limits (frame, message, window) [16384, 1048576, 65536] are not [16384, 1048576, 131072]"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Endpoint, OwnAddressDialedAsABareAddressIsRefused) {
  testing::Threads threads;
  Node a(threads, config());
  a.send(pool::Target::address(a.address()), "membership", text("me?"));
  auto got = a.next();
  ASSERT_TRUE(got && std::holds_alternative<endpoint::Refusal>(*got));
  EXPECT_EQ(std::get<endpoint::Refusal>(*got).text, a.address() + " refused the connection: connection to itself");
}

TEST(Endpoint, PeerGoingAwayIsLost) {
  testing::Threads threads;
  Node a(threads, config());
  auto b = std::make_unique<Node>(threads, config());
  const auto b_id = b->id();
  a.send(pool::Target::node(b_id), "membership", text("x"));
  EXPECT_EQ(b->received().payload, text("x"));
  b.reset();
  EXPECT_TRUE(testing::eventually([&] { return a.peers.has(pool::Peer::Kind::Lost, b_id); }));
  EXPECT_EQ(a.endpoint->pool().traffic().connections, 0u);
}

TEST(Endpoint, AddressThatNeverAnswersIsUnreachableWithBackoff) {
  testing::Threads threads;
  Node a(threads, config());
  // A port that was bound and freed: nothing listens there.
  std::string dead;
  {
    asio::ip::tcp::acceptor probe(threads.io(), asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    dead = "127.0.0.1:" + std::to_string(probe.local_endpoint().port());
  }
  core::NodeId ghost{dead, {}};
  ghost.incarnation.fill(9);
  a.send(pool::Target::node(ghost), "membership", text("x"));
  EXPECT_TRUE(testing::eventually([&] { return a.peers.has(pool::Peer::Kind::Unreachable, ghost); }));
  const auto first = a.endpoint->pool().held([&](pool::State& s) { return s.backoff.at(dead).delay; });
  EXPECT_EQ(first, std::chrono::milliseconds(20));
  a.send(pool::Target::node(ghost), "membership", text("y"));
  EXPECT_TRUE(testing::eventually([&] { return a.peers.count() >= 2; }));
  const auto second = a.endpoint->pool().held([&](pool::State& s) { return s.backoff.at(dead).delay; });
  EXPECT_EQ(second, std::chrono::milliseconds(40));
  EXPECT_TRUE(testing::eventually([&] { return a.endpoint->pool().idle(); }));
}

// A dial task that ends by an exception (here its address map fails) leaves its address
// unreached: what waited for the dial is reported, and nothing is left queued behind it.
TEST(Endpoint, ADialThatFailsByAnExceptionIsUnreachable) {
  testing::Threads threads;
  auto failing = config();
  failing.address_map = std::make_shared<pool::AddressMap>([](std::string) -> asio::awaitable<std::string> {
    throw std::runtime_error("no map");
    co_return std::string();
  });
  Node a(threads, failing);
  Node b(threads, config());
  a.send(pool::Target::node(b.id()), "membership", text("x"));
  EXPECT_TRUE(testing::eventually([&] { return a.peers.has(pool::Peer::Kind::Unreachable, b.id()); }));
  EXPECT_TRUE(a.endpoint->pool().held([](pool::State& s) { return s.dials.empty(); }));
  EXPECT_TRUE(a.endpoint->pool().idle());
}

TEST(Endpoint, GracefulCloseDeliversWhatWasQueued) {
  testing::Threads threads;
  Node a(threads, config());
  Node b(threads, config());
  a.send(pool::Target::node(b.id()), "membership", text("first"));
  EXPECT_EQ(b.received().payload, text("first"));
  // Together within the window: a drain sends what the window allows, then Close.
  for (int i = 0; i < 10; ++i) a.send(pool::Target::node(b.id()), "actors", B(4000, static_cast<std::uint8_t>(i)));
  std::vector<B> got;
  std::thread reader([&] {
    while (got.size() < 10) {
      auto next = b.next(std::chrono::seconds(10));
      if (!next || !std::holds_alternative<endpoint::Received>(*next)) break;
      got.push_back(std::get<endpoint::Received>(*next).payload);
    }
  });
  const auto began = std::chrono::steady_clock::now();
  threads.run<bool>([&]() -> asio::awaitable<bool> {
    co_await a.endpoint->close(false);
    co_return true;
  });
  reader.join();
  ASSERT_EQ(got.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(got[i], B(4000, static_cast<std::uint8_t>(i)));
  // The drain ends when the peer closes its side, well before the bound.
  EXPECT_TRUE(testing::eventually([&] { return b.peers.has(pool::Peer::Kind::Lost, a.id()); }));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_TRUE(a.endpoint->pool().idle());
}

TEST(Jitter, FactorStaysWithinAQuarterEitherWay) {
  std::mt19937_64 rng(7);
  std::uint64_t low = 2000, high = 0;
  for (int i = 0; i < 100000; ++i) {
    const auto j = pool::jitter(rng());
    low = std::min(low, j);
    high = std::max(high, j);
  }
  EXPECT_EQ(low, 750u);
  EXPECT_EQ(high, 1250u);
}

}  // namespace
}  // namespace vorel::net
