// The one event loop of a node: it owns the node's endpoint and its held state, waits fairly on
// inbound envelopes, the four membership timers, the services' earliest deadline and commands,
// and after every event flushes what the services produced to the transport and the host.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "core/backoff.hpp"
#include "core/bytes.hpp"
#include "core/membership/member.hpp"
#include "node/await.hpp"
#include "node/oneshot.hpp"
#include "node/held.hpp"
#include "node/reach.hpp"

namespace vorel::net {
class Endpoint;
class Flag;
}  // namespace vorel::net

namespace vorel::node {

// Success once the node has joined, or why it could not.
using Joining = std::expected<void, std::string>;
using MemberList = std::vector<core::membership::Member>;

// The periods of the loop's four timers; none may be zero.
struct Timers {
  core::Duration heartbeat;
  core::Duration graft_after;
  core::Duration shuffle_every;
  core::Duration anti_entropy;
};

// Sets its flag when it goes: the last thing of a loop task to go, however the task ends.
class Ending {
 public:
  explicit Ending(std::shared_ptr<net::Flag> flag) : flag_(std::move(flag)) {}
  Ending(Ending&&) noexcept = default;
  Ending& operator=(Ending&&) = delete;
  ~Ending();

 private:
  std::shared_ptr<net::Flag> flag_;
};

// Everything the loop task owns, moved into it by the start-up.
struct Looping {
  Ending ending;
  std::unique_ptr<net::Endpoint> endpoint;
  std::unique_ptr<Held> held;
  Asks::Receiver asks;
  std::shared_ptr<Bell> bell;
  watch::Sender<MemberList> members;
  std::optional<oneshot::Sender<Joining>> join;
  Timers timers;
};

// Ends on `Ask::Stop` after closing the transport gracefully; aborting the task instead drops
// everything at once, and the endpoint's own drop closes the pool abruptly.
asio::awaitable<void> run(Looping looping);

// One envelope by its name: "actors", "replies", "membership" or "replication"; others are ignored.
void received(const Sender& sender, Held& held, std::string_view name, core::ByteView payload, double now);
// The services' work due at their deadlines.
void operations(const Sender& sender, Held& held);
std::optional<Instant> earliest(const Held& held);
void flush(const Sender& sender, Held& held, watch::Sender<MemberList>& members,
           std::optional<oneshot::Sender<Joining>>& join);

}  // namespace vorel::node
