// The registry of connections to peer nodes: registration, sending, dialing with redial backoff,
// accepting with the tie-break of crossed connections, and close.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <variant>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "core/node.hpp"
#include "net/connection.hpp"
#include "net/handshake.hpp"
#include "net/limits.hpp"
#include "net/notify.hpp"
#include "net/tls.hpp"

namespace vorel::net {

namespace pool {

struct Peer {
  enum class Kind { Lost = 0, Unreachable = 1 };
  Kind kind;
  core::NodeId node;
  friend bool operator==(const Peer&, const Peer&) = default;
};

// A node, or an address alone for a peer whose identity is not known yet (a seed).
struct Target {
  struct Address {
    std::string text;
    friend bool operator==(const Address&, const Address&) = default;
  };
  std::variant<core::NodeId, Address> value;

  static Target node(core::NodeId id) { return Target{std::move(id)}; }
  static Target address(std::string text) { return Target{Address{std::move(text)}}; }
  const core::NodeId* as_node() const { return std::get_if<core::NodeId>(&value); }
};

using AddressMap = std::function<asio::awaitable<std::string>(std::string)>;

struct Settings {
  handshake::Hello hello;
  Limits limits;
  std::uint64_t min_bytes = 0;
  std::optional<tls::Identity> identity;
  std::shared_ptr<AddressMap> address_map;
  std::shared_ptr<std::function<void(Peer)>> peer;
};

struct Link {
  std::shared_ptr<Connection> connection;
  bool dialed = false;
};

struct Queued {
  Target target;
  std::string name;
  core::Bytes payload;
};

struct Dial {
  std::vector<Queued> queue;
  std::shared_ptr<Flag> cancel;
};

struct Backoff {
  std::chrono::nanoseconds delay{0};
  std::chrono::steady_clock::time_point deadline;
};

struct State {
  std::unordered_map<core::NodeId, Link> links;
  std::map<std::string, std::shared_ptr<Connection>> by_address;
  std::map<std::string, Dial> dials;
  std::map<std::string, Backoff> backoff;
  bool closed = false;
};

// The jitter factor in thousandths, 750 to 1250, from a fresh random value.
std::uint64_t jitter(std::uint64_t random);

}  // namespace pool

class Pool : public std::enable_shared_from_this<Pool> {
 public:
  Pool(asio::any_io_executor executor, pool::Settings settings, IncomingChannel::Sender incoming);

  void register_(std::shared_ptr<Connection> connection, const core::NodeId& node, bool dialed,
                           std::optional<std::string> also);
  void send(const pool::Target& target, std::string_view name, core::ByteView payload);
  // Takes over an accepted socket (after its TLS handshake) and greets it.
  void accept(std::shared_ptr<Socket> socket);
  bool keeps_own(const core::NodeId& peer);
  void close(bool abrupt);
  bool idle();
  struct Traffic {
    std::uint64_t connections = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
  };
  Traffic traffic();

  const pool::Settings& settings() const { return settings_; }
  // Exclusive access to the state for the caller's scope; never held across a wait.
  template <class F>
  auto held(F&& f) {
    std::lock_guard lock(mutex_);
    return f(state_);
  }

 private:
  struct Run;

  void start(std::string address, std::shared_ptr<Flag> cancel);
  asio::awaitable<void> dial(std::shared_ptr<Run> run);
  asio::awaitable<std::optional<std::pair<Greeting, handshake::Message>>> initiate(std::shared_ptr<Run> run);
  asio::awaitable<void> greet(std::shared_ptr<Run> run);
  std::set<core::NodeId> fail(const std::string& address);
  void unreached(const std::string& address);
  void report(std::set<core::NodeId> nodes, pool::Peer::Kind kind);
  void watch(std::shared_ptr<Connection> connection, core::NodeId node);
  std::shared_ptr<Socket> wrap(asio::ip::tcp::socket socket, bool server) const;

  asio::any_io_executor executor_;
  pool::Settings settings_;
  IncomingChannel::Sender incoming_;
  std::shared_ptr<Flag> closing_ = std::make_shared<Flag>();
  std::shared_ptr<connection::Bytes> traffic_ = std::make_shared<connection::Bytes>();
  std::mutex mutex_;
  pool::State state_;
};

}  // namespace vorel::net
