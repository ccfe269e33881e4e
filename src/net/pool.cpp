#include "net/pool.hpp"

#include <random>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "net/task.hpp"

namespace vorel::net {

using Clock = std::chrono::steady_clock;

std::uint64_t pool::jitter(std::uint64_t random) {
  std::uint64_t x = (random * 0x9E3779B97F4A7C15ull) | 1;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return 750 + x % 501;
}

namespace {

std::uint64_t fresh_random() {
  thread_local std::mt19937_64 rng{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()};
  return rng();
}


}  // namespace

// One dial or accept task: everything it waits on lives on its strand, so that a cancel, the
// pool's close or a time limit can abort it wherever it is by closing what it waits on.
struct Pool::Run {
  explicit Run(Strand s) : strand(std::move(s)), timer(strand), limit(strand), resolver(strand) {}

  void abort() {
    std::error_code ignored;
    resolver.cancel();
    timer.cancel();
    if (tcp) tcp->close(ignored);
    // A registered connection owns the socket now; its own registration cancels this task.
    if (socket && !connected) socket->close();
  }
  void stop() {
    stopped = true;
    abort();
  }
  // Aborts the step under way unless `disarm` comes first.
  void arm(std::chrono::nanoseconds after) {
    limit.expires_after(after);
    limit.async_wait([self = shared(), generation = generation](std::error_code ec) {
      if (!ec && generation == self->generation) self->abort();
    });
  }
  void disarm() {
    ++generation;
    limit.cancel();
  }
  std::shared_ptr<Run> shared() { return self.lock(); }
  // The task has ended: it stops listening for a cancel or the pool's close, and without a
  // connection its socket closes now; a connection keeps its own.
  void finish() {
    for (auto [flag, ticket] : tickets) flag->forget(ticket);
    tickets.clear();
    if (socket && !connected) socket->close();
  }

  Strand strand;
  std::weak_ptr<Run> self;
  std::string address;
  std::shared_ptr<Flag> cancel;
  std::vector<std::pair<Flag*, std::uint64_t>> tickets;
  std::shared_ptr<asio::ip::tcp::socket> tcp;
  std::shared_ptr<Socket> socket;
  asio::steady_timer timer;
  asio::steady_timer limit;
  asio::ip::tcp::resolver resolver;
  std::uint64_t generation = 0;
  bool stopped = false;
  bool connected = false;
};

Pool::Pool(asio::any_io_executor executor, pool::Settings settings, IncomingChannel::Sender incoming)
    : executor_(std::move(executor)), settings_(std::move(settings)), incoming_(std::move(incoming)) {}

void Pool::report(std::set<core::NodeId> nodes, pool::Peer::Kind kind) {
  if (!settings_.peer) return;
  for (auto& node : nodes) (*settings_.peer)(pool::Peer{kind, node});
}

void Pool::register_(std::shared_ptr<Connection> connection, const core::NodeId& node, bool dialed,
                     std::optional<std::string> also) {
  std::shared_ptr<Connection> replaced;
  std::set<core::NodeId> unreachable;
  {
    std::lock_guard lock(mutex_);
    if (state_.closed) {
      connection->end();
      return;
    }
    std::vector<pool::Queued> flush;
    const std::string* addresses[] = {node.address ? &*node.address : nullptr, also ? &*also : nullptr};
    for (const std::string* address : addresses) {
      if (!address) continue;
      if (auto dial = state_.dials.find(*address); dial != state_.dials.end()) {
        dial->second.cancel->set();
        for (auto& queued : dial->second.queue) flush.push_back(std::move(queued));
        state_.dials.erase(dial);
      }
      state_.backoff.erase(*address);
      state_.by_address[*address] = connection;
    }
    auto& link = state_.links[node];
    if (link.connection && link.connection != connection) replaced = link.connection;
    link = pool::Link{connection, dialed};
    for (const auto& queued : flush) {
      const auto* target = queued.target.as_node();
      if (!target || *target == node) {
        connection->send(queued.name, queued.payload);
      } else {
        unreachable.insert(*target);
      }
    }
  }
  if (replaced) replaced->end();
  report(std::move(unreachable), pool::Peer::Kind::Unreachable);
  watch(std::move(connection), node);
}

void Pool::watch(std::shared_ptr<Connection> connection, core::NodeId node) {
  // The end may come from any thread, even one inside a connection's send under this pool's
  // lock: the watcher's work is posted, never run inline.
  Connection* raw = connection.get();
  raw->over().subscribe([self = shared_from_this(), connection = std::move(connection), node = std::move(node)]() {
    asio::post(self->executor_, [self, connection, node] {
      bool removed = false;
      bool closed = false;
      {
        std::lock_guard lock(self->mutex_);
        auto link = self->state_.links.find(node);
        if (link != self->state_.links.end() && link->second.connection == connection) {
          self->state_.links.erase(link);
          removed = true;
        }
        std::erase_if(self->state_.by_address, [&](const auto& entry) { return entry.second == connection; });
        closed = self->state_.closed;
      }
      if (removed && !closed && self->settings_.peer) (*self->settings_.peer)(pool::Peer{pool::Peer::Kind::Lost, node});
    });
  });
}

void Pool::send(const pool::Target& target, std::string_view name, core::ByteView payload) {
  std::shared_ptr<Connection> connection;
  std::optional<core::NodeId> unreachable;
  std::shared_ptr<Flag> cancel;
  std::string address;
  {
    std::lock_guard lock(mutex_);
    const auto* node = target.as_node();
    if (node) {
      if (auto link = state_.links.find(*node); link != state_.links.end()) connection = link->second.connection;
    } else {
      const auto& text = std::get<pool::Target::Address>(target.value).text;
      if (auto found = state_.by_address.find(text); found != state_.by_address.end()) connection = found->second;
    }
    if (!connection) {
      if (node && node->address && state_.by_address.contains(*node->address)) {
        // Another incarnation answers at that address: this one is gone.
        unreachable = *node;
      } else if (node && !node->address) {
        return;
      } else if (state_.closed) {
        return;
      } else {
        address = node ? *node->address : std::get<pool::Target::Address>(target.value).text;
        pool::Queued queued{target, std::string(name), core::Bytes(payload.begin(), payload.end())};
        if (auto dial = state_.dials.find(address); dial != state_.dials.end()) {
          dial->second.queue.push_back(std::move(queued));
        } else {
          cancel = std::make_shared<Flag>();
          pool::Dial fresh{{}, cancel};
          fresh.queue.push_back(std::move(queued));
          state_.dials.emplace(address, std::move(fresh));
        }
      }
    }
  }
  if (connection) connection->send(name, payload);
  if (unreachable && settings_.peer) (*settings_.peer)(pool::Peer{pool::Peer::Kind::Unreachable, *unreachable});
  if (cancel) start(std::move(address), std::move(cancel));
}

std::shared_ptr<Socket> Pool::wrap(asio::ip::tcp::socket socket, bool server) const {
  if (!settings_.identity) return plain_socket(std::move(socket));
  return server ? settings_.identity->server(std::move(socket)) : settings_.identity->client(std::move(socket));
}

void Pool::start(std::string address, std::shared_ptr<Flag> cancel) {
  auto run = std::make_shared<Run>(asio::make_strand(executor_));
  run->self = run;
  run->address = std::move(address);
  run->cancel = std::move(cancel);
  auto stop = [run] { asio::post(run->strand, [run] { run->stop(); }); };
  run->tickets.emplace_back(run->cancel.get(), run->cancel->subscribe(stop));
  run->tickets.emplace_back(closing_.get(), closing_->subscribe(stop));
  auto self = shared_from_this();
  asio::co_spawn(
      run->strand, [self, run]() -> asio::awaitable<void> { co_await self->dial(run); },
      ended([self, run](bool failed) {
        // A dial that failed before it had an answer leaves its address unreached, so that what
        // waited for it is reported and a later send dials again.
        if (failed && !run->stopped && !run->connected) self->unreached(run->address);
        run->finish();
      }));
}

asio::awaitable<void> Pool::dial(std::shared_ptr<Run> run) {
  std::error_code ec;
  std::optional<Clock::time_point> deadline;
  held([&](pool::State& state) {
    if (auto b = state.backoff.find(run->address); b != state.backoff.end()) deadline = b->second.deadline;
  });
  if (deadline && *deadline > Clock::now()) {
    run->timer.expires_at(*deadline);
    co_await run->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  if (run->stopped) co_return;
  auto answer = co_await initiate(run);
  if (run->stopped) co_return;
  if (!answer) {
    unreached(run->address);
    co_return;
  }
  auto& [greeting, message] = *answer;
  if (auto* ack = std::get_if<handshake::HelloAck>(&message)) {
    greeting.mux().codec(ack->codec);
    auto connection = Greeting::run(std::move(greeting), ack->node, incoming_);
    run->connected = true;
    register_(std::move(connection), ack->node, true, run->address);
  } else if (auto* reject = std::get_if<handshake::HelloReject>(&message)) {
    const bool for_address = held([&](pool::State& state) {
      auto dial = state.dials.find(run->address);
      return dial != state.dials.end() &&
             std::any_of(dial->second.queue.begin(), dial->second.queue.end(),
                         [](const pool::Queued& q) { return q.target.as_node() == nullptr; });
    });
    if (for_address) {
      incoming_.send(Incoming{Incoming::Refusal{fmt::format("{} refused the connection: {}", run->address, reject->reason)}});
    }
    unreached(run->address);
  } else if (std::holds_alternative<handshake::HelloDuplicate>(message)) {
    // The peer keeps its own connection; its registration here cancels this task and takes
    // over the queue. Without it the queue is dropped, and nobody is reported.
    run->timer.expires_after(settings_.limits.handshake_timeout);
    co_await run->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (run->stopped) co_return;
    fail(run->address);
  } else {
    unreached(run->address);
  }
}

asio::awaitable<std::optional<std::pair<Greeting, handshake::Message>>> Pool::initiate(std::shared_ptr<Run> run) {
  using Result = std::optional<std::pair<Greeting, handshake::Message>>;
  std::string mapped = run->address;
  if (settings_.address_map) mapped = co_await (*settings_.address_map)(run->address);
  if (run->stopped) co_return Result{};
  const auto [host, port] = host_and_port(mapped);
  std::error_code ec;
  run->tcp = std::make_shared<asio::ip::tcp::socket>(run->strand);
  run->arm(settings_.limits.connect_timeout);
  auto endpoints = co_await run->resolver.async_resolve(host, port, asio::redirect_error(asio::use_awaitable, ec));
  if (!ec && !run->stopped) {
    co_await asio::async_connect(*run->tcp, endpoints, asio::redirect_error(asio::use_awaitable, ec));
  }
  run->disarm();
  if (ec || run->stopped || !run->tcp->is_open()) co_return Result{};
  run->tcp->set_option(asio::ip::tcp::no_delay(true), ec);
  run->socket = wrap(std::move(*run->tcp), false);
  run->tcp.reset();
  if (settings_.identity) {
    run->arm(settings_.limits.handshake_timeout);
    ec = co_await run->socket->handshake();
    run->disarm();
    if (ec || run->stopped) co_return Result{};
  }
  Greeting greeting(run->strand, run->socket, settings_.limits, settings_.min_bytes, traffic_);
  run->arm(settings_.limits.handshake_timeout);
  handshake::Message hello = settings_.hello;
  auto said = co_await greeting.say(std::move(hello));
  std::expected<handshake::Message, Broken> heard = std::unexpected(Broken{Broken::Kind::Closed, {}});
  if (said) heard = co_await greeting.hear();
  run->disarm();
  if (!heard || run->stopped) co_return Result{};
  co_return Result{std::in_place, std::move(greeting), std::move(*heard)};
}

std::set<core::NodeId> Pool::fail(const std::string& address) {
  std::lock_guard lock(mutex_);
  std::set<core::NodeId> nodes;
  if (auto dial = state_.dials.find(address); dial != state_.dials.end()) {
    for (const auto& queued : dial->second.queue) {
      if (const auto* node = queued.target.as_node()) nodes.insert(*node);
    }
    state_.dials.erase(dial);
  }
  const auto& limits = settings_.limits;
  std::chrono::nanoseconds delay = limits.redial_first;
  if (auto b = state_.backoff.find(address); b != state_.backoff.end()) {
    delay = std::min(b->second.delay * 2, limits.redial_limit);
  }
  const auto wait = std::chrono::nanoseconds(delay.count() * static_cast<std::int64_t>(pool::jitter(fresh_random())) / 1000);
  state_.backoff[address] = pool::Backoff{delay, Clock::now() + wait};
  return nodes;
}

void Pool::unreached(const std::string& address) { report(fail(address), pool::Peer::Kind::Unreachable); }

void Pool::accept(std::shared_ptr<Socket> socket) {
  {
    std::lock_guard lock(mutex_);
    if (state_.closed) {
      socket->close();
      return;
    }
  }
  auto run = std::make_shared<Run>(asio::make_strand(executor_));
  run->self = run;
  run->socket = std::move(socket);
  run->tickets.emplace_back(closing_.get(),
                            closing_->subscribe([run] { asio::post(run->strand, [run] { run->stop(); }); }));
  asio::co_spawn(
      run->strand, [self = shared_from_this(), run]() -> asio::awaitable<void> { co_await self->greet(run); },
      ended([run](bool) { run->finish(); }));
}

asio::awaitable<void> Pool::greet(std::shared_ptr<Run> run) {
  Greeting greeting(run->strand, run->socket, settings_.limits, settings_.min_bytes, traffic_);
  run->arm(settings_.limits.handshake_timeout);
  auto heard = co_await greeting.hear();
  run->disarm();
  const auto* hello = heard ? std::get_if<handshake::Hello>(&*heard) : nullptr;
  if (run->stopped || !hello) {
    run->socket->close();
    co_return;
  }
  auto answer = handshake::answer(*hello, settings_.hello);
  if (!answer) {
    handshake::Message reject = handshake::HelloReject{std::move(answer.error())};
    co_await Greeting::reject(std::move(greeting), std::move(reject));
    co_return;
  }
  if (keeps_own(hello->node)) {
    handshake::Message duplicate = handshake::HelloDuplicate{};
    co_await Greeting::reject(std::move(greeting), std::move(duplicate));
    co_return;
  }
  const auto codec = answer->codec;
  handshake::Message ack = std::move(*answer);
  auto said = co_await greeting.say(std::move(ack));
  if (!said || run->stopped) {
    run->socket->close();
    co_return;
  }
  // Everything up to the ack travelled uncompressed.
  greeting.mux().codec(codec);
  const core::NodeId peer = hello->node;
  auto connection = Greeting::run(std::move(greeting), peer, incoming_);
  run->connected = true;
  register_(std::move(connection), peer, false, std::nullopt);
}

bool Pool::keeps_own(const core::NodeId& peer) {
  // The node with the lower incarnation keeps the connection it dialed.
  if (settings_.hello.node.incarnation >= peer.incarnation) return false;
  std::lock_guard lock(mutex_);
  if (auto link = state_.links.find(peer); link != state_.links.end()) return link->second.dialed;
  if (peer.address && state_.dials.contains(*peer.address)) {
    auto b = state_.backoff.find(*peer.address);
    return b == state_.backoff.end() || Clock::now() >= b->second.deadline;
  }
  return false;
}

void Pool::close(bool abrupt) {
  std::vector<std::shared_ptr<Connection>> connections;
  std::map<std::string, pool::Dial> dropped;
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    dropped.swap(state_.dials);
    for (const auto& [node, link] : state_.links) connections.push_back(link.connection);
  }
  closing_->set();
  for (auto& connection : connections) {
    if (abrupt) {
      connection->end();
    } else {
      connection->drain();
    }
  }
}

bool Pool::idle() {
  std::lock_guard lock(mutex_);
  if (!state_.dials.empty()) return false;
  return std::all_of(state_.links.begin(), state_.links.end(),
                     [](const auto& entry) { return entry.second.connection->is_over(); });
}

Pool::Traffic Pool::traffic() {
  std::uint64_t live = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [node, link] : state_.links) live += link.connection->is_over() ? 0 : 1;
  }
  return Traffic{live, traffic_->sent.load(), traffic_->received.load()};
}

}  // namespace vorel::net
