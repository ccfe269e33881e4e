// The transport as the node runtime sees it: start, send, receive, close.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "core/bytes.hpp"
#include "core/node.hpp"
#include "net/compress.hpp"
#include "net/limits.hpp"
#include "net/pool.hpp"
#include "net/tls.hpp"

namespace vorel::net {

namespace endpoint {

// The start's refusal of a listen address that resolves to nothing.
inline constexpr std::string_view kUnresolved = "could not resolve to any address";

struct Config {
  std::string cluster;
  std::optional<std::string> listen;
  std::optional<std::string> advertised;
  std::optional<Tls> tls;
  // None offers every codec, in the order zstd, lz4, zlib; an empty list offers none.
  std::optional<std::vector<compress::Name>> codecs;
  Limits limits;
  std::uint64_t min_bytes = 0;
  std::shared_ptr<pool::AddressMap> address_map;
  std::shared_ptr<std::function<void(pool::Peer)>> peer;
};

struct Received {
  std::string name;
  core::Bytes payload;
  // None for an envelope this node sent to itself.
  std::optional<core::NodeId> from;
};

// A refusal of a peer that a bare-address dial reached.
struct Refusal {
  std::string text;
};

// None: every sending end is gone.
using Next = std::optional<std::variant<Received, Refusal>>;

class Sender {
 public:
  Sender(core::NodeId node, std::shared_ptr<Pool> pool, IncomingChannel::Sender incoming, std::uint64_t limit)
      : node_(std::move(node)), pool_(std::move(pool)), incoming_(std::move(incoming)), limit_(limit) {}

  std::expected<void, std::string> send(const pool::Target& target, std::string_view name,
                                        core::ByteView payload) const;
  const core::NodeId& node() const { return node_; }

 private:
  core::NodeId node_;
  std::shared_ptr<Pool> pool_;
  IncomingChannel::Sender incoming_;
  std::uint64_t limit_;
};

}  // namespace endpoint

class Endpoint {
 public:
  static std::expected<std::unique_ptr<Endpoint>, IoError> start(asio::any_io_executor executor,
                                                                 endpoint::Config config);
  // As `start`, with the listen address resolved without holding up the calling thread.
  static asio::awaitable<std::expected<std::unique_ptr<Endpoint>, IoError>> begin(asio::any_io_executor executor,
                                                                                  endpoint::Config config);
  ~Endpoint();
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  asio::awaitable<endpoint::Next> recv();
  // Stops accepting, closes the pool and, unless abrupt, waits a bounded time for the drain.
  asio::awaitable<void> close(bool abrupt);

  const endpoint::Sender& sender() const { return sender_; }
  Pool& pool() { return *pool_; }
  const std::shared_ptr<Pool>& shared_pool() const { return pool_; }
  // The listener's bound address; none without a listener.
  const std::optional<asio::ip::tcp::endpoint>& local() const { return local_; }
  // Set once the accept task has ended; none without a listener.
  std::shared_ptr<Flag> accepting() const;

 private:
  struct Accepting;
  Endpoint(asio::any_io_executor executor, endpoint::Sender sender, std::shared_ptr<Pool> pool, Limits limits,
           IncomingChannel::Receiver incoming);
  static std::expected<std::unique_ptr<Endpoint>, IoError> open(asio::any_io_executor executor, endpoint::Config config,
                                                                std::optional<tls::Identity> secured,
                                                                std::vector<asio::ip::tcp::endpoint> found);

  asio::any_io_executor executor_;
  endpoint::Sender sender_;
  std::shared_ptr<Pool> pool_;
  Limits limits_;
  IncomingChannel::Receiver incoming_;
  std::shared_ptr<Accepting> accept_;
  std::optional<asio::ip::tcp::endpoint> local_;
};

}  // namespace vorel::net
