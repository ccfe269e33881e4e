#include "node/routing/service.hpp"

#include <limits>
#include <optional>
#include <utility>

#include <fmt/format.h>

namespace vorel::node::routing {

namespace {

using Nanos = unsigned __int128;

Nanos nanos(core::Duration d) { return static_cast<Nanos>(d.seconds) * core::Duration::kNanosPerSecond + d.nanos; }

const std::string& actor_of(const core::Command& command) {
  return std::visit([](const auto& c) -> const std::string& { return c.actor; }, command);
}
const std::string& key_of(const core::Command& command) {
  return std::visit([](const auto& c) -> const std::string& { return c.key; }, command);
}

Step unreached(core::Command command, std::string reason) {
  auto outcome = core::Outcome::unreached(actor_of(command), key_of(command));
  return Step{Step::Answer{std::move(command), std::move(reason), std::move(outcome)}};
}

// The delay before the retry of a command returned at `attempt`: d(attempt - 1) of the retry
// backoff, or none once d(0) + ... + d(attempt - 1) exceeds the timeout. The attempt comes from
// a peer and may be anything up to 2^32 - 1, so once the delay stops growing the rest of the sum
// is taken as one product instead of being added step by step.
std::optional<core::Duration> retry_after(std::uint32_t attempt, core::Duration timeout) {
  const Nanos limit = nanos(timeout);
  core::Duration delay = kRetry.first;
  core::Duration last = delay;
  Nanos sum = 0;
  for (std::uint32_t i = 0; i < attempt; ++i) {
    last = delay;
    const core::Duration next = kRetry.next(delay);
    if (next == delay) {
      sum += nanos(delay) * (attempt - i);
      break;
    }
    sum += nanos(delay);
    if (sum > limit) return std::nullopt;
    delay = next;
  }
  if (sum > limit) return std::nullopt;
  return last;
}

}  // namespace

std::string nobody_hosts(std::string_view actor) { return fmt::format("no member hosts {}", actor); }

std::string room_full(std::uint64_t parked) {
  return fmt::format("{} messages wait on this node for their keys already", parked);
}

Step Routing::route(Routed routed, const Place& place) const {
  if (std::holds_alternative<Place::Here>(place.value)) {
    if (stopping) return unreached(std::move(routed.command), std::string(kShuttingDown));
    // Even a key of this node goes out and comes back through the node's own inbound channel,
    // so that it reaches the host on the same road, and in the same order, as a remote one.
    return Step{Step::Send{core::routing::wire::Message{std::move(routed)}, own}};
  }
  if (std::holds_alternative<Place::Wait>(place.value)) return Step{Step::Park{std::move(routed), core::Duration{}}};
  if (const auto* there = std::get_if<Place::There>(&place.value)) {
    return Step{Step::Send{core::routing::wire::Message{std::move(routed)}, there->node}};
  }
  auto reason = nobody_hosts(actor_of(routed.command));
  return unreached(std::move(routed.command), std::move(reason));
}

Step Routing::hand(core::Command command) const {
  if (stopping) return unreached(std::move(command), std::string(kShuttingDown));
  return Step{Step::Hand{std::move(command)}};
}

Step Routing::receive(core::routing::wire::Message message, const Place& place, core::Duration timeout) const {
  if (auto* routed = std::get_if<Routed>(&message.variant)) {
    if (std::holds_alternative<Place::Here>(place.value)) return hand(std::move(routed->command));
    if (place.waits()) return Step{Step::Park{std::move(*routed), core::Duration{}}};
    // Only the origin retries: a node that does not act for the key never forwards it, so two
    // nodes with different views cannot pass a command back and forth between them.
    auto origin = routed->origin;
    return Step{Step::Send{core::routing::wire::Message{core::routing::wire::WrongOwner{std::move(*routed)}},
                           std::move(origin)}};
  }
  if (auto* wrong = std::get_if<core::routing::wire::WrongOwner>(&message.variant)) {
    auto& routed = wrong->routed;
    // A leaving node backs off and counts like any other: routing a return at once would let it
    // bounce between two nodes without limit while their views disagree.
    const auto delay = retry_after(routed.attempt, timeout);
    if (!delay) return unreached(std::move(routed.command), std::string(kDisagreed));
    if (routed.attempt < std::numeric_limits<std::uint32_t>::max()) ++routed.attempt;
    return Step{Step::Park{std::move(routed), *delay}};
  }
  return Step{Step::Cancel{std::move(std::get<core::routing::wire::Cancel>(message.variant))}};
}

}  // namespace vorel::node::routing
