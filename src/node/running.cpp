#include "node/running.hpp"

#include <random>
#include <set>

#include <fmt/format.h>

#include "core/invariant.hpp"
#include "core/membership/directory.hpp"
#include "core/membership/service.hpp"
#include "core/replication/parts.hpp"
#include "net/endpoint.hpp"
#include "node/loop.hpp"
#include "node/routing/waiting.hpp"
#include "exec/threads_asio.hpp"

namespace vorel::node {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_of(core::Duration d) { return d.as_seconds(); }

core::Duration half(core::Duration d) {
  const auto odd = d.seconds % 2;
  return core::Duration{d.seconds / 2, static_cast<std::uint32_t>((odd * core::Duration::kNanosPerSecond + d.nanos) / 2)};
}

std::uint64_t random_value() {
  thread_local std::mt19937_64 rng{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()};
  return rng();
}

// What the configuration must hold before anything is built: the checks the overlay and the
// transport make of their own settings, and periods that let the loop's timers wait.
std::expected<void, std::string> checked(const Cluster& cluster) {
  if (auto overlay = core::membership::Overlay{cluster.active, cluster.passive, cluster.join_walk,
                                               cluster.passive_walk}.check();
      !overlay) {
    return overlay;
  }
  if (auto limits = cluster.limits.checked(); !limits) return limits;
  const std::pair<const char*, core::Duration> periods[] = {{"heartbeat", cluster.heartbeat},
                                                           {"anti_entropy", cluster.anti_entropy},
                                                           {"overlay.graft_after", cluster.graft_after},
                                                           {"overlay.shuffle_every", cluster.shuffle_every}};
  for (const auto& [name, period] : periods) {
    if (period == core::Duration{}) {
      return std::unexpected(fmt::format("{} is 0:00:00, and a period of zero would never wait between two rounds", name));
    }
  }
  return {};
}

// Whether `address` is one of this host's own: only those can be bound.
bool own_address(const asio::ip::address& address) {
  if (address.is_loopback()) return true;
  asio::io_context scratch;
  asio::ip::udp::socket probe(scratch);
  std::error_code ec;
  probe.open(address.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), ec);
  if (!ec) probe.bind(asio::ip::udp::endpoint(address, 0), ec);
  return !ec;
}

// The seeds without those that name this node's own listener under another spelling (a host
// name, or "localhost" for the loopback address): dialing one would reach this node, whose own
// acceptor refuses it, and a refusal before the join fails the start.
asio::awaitable<std::vector<std::string>> others(std::vector<std::string> seeds,
                                                 const std::optional<asio::ip::tcp::endpoint>& local) {
  if (!local) co_return seeds;
  asio::ip::tcp::resolver resolver(co_await asio::this_coro::executor);
  std::vector<std::string> out;
  for (auto& seed : seeds) {
    const auto [host, port] = net::host_and_port(seed);
    std::error_code ec;
    auto found = co_await resolver.async_resolve(host, port, asio::redirect_error(asio::use_awaitable, ec));
    bool self = false;
    if (!ec) {
      for (const auto& entry : found) {
        const auto at = entry.endpoint();
        if (at.port() != local->port()) continue;
        if (at.address() == local->address() || (local->address().is_unspecified() && own_address(at.address()))) {
          self = true;
          break;
        }
      }
    }
    if (!self) out.push_back(std::move(seed));
  }
  co_return out;
}

}  // namespace

Running::Running(std::shared_ptr<net::Flag> accepting, core::Duration leave_timeout, Node node, exec::Task run,
                 std::shared_ptr<net::Flag> ended)
    : accepting_(std::move(accepting)),
      leave_timeout_(leave_timeout),
      node_(std::move(node)),
      run_(std::move(run)),
      ended_(std::move(ended)) {}

Running::~Running() { run_.abort(); }

bool Running::ended() const { return !ended_ || ended_->is_set(); }

asio::awaitable<void> Running::over() {
  if (ended_) co_await ended_->wait();
}

asio::awaitable<std::expected<Running, std::string>> Running::began(Cluster cluster, std::vector<core::Kind> kinds,
                                                                    std::shared_ptr<Host> host, bool member) {
  if (auto refused = checked(cluster); !refused) co_return std::unexpected(std::move(refused.error()));
  auto executor = co_await asio::this_coro::executor;
  auto threads = exec::holder(asio::query(executor, asio::execution::context));
  if (!threads) core::broken("a node starts on the node runtime's threads");

  auto [asks, receiving] = Asks::make();
  auto bell = std::make_shared<Bell>();
  auto door = std::make_shared<Door>(Door{std::move(asks), bell});
  // Weak, so that the pool never keeps the command channel open once every handle is gone.
  std::weak_ptr<Door> weak = door;
  auto peer = std::make_shared<std::function<void(net::pool::Peer)>>([weak](net::pool::Peer report) {
    if (auto open = weak.lock()) {
      const auto kind = report.kind == net::pool::Peer::Kind::Lost ? PeerReport::Kind::Lost
                                                                   : PeerReport::Kind::Unreachable;
      open->send(Ask{Ask::Peer{PeerReport{kind, std::move(report.node)}}});
    }
  });

  net::endpoint::Config config;
  config.cluster = cluster.name;
  if (member) config.listen = cluster.bind;
  config.advertised = cluster.advertise;
  config.tls = cluster.tls;
  config.codecs = cluster.codecs;
  config.limits = cluster.limits;
  config.min_bytes = cluster.min_bytes;
  config.address_map = cluster.address_map;
  config.peer = std::move(peer);
  auto started = co_await net::Endpoint::begin(executor, std::move(config));
  if (!started) co_return std::unexpected(std::move(started.error().text));
  auto endpoint = std::move(*started);
  const core::NodeId id = endpoint->sender().node();

  core::placement::Counts counts;
  std::map<std::string, core::Kind, std::less<>> hosted;
  for (auto& kind : kinds) {
    counts.learn(kind.name, kind.replicas);
    auto name = kind.name;
    hosted.insert_or_assign(std::move(name), std::move(kind));
  }

  std::unique_ptr<core::membership::Members> members;
  if (member) {
    std::set<std::string> types;
    for (const auto& [name, count] : counts.entries()) types.insert(name);
    core::membership::Periods periods;
    if (cluster.remove_after) periods.remove_after = seconds_of(*cluster.remove_after);
    periods.heartbeat = seconds_of(cluster.heartbeat);
    periods.suspect_after = seconds_of(cluster.suspect_after);
    periods.dead_after = seconds_of(cluster.dead_after);
    periods.anti_entropy = seconds_of(cluster.anti_entropy);
    periods.graft_after = seconds_of(cluster.graft_after);
    periods.shuffle_every = seconds_of(cluster.shuffle_every);
    auto seeds = co_await others(cluster.seeds, endpoint->local());
    members = std::make_unique<core::membership::Membership>(
        id, std::move(types), std::move(seeds), periods,
        core::membership::Overlay{cluster.active, cluster.passive, cluster.join_walk, cluster.passive_walk},
        random_value);
  } else {
    members = std::make_unique<core::membership::Directory>(id, cluster.seeds, random_value);
  }

  auto [publish, reading] = watch::channel<MemberList>(members->members());
  auto [join, joined] = oneshot::channel<Joining>();

  const auto budget = core::replication::parts::budget(cluster.limits.message);
  replication::service::Replication replication(id, budget, cluster.write_timeout, cluster.leave_timeout);
  Node node(std::make_shared<Reach>(
      Reach{id, door, std::move(reading), endpoint->shared_pool(), replication.written, cluster.limits.message}));
  door.reset();

  auto held = std::make_unique<Held>(
      node, std::move(host), std::move(members),
      core::placement::Placement(member ? std::optional<core::NodeId>(id) : std::nullopt), std::move(counts),
      Handoff(id, budget, cluster.backoff), std::move(replication), std::move(hosted), half(cluster.dead_after));

  auto ended = std::make_shared<net::Flag>();
  auto accepting = endpoint->accepting();
  Looping looping{Ending(ended),
                  std::move(endpoint),
                  std::move(held),
                  std::move(receiving),
                  std::move(bell),
                  std::move(publish),
                  std::move(join),
                  Timers{cluster.heartbeat, cluster.graft_after, cluster.shuffle_every, cluster.anti_entropy}};
  Running running(std::move(accepting), cluster.leave_timeout, node, exec::spawn(*threads, run(std::move(looping))),
                  std::move(ended));

  auto signal = co_await joined.receive();
  if (signal && *signal) co_return std::move(running);
  auto why = signal ? std::move(signal->error()) : std::string(kStoppedBeforeJoin);
  // Nothing of a node that failed to start runs on.
  co_await running.crash();
  co_return std::unexpected(std::move(why));
}

asio::awaitable<std::vector<Key>> Running::leave() {
  node_.ask(Ask{Ask::Leave{}});
  auto [waiter, handed] = oneshot::channel<std::vector<Key>>();
  node_.ask(Ask{Ask::Handed{std::move(waiter)}});
  auto got = co_await handed.receive_until(routing::waiting::later(Clock::now(), leave_timeout_));
  if (got.late) {
    node_.ask(Ask{Ask::Abandon{}});
    got.value = co_await handed.receive();
  }
  node_.ask(Ask{Ask::Depart{}});
  node_.ask(Ask{Ask::Stop{}});
  co_await over();
  co_return got.value.value_or(std::vector<Key>{});
}

asio::awaitable<void> Running::crash() {
  run_.abort();
  co_await over();
  if (accepting_) co_await accepting_->wait();
}

}  // namespace vorel::node
