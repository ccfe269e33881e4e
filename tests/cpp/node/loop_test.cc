// The event loop on the transport's threads: a flood of envelopes and commands starves neither the
// other source, nor the membership timers, nor the services' deadlines.
#include "node/loop.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "net/endpoint.hpp"
#include "node/nodes.hpp"

namespace vorel::node {
namespace {

using testing::eventually;
using testing::Listed;
using testing::Recorder;

TEST(Loop, StaysFairUnderAFlood) {
  auto threads = *exec::Threads::start(2);
  net::endpoint::Config config;
  config.cluster = "loop";
  config.listen = "127.0.0.1:0";
  config.limits = net::Limits{262'144, 4'194'304, 262'144};
  auto started = net::Endpoint::start(exec::context(*threads).get_executor(), config);
  ASSERT_TRUE(started);
  auto endpoint = std::move(*started);
  const auto own = endpoint->sender().node();
  const net::endpoint::Sender inbound = endpoint->sender();

  auto host = std::make_shared<Recorder>();
  auto listed = std::make_unique<Listed>();
  // Not joined: every routed command parks, and leaves when its write timeout has passed.
  listed->is_joined = false;
  Listed& members = *listed;
  auto [asks, receiving] = Asks::make();
  auto bell = std::make_shared<Bell>();
  auto [publish, reading] = watch::channel<MemberList>({});
  Node node(std::make_shared<Reach>(Reach{own, std::make_shared<Door>(Door{std::move(asks), bell}), std::move(reading),
                                          endpoint->shared_pool(), std::make_shared<replication::service::Written>(),
                                          config.limits.message}));
  core::placement::Counts counts;
  counts.learn("T", 3);
  std::map<std::string, core::Kind, std::less<>> kinds;
  kinds.emplace("T", core::Kind{"T", core::Duration{0, 100'000'000}, std::nullopt, 3, false, core::WriteLevel::Majority});
  const core::Backoff backoff{2.0, core::Duration{0, 100'000'000}, core::Duration{10, 0}};
  auto held = std::make_unique<Held>(node, host, std::move(listed), core::placement::Placement{own}, counts,
                                     Handoff(own, 4096, backoff),
                                     replication::service::Replication(own, 4096, core::Duration{5, 0}, core::Duration{30, 0}),
                                     std::move(kinds), core::Duration{5, 0});
  auto ended = std::make_shared<net::Flag>();
  const core::Duration tick{0, 10'000'000};
  exec::spawn(*threads, run(Looping{Ending(ended), std::move(endpoint), std::move(held), std::move(receiving), bell,
                              std::move(publish), std::nullopt, Timers{tick, tick, tick, tick}}));

  // Each flood keeps its source from ever running dry, a bounded way ahead of the loop.
  std::atomic<bool> stop{false};
  std::uint64_t routed = 0;
  std::thread commands([&] {
    for (std::uint64_t sent = 0; !stop;) {
      if (sent - members.losses >= 500) {
        std::this_thread::yield();
        continue;
      }
      node.ask(Ask{Ask::Peer{PeerReport{PeerReport::Kind::Lost, own}}});
      if (++sent % 64 == 0) {
        EXPECT_TRUE(node.deliver("T", std::to_string(routed++), {}, std::nullopt));
      }
    }
  });
  std::thread envelopes([&] {
    for (std::uint64_t sent = 0; !stop;) {
      if (sent - members.receipts >= 500) {
        std::this_thread::yield();
        continue;
      }
      EXPECT_TRUE(inbound.send(net::pool::Target::node(own), "membership", core::Bytes{0xc0}));
      ++sent;
    }
  });

  const auto expired = [&] {
    return host->read([](const testing::Seen& s) { return s.dropped().size(); });
  };
  const bool fair = eventually([&] {
    return members.probes >= 30 && members.expiries >= 30 && members.grafts >= 30 && members.shuffles >= 30 &&
           members.rounds >= 30 && expired() >= 10 && members.receipts >= 5000 && members.losses >= 5000;
  });
  stop = true;
  commands.join();
  envelopes.join();
  EXPECT_TRUE(fair) << "probes " << members.probes << ", grafts " << members.grafts << ", shuffles "
                    << members.shuffles << ", rounds " << members.rounds << ", expired " << expired()
                    << ", envelopes " << members.receipts << ", commands " << members.losses;
  for (const auto& [key, reason] : host->read([](const testing::Seen& s) { return s.dropped(); })) {
    EXPECT_EQ(reason, "no owner took the message within the write timeout");
  }
  // Envelopes a node sends itself count as nobody's sign of life.
  EXPECT_EQ(members.heard_from, 0u);

  node.ask(Ask{Ask::Stop{}});
  EXPECT_TRUE(eventually([&] { return ended->is_set(); }));
  // Commands sent after the loop has ended are dropped at once, closing their reply channels.
  EXPECT_FALSE(exec::testing::wait(*threads, node.placed("T", "k")));
}

}  // namespace
}  // namespace vorel::node
