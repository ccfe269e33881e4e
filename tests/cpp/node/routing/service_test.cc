#include "node/routing/service.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "testing/ids.hpp"

namespace vorel::node::routing {
namespace {

using core::Command;
using core::Deliver;
using core::Duration;
using core::NodeId;
using core::Outcome;
using core::Start;
using core::Target;
using core::routing::wire::Cancel;
using core::routing::wire::Message;
using core::routing::wire::WrongOwner;
using core::testing::id;

constexpr std::uint32_t kMaxAttempt = std::numeric_limits<std::uint32_t>::max();

const NodeId kOwn = id(1), kOther = id(2), kOrigin = id(3);

Duration ms(std::uint64_t n) { return Duration{n / 1000, static_cast<std::uint32_t>(n % 1000 * 1'000'000)}; }

Command ask() { return Deliver{"T", "k", {0x01}, Target::reply(kOrigin, 7), {}}; }
Routed routed(std::uint32_t attempt = 1) { return Routed{ask(), kOrigin, attempt}; }

Step send(Message m, NodeId to) { return Step{Step::Send{std::move(m), std::move(to)}}; }
Step park(Routed r, Duration delay) { return Step{Step::Park{std::move(r), delay}}; }
Step answer(Command c, std::string reason) {
  return Step{Step::Answer{std::move(c), std::move(reason), Outcome::unreached("T", "k")}};
}

struct RouteCase {
  std::string name;
  Place place;
  bool stopping;
  Step expected;
};

class RoutingRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RoutingRoute, DecidesByPlace) {
  const auto& c = GetParam();
  Routing routing{kOwn, c.stopping};
  EXPECT_EQ(routing.route(routed(), c.place), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Places, RoutingRoute,
    ::testing::Values(
        // A key of this node still goes out to this node's own id, never straight to the host.
        RouteCase{"Here", Place::here(), false, send(Message{routed()}, kOwn)},
        RouteCase{"HereStopping", Place::here(), true, answer(ask(), "the node is shutting down")},
        RouteCase{"Wait", Place::wait(), false, park(routed(), Duration{})},
        RouteCase{"WaitStopping", Place::wait(), true, park(routed(), Duration{})},
        RouteCase{"There", Place::there(kOther), false, send(Message{routed()}, kOther)},
        RouteCase{"ThereStopping", Place::there(kOther), true, send(Message{routed()}, kOther)},
        RouteCase{"Nobody", Place::nobody(), false, answer(ask(), "no member hosts T")},
        RouteCase{"NobodyStopping", Place::nobody(), true, answer(ask(), "no member hosts T")}),
    [](const auto& info) { return info.param.name; });

TEST(Routing, HandRefusesOnceStopping) {
  const Command start = Start{"T", "k", std::nullopt};
  EXPECT_EQ(Routing{kOwn}.hand(start), Step{Step::Hand{start}});
  Routing stopping{kOwn, true};
  EXPECT_EQ(stopping.hand(start), answer(start, "the node is shutting down"));
}

TEST(Routing, ReceivedRoutedByPlace) {
  const Routing routing{kOwn};
  const Duration timeout{5, 0};
  // Whatever its attempt, a command for a key this node does not act for goes back to its origin.
  for (std::uint32_t attempt : {0u, 1u, 9u, kMaxAttempt}) {
    for (const auto& place : {Place::there(kOther), Place::nobody()}) {
      EXPECT_EQ(routing.receive(Message{routed(attempt)}, place, timeout),
                send(Message{WrongOwner{routed(attempt)}}, kOrigin));
    }
  }
  EXPECT_EQ(routing.receive(Message{routed()}, Place::here(), timeout), Step{Step::Hand{ask()}});
  EXPECT_EQ(routing.receive(Message{routed(4)}, Place::wait(), timeout), park(routed(4), Duration{}));
  const Routing stopping{kOwn, true};
  EXPECT_EQ(stopping.receive(Message{routed()}, Place::here(), timeout), answer(ask(), "the node is shutting down"));
}

TEST(Routing, ReceivedCancelIgnoresPlace) {
  const Cancel cancel{"T", "k", Target::reply(kOrigin, 7)};
  for (const auto& place : {Place::here(), Place::wait(), Place::there(kOther), Place::nobody()}) {
    EXPECT_EQ(Routing{kOwn}.receive(Message{cancel}, place, Duration{5, 0}), Step{Step::Cancel{cancel}});
  }
}

struct RetryCase {
  std::string name;
  std::uint32_t attempt;
  Duration timeout;
  // None: the command is given up.
  std::optional<Duration> delay;
  std::uint32_t next_attempt = 0;
};

class RoutingRetry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RoutingRetry, BacksOffUntilTheWriteTimeout) {
  const auto& c = GetParam();
  const auto step = Routing{kOwn}.receive(Message{WrongOwner{routed(c.attempt)}}, Place::there(kOther), c.timeout);
  if (c.delay) {
    EXPECT_EQ(step, park(routed(c.next_attempt), *c.delay));
  } else {
    EXPECT_EQ(step, answer(ask(), "the nodes did not agree on the owner of the key within the write timeout"));
  }
}

const Duration kFive{5, 0};
const Duration kForever{std::numeric_limits<std::uint64_t>::max(), 999'999'999};

INSTANTIATE_TEST_SUITE_P(
    Attempts, RoutingRetry,
    ::testing::Values(RetryCase{"Zero", 0, kFive, ms(10), 1}, RetryCase{"First", 1, kFive, ms(10), 2},
                      RetryCase{"Second", 2, kFive, ms(20), 3}, RetryCase{"Seventh", 7, kFive, ms(640), 8},
                      // The doubling stops at the limit: 1 s, not 1.28 s.
                      RetryCase{"Eighth", 8, kFive, ms(1000), 9},
                      // Sum 4,270 ms still retries; sum 5,270 ms gives up.
                      RetryCase{"Tenth", 10, kFive, ms(1000), 11}, RetryCase{"Eleventh", 11, kFive, std::nullopt},
                      // A sum equal to the timeout still retries; one beyond it does not.
                      RetryCase{"SumEqualsTimeout", 3, ms(70), ms(40), 4},
                      RetryCase{"SumBeyondTimeout", 3, ms(69), std::nullopt},
                      RetryCase{"NoTimeout", 1, Duration{}, std::nullopt},
                      // A peer's largest attempt is neither raised past the top nor summed step by step.
                      RetryCase{"LargestAttemptForever", kMaxAttempt, kForever, ms(1000), kMaxAttempt},
                      RetryCase{"LargestAttempt", kMaxAttempt, kFive, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(Routing, LeavingNodeStillBacksOff) {
  const Routing stopping{kOwn, true};
  const Message wrong{WrongOwner{routed(5)}};
  for (const auto& place : {Place::there(kOther), Place::wait(), Place::here(), Place::nobody()}) {
    EXPECT_EQ(stopping.receive(wrong, place, kFive), park(routed(6), ms(160)));
  }
  EXPECT_EQ(stopping.receive(Message{WrongOwner{routed(11)}}, Place::there(kOther), kFive),
            answer(ask(), "the nodes did not agree on the owner of the key within the write timeout"));
}

}  // namespace
}  // namespace vorel::node::routing
