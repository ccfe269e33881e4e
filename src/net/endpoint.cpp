#include "net/endpoint.hpp"

#include <random>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "net/task.hpp"

namespace vorel::net {

namespace {

core::Incarnation fresh_incarnation() {
  std::random_device device;
  std::mt19937_64 rng((std::uint64_t{device()} << 32) ^ device());
  core::Incarnation out;
  for (int half = 0; half < 2; ++half) {
    const std::uint64_t value = rng();
    for (int i = 0; i < 8; ++i) out[half * 8 + i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
  }
  return out;
}


// Runs the server side of TLS on an accepted socket, bounded in time, then hands it to the pool.
void take(const std::shared_ptr<Pool>& pool, asio::ip::tcp::socket socket, std::chrono::nanoseconds timeout) {
  const auto& identity = pool->settings().identity;
  if (!identity) {
    pool->accept(plain_socket(std::move(socket)));
    return;
  }
  auto strand = asio::make_strand(socket.get_executor());
  auto secured = identity->server(std::move(socket));
  asio::co_spawn(
      strand,
      [pool, secured, timeout]() -> asio::awaitable<void> {
        asio::steady_timer limit(co_await asio::this_coro::executor, timeout);
        auto lapsed = std::make_shared<bool>(false);
        limit.async_wait([secured, lapsed](std::error_code ec) {
          if (ec) return;
          *lapsed = true;
          secured->close();
        });
        const auto ec = co_await secured->handshake();
        limit.cancel();
        if (ec || *lapsed) {
          secured->close();
          co_return;
        }
        pool->accept(secured);
      },
      on_failure([secured] { secured->close(); }));
}

}  // namespace

std::expected<void, std::string> endpoint::Sender::send(const pool::Target& target, std::string_view name,
                                                         core::ByteView payload) const {
  if (payload.size() > limit_) return std::unexpected(fmt::format("payload of {} bytes exceeds the limit of {}", payload.size(), limit_));
  if (const auto* node = target.as_node(); node && *node == node_) {
    incoming_.send(Incoming{Incoming::Local{std::string(name), core::Bytes(payload.begin(), payload.end())}});
    return {};
  }
  pool_->send(target, name, payload);
  return {};
}

// The accept loop's listener and the flag it sets once it has stopped.
struct Endpoint::Accepting {
  explicit Accepting(asio::ip::tcp::acceptor a, Strand s) : strand(std::move(s)), acceptor(std::move(a)) {}
  Strand strand;
  asio::ip::tcp::acceptor acceptor;
  Flag stopped;

  void stop(std::shared_ptr<Accepting> self) {
    asio::post(strand, [self] {
      std::error_code ignored;
      self->acceptor.close(ignored);
    });
  }
};

Endpoint::Endpoint(asio::any_io_executor executor, endpoint::Sender sender, std::shared_ptr<Pool> pool, Limits limits,
                   IncomingChannel::Receiver incoming)
    : executor_(std::move(executor)),
      sender_(std::move(sender)),
      pool_(std::move(pool)),
      limits_(limits),
      incoming_(std::move(incoming)) {}

namespace {

std::expected<std::optional<tls::Identity>, IoError> identity_of(const endpoint::Config& config) {
  if (!config.tls) return std::optional<tls::Identity>{};
  auto built = config.tls->identity();
  if (!built) return std::unexpected(std::move(built.error()));
  return std::optional<tls::Identity>(std::move(*built));
}

std::vector<asio::ip::tcp::endpoint> endpoints_of(const asio::ip::tcp::resolver::results_type& results) {
  std::vector<asio::ip::tcp::endpoint> out;
  for (const auto& entry : results) out.push_back(entry.endpoint());
  return out;
}

}  // namespace

std::expected<std::unique_ptr<Endpoint>, IoError> Endpoint::start(asio::any_io_executor executor,
                                                                   endpoint::Config config) {
  auto secured = identity_of(config);
  if (!secured) return std::unexpected(std::move(secured.error()));
  std::vector<asio::ip::tcp::endpoint> found;
  if (config.listen) {
    const auto [host, port] = host_and_port(*config.listen);
    std::error_code ec;
    asio::ip::tcp::resolver resolver(executor);
    auto results = resolver.resolve(host, port, ec);
    if (!ec) found = endpoints_of(results);
  }
  return open(std::move(executor), std::move(config), std::move(*secured), std::move(found));
}

asio::awaitable<std::expected<std::unique_ptr<Endpoint>, IoError>> Endpoint::begin(asio::any_io_executor executor,
                                                                                    endpoint::Config config) {
  auto secured = identity_of(config);
  if (!secured) co_return std::unexpected(std::move(secured.error()));
  std::vector<asio::ip::tcp::endpoint> found;
  if (config.listen) {
    const auto [host, port] = host_and_port(*config.listen);
    std::error_code ec;
    asio::ip::tcp::resolver resolver(executor);
    auto results = co_await resolver.async_resolve(host, port, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) found = endpoints_of(results);
  }
  co_return open(std::move(executor), std::move(config), std::move(*secured), std::move(found));
}

std::expected<std::unique_ptr<Endpoint>, IoError> Endpoint::open(asio::any_io_executor executor,
                                                                  endpoint::Config config,
                                                                  std::optional<tls::Identity> secured,
                                                                  std::vector<asio::ip::tcp::endpoint> found) {
  auto [to_node, incoming] = IncomingChannel::make();

  std::optional<std::string> own;
  std::optional<asio::ip::tcp::endpoint> bound_at;
  std::shared_ptr<Accepting> accepting;
  if (config.listen) {
    // A failed resolution and one that found nothing are alike to the caller.
    if (found.empty()) {
      return std::unexpected(IoError{std::make_error_code(std::errc::address_not_available), std::string(endpoint::kUnresolved)});
    }
    std::error_code ec;
    std::error_code last = std::make_error_code(std::errc::invalid_argument);
    auto strand = asio::make_strand(executor);
    asio::ip::tcp::acceptor acceptor(strand);
    bool bound = false;
    for (const auto& entry : found) {
      std::error_code attempt;
      acceptor.open(entry.protocol(), attempt);
      if (!attempt) acceptor.set_option(asio::socket_base::reuse_address(true), attempt);
      if (!attempt) acceptor.bind(entry, attempt);
      if (!attempt) acceptor.listen(asio::socket_base::max_listen_connections, attempt);
      if (!attempt) {
        bound = true;
        break;
      }
      last = attempt;
      std::error_code ignored;
      acceptor.close(ignored);
    }
    if (!bound) return std::unexpected(IoError{last, last.message()});
    const auto local = acceptor.local_endpoint(ec);
    if (ec) return std::unexpected(IoError{ec, ec.message()});
    bound_at = local;
    const auto& listen = *config.listen;
    own = config.advertised ? *config.advertised
                            : fmt::format("{}:{}", listen.substr(0, listen.rfind(':')), local.port());
    accepting = std::make_shared<Accepting>(std::move(acceptor), strand);
  }
  const core::NodeId id{own, fresh_incarnation()};
  handshake::Hello hello{config.cluster, id,
                         config.codecs ? *config.codecs
                                       : std::vector<compress::Name>{compress::Name::Zstd, compress::Name::Lz4,
                                                                     compress::Name::Zlib},
                         config.limits.frame, config.limits.message, config.limits.window};
  auto pool = std::make_shared<Pool>(
      executor,
      pool::Settings{std::move(hello), config.limits, config.min_bytes, std::move(secured), config.address_map,
                     config.peer},
      to_node);
  endpoint::Sender sender(id, pool, to_node, config.limits.message);
  std::unique_ptr<Endpoint> endpoint(new Endpoint(executor, std::move(sender), pool, config.limits, std::move(incoming)));
  endpoint->local_ = bound_at;
  if (accepting) {
    endpoint->accept_ = accepting;
    const auto timeout = config.limits.handshake_timeout;
    asio::co_spawn(
        accepting->strand,
        [accepting, pool, timeout]() -> asio::awaitable<void> {
          // Any accept error ends the loop for good: the node keeps its connections and can
          // still dial, but accepts nothing more.
          for (;;) {
            std::error_code ec;
            auto socket = co_await accepting->acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
            if (ec) break;
            socket.set_option(asio::ip::tcp::no_delay(true), ec);
            take(pool, std::move(socket), timeout);
          }
        },
        // However the loop ends, it says so: a close waits for that.
        ended([accepting](bool) {
          std::error_code ignored;
          accepting->acceptor.close(ignored);
          accepting->stopped.set();
        }));
  }
  return endpoint;
}

std::shared_ptr<Flag> Endpoint::accepting() const {
  if (!accept_) return nullptr;
  return std::shared_ptr<Flag>(accept_, &accept_->stopped);
}

Endpoint::~Endpoint() {
  if (accept_) accept_->stop(accept_);
  pool_->close(true);
}

asio::awaitable<endpoint::Next> Endpoint::recv() {
  auto value = co_await incoming_.recv();
  if (!value) co_return std::nullopt;
  if (auto* local = std::get_if<Incoming::Local>(&value->value)) {
    co_return endpoint::Received{std::move(local->name), std::move(local->payload), std::nullopt};
  }
  if (auto* record = std::get_if<Incoming::Record>(&value->value)) {
    // Credit returns as soon as the node takes the envelope.
    record->connection->consume(record->record);
    co_return endpoint::Received{std::move(record->record.name), std::move(record->record.payload),
                                 record->connection->node()};
  }
  co_return endpoint::Refusal{std::move(std::get<Incoming::Refusal>(value->value).text)};
}

asio::awaitable<void> Endpoint::close(bool abrupt) {
  if (accept_) {
    accept_->stop(accept_);
    co_await accept_->stopped.wait();
    accept_.reset();
  }
  pool_->close(abrupt);
  if (!abrupt) {
    asio::steady_timer poll(co_await asio::this_coro::executor);
    const auto until = std::chrono::steady_clock::now() + limits_.handshake_timeout;
    while (!pool_->idle() && std::chrono::steady_clock::now() < until) {
      poll.expires_after(std::chrono::milliseconds(5));
      std::error_code ec;
      co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }
  // Whatever has not finished draining ends now.
  pool_->close(true);
}

}  // namespace vorel::net
