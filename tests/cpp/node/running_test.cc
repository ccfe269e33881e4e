// A node's start from its configuration, its handle's checks, and how it ends.
#include "node/running.hpp"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <fmt/format.h>

#include "core/routing/wire.hpp"
#include "net/endpoint.hpp"
#include "node/loop.hpp"
#include "node/nodes.hpp"

namespace vorel::node {
namespace {

using testing::eventually;
using testing::Recorder;
using exec::testing::wait;

core::Kind kind(std::string name, std::uint64_t replicas = 3) {
  return core::Kind{std::move(name), std::nullopt, std::nullopt, replicas, false, core::WriteLevel::Majority};
}

Cluster quick(std::string bind = "127.0.0.1:0") {
  auto c = Cluster::at(std::move(bind));
  c.name = "running";
  c.heartbeat = core::Duration{0, 50'000'000};
  c.anti_entropy = core::Duration{0, 200'000'000};
  c.graft_after = core::Duration{0, 50'000'000};
  c.leave_timeout = core::Duration{2, 0};
  c.limits.redial_first = std::chrono::milliseconds(20);
  c.limits.redial_limit = std::chrono::milliseconds(200);
  return c;
}

class Start : public ::testing::Test {
 protected:
  std::shared_ptr<exec::Threads> threads = *exec::Threads::start(2);
  std::shared_ptr<Recorder> host = std::make_shared<Recorder>();

  std::expected<Running, std::string> begin(Cluster cluster, bool member = true,
                                            std::vector<core::Kind> kinds = {kind("T")}) {
    return wait(*threads, Running::began(std::move(cluster), std::move(kinds), host, member));
  }
  void leave(Running& running) { wait(*threads, running.leave()); }
};

TEST_F(Start, AMemberWithoutSeedsJoinsAtOnceAndAdvertisesItsPort) {
  auto started = begin(quick());
  ASSERT_TRUE(started) << started.error();
  const auto& id = started->node().id();
  ASSERT_TRUE(id.address);
  EXPECT_TRUE(id.address->starts_with("127.0.0.1:"));
  EXPECT_NE(*id.address, "127.0.0.1:0");
  EXPECT_TRUE(started->accepting());
  const auto members = started->node().members();
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].node, id);
  EXPECT_EQ(members[0].types, std::set<std::string>{"T"});
  // The host got the member list of the first flush.
  EXPECT_TRUE(host->wait([](const testing::Seen& s) { return !s.lists.empty(); }));
  leave(*started);
  EXPECT_TRUE(started->ended());
  EXPECT_TRUE(started->accepting()->is_set());
}

TEST_F(Start, EachStartDrawsAFreshIncarnation) {
  auto one = begin(quick());
  auto two = begin(quick());
  ASSERT_TRUE(one && two);
  EXPECT_NE(one->node().id().incarnation, two->node().id().incarnation);
}

TEST_F(Start, AnAdvertisedAddressIsTakenAsGiven) {
  auto c = quick();
  c.advertise = "node.example:7000";
  auto started = begin(c);
  ASSERT_TRUE(started) << started.error();
  EXPECT_EQ(started->node().id().address, "node.example:7000");
}

TEST_F(Start, AClientBindsNothingAndJoinsWithItsFirstMemberList) {
  auto member = begin(quick());
  ASSERT_TRUE(member);
  auto c = quick("ignored:1");
  c.seeds = {*member->node().id().address};
  auto client = begin(c, false, {});
  ASSERT_TRUE(client) << client.error();
  EXPECT_FALSE(client->node().id().address);
  EXPECT_FALSE(client->accepting());
  const auto members = client->node().members();
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].node, member->node().id());
}

// A seed that names this node under another spelling is this node: the start does not dial
// itself, and a node whose only seed is itself is a cluster of one.
TEST_F(Start, ASeedSpelledOtherwiseIsThisNode) {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = probe.local_endpoint().port();
  probe.close();
  auto c = quick(fmt::format("127.0.0.1:{}", port));
  c.seeds = {fmt::format("localhost:{}", port)};
  auto started = begin(c);
  ASSERT_TRUE(started) << started.error();
  EXPECT_EQ(started->node().members().size(), 1u);
}

TEST_F(Start, APeerOfAnotherClusterRefusesTheStart) {
  auto member = begin(quick());
  ASSERT_TRUE(member);
  auto c = quick();
  c.name = "other";
  c.seeds = {*member->node().id().address};
  auto refused = begin(c);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), fmt::format("{} refused the connection: cluster \"other\" is not \"running\"",
                                         *member->node().id().address));
}

struct RefusedCase {
  std::string name;
  std::function<void(Cluster&)> set;
  std::string text;
};

class Refused : public Start, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, BeforeAnythingRuns) {
  auto c = quick();
  GetParam().set(c);
  auto refused = begin(c);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), GetParam().text);
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, Refused,
    ::testing::Values(
        RefusedCase{"NoActiveView", [](Cluster& c) { c.active = 0; },
                    "overlay.active is 0, and a view needs room for at least one node"},
        RefusedCase{"NoPassiveView", [](Cluster& c) { c.passive = 0; },
                    "overlay.passive is 0, and a view needs room for at least one node"},
        RefusedCase{"NoWindow", [](Cluster& c) { c.limits.window = 0; },
                    "limits.window of 0 is not between 1 and 4294967295"},
        RefusedCase{"UnframedMessage", [](Cluster& c) { c.limits.message = 1ull << 32; },
                    "limits.message of 4294967296 is not below 4294967040"},
        RefusedCase{"ZeroHeartbeat", [](Cluster& c) { c.heartbeat = {}; },
                    "heartbeat is 0:00:00, and a period of zero would never wait between two rounds"},
        RefusedCase{"ZeroShuffle", [](Cluster& c) { c.shuffle_every = {}; },
                    "overlay.shuffle_every is 0:00:00, and a period of zero would never wait between two rounds"},
        RefusedCase{"Unresolved", [](Cluster& c) { c.bind = "127.0.0.1:no-such-service"; },
                    "could not resolve to any address"},
        RefusedCase{"MissingCertificate",
                    [](Cluster& c) { c.tls = net::Tls{"/nonexistent/cert.pem", "/nonexistent/key.pem", {}, false}; },
                    "No such file or directory"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Start, TheRefusalOfAnAddressInUseIsTheBindError) {
  auto member = begin(quick());
  ASSERT_TRUE(member);
  auto refused = begin(quick(*member->node().id().address));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), std::error_code(EADDRINUSE, std::system_category()).message());
}

TEST_F(Start, AfterTheLoopHasEndedCommandsAreDroppedAndQueriesEnd) {
  auto started = begin(quick());
  ASSERT_TRUE(started);
  const Node node = started->node();
  leave(*started);
  node.ask(Ask{Ask::Leave{}});
  EXPECT_TRUE(node.start("T", "k", std::nullopt));
  EXPECT_FALSE(wait(*threads, node.placed("T", "k")));
  EXPECT_FALSE(wait(*threads, node.stored()));
  // A leave of a node whose loop is gone ends at once.
  leave(*started);
}

TEST_F(Start, AnAbortEndsTheLoopAndItsListener) {
  auto started = begin(quick());
  ASSERT_TRUE(started);
  wait(*threads, started->crash());
  EXPECT_TRUE(started->ended());
  EXPECT_TRUE(started->accepting()->is_set());
  EXPECT_TRUE(eventually([&] { return threads->tasks() == 0; }));
}

// The handle's size checks, against a limit small enough to reach.
class Sizes : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kLimit = 1000;
  const core::NodeId own{std::string("127.0.0.1:9"), core::Incarnation{}};
  testing::Kept wire{own, kLimit};
  Node node = testing::handle(own, wire.pool(), kLimit);

  // A Deliver whose routed form takes exactly `size` bytes.
  core::Command sized(std::uint64_t size) {
    core::Deliver d{"T", "k", {}, std::nullopt, {}};
    const auto empty = core::routing::wire::routed_size(d, own);
    d.message.resize(size - empty);
    while (core::routing::wire::routed_size(d, own) > size) d.message.pop_back();
    while (core::routing::wire::routed_size(d, own) < size) d.message.push_back(0);
    return d;
  }
};

TEST_F(Sizes, ARoutedCommandMayTakeTheWholeLimit) {
  EXPECT_TRUE(node.route(sized(kLimit)));
  const auto over = node.route(sized(kLimit + 1));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), "the message to T/k takes 1001 bytes between two nodes, over limits.message of 1000");
  const auto start = node.start("T", "k", core::Bytes(kLimit, 0));
  ASSERT_FALSE(start);
  EXPECT_TRUE(start.error().starts_with("the initial state of T/k takes "));
}

TEST_F(Sizes, AnAnswerTooLargeTravelsAsTooLarge) {
  // The handle's own channel has no loop: read what it queued through a fresh handle's door.
  auto [asks, receiving] = Asks::make();
  auto [publish, reading] = watch::channel<MemberList>({});
  Node open(std::make_shared<Reach>(Reach{own, std::make_shared<Door>(Door{std::move(asks), std::make_shared<Bell>()}),
                                          std::move(reading), wire.pool(),
                                          std::make_shared<replication::service::Written>(), kLimit}));
  const auto target = core::Target::reply(core::NodeId{std::string("127.0.0.1:8"), core::Incarnation{}}, 4);
  open.answer(target, core::Outcome{core::Outcome::Value{core::Bytes(kLimit, 1)}});
  open.answer(core::Target::entity("T", "k"), core::Outcome{core::Outcome::Value{core::Bytes(kLimit, 1)}});
  auto first = receiving.try_recv();
  ASSERT_TRUE(first);
  const auto& answer = std::get<Ask::Answer>(first->value);
  EXPECT_EQ(answer.target, target);
  const auto size = core::routing::wire::answer_size(4, core::Outcome{core::Outcome::Value{core::Bytes(kLimit, 1)}});
  EXPECT_EQ(answer.outcome, (core::Outcome{core::Outcome::TooLarge{
                                fmt::format("the answer takes {} bytes between two nodes, over limits.message of 1000",
                                            size)}}));
  // An entity target is passed on as it is.
  auto second = receiving.try_recv();
  ASSERT_TRUE(second);
  EXPECT_TRUE(std::holds_alternative<core::Outcome::Value>(std::get<Ask::Answer>(second->value).outcome.variant));
}

TEST(Await, AWatchKeepsTheLastValue) {
  auto [publish, reading] = watch::channel<std::vector<int>>({1});
  EXPECT_TRUE(publish.watched());
  EXPECT_EQ(reading.get(), std::vector<int>{1});
  publish.publish({2, 3});
  EXPECT_EQ(reading.get(), (std::vector<int>{2, 3}));
  { auto gone = std::move(reading); }
  EXPECT_FALSE(publish.watched());
}

}  // namespace
}  // namespace vorel::node
