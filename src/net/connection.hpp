// A live connection to one peer node: the greeting that runs its handshake on the bare socket,
// then the shared connection with its writer and reader tasks over the multiplexer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "core/bytes.hpp"
#include "core/node.hpp"
#include "net/frame.hpp"
#include "net/handshake.hpp"
#include "net/limits.hpp"
#include "net/mux.hpp"
#include "net/notify.hpp"
#include "net/socket.hpp"

namespace vorel::net {

class Connection;

using Strand = asio::strand<asio::any_io_executor>;

// What arrives on the node's one inbound channel.
struct Incoming {
  struct Record {
    mux::Record record;
    std::shared_ptr<Connection> connection;
  };
  struct Local {
    std::string name;
    core::Bytes payload;
  };
  struct Refusal {
    std::string text;
  };
  std::variant<Record, Local, Refusal> value;
};

using IncomingChannel = Channel<Incoming>;

namespace connection {

// Traffic of every connection of a pool; only ever added to.
struct Bytes {
  std::atomic<std::uint64_t> sent{0};
  std::atomic<std::uint64_t> received{0};
};

inline constexpr std::size_t kReadBuffer = 262144;

}  // namespace connection

// Why a handshake step failed.
struct Broken {
  enum class Kind { Io, Protocol, Closed };
  Kind kind;
  std::string text;
};

class Greeting {
 public:
  Greeting(Strand strand, std::shared_ptr<Socket> socket, const Limits& limits, std::uint64_t min_bytes,
           std::shared_ptr<connection::Bytes> traffic);

  asio::awaitable<std::expected<void, Broken>> say(handshake::Message message);
  // Reads until the first envelope; Window and Ping frames before it are absorbed.
  asio::awaitable<std::expected<handshake::Message, Broken>> hear();
  // Says a refusal, then Close, then shuts the sending side; every error is ignored.
  static asio::awaitable<void> reject(Greeting greeting, handshake::Message message);
  // Starts the writer and reader on the greeting's strand; must run on a transport thread.
  static std::shared_ptr<Connection> run(Greeting greeting, core::NodeId node, IncomingChannel::Sender incoming);

  Mux& mux() { return mux_; }
  const std::shared_ptr<Socket>& socket() const { return socket_; }

 private:
  Strand strand_;
  Mux mux_;
  frame::Decoder decoder_;
  Limits limits_;
  std::shared_ptr<Socket> socket_;
  std::shared_ptr<connection::Bytes> traffic_;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(core::NodeId node, Strand strand, std::shared_ptr<Socket> socket, Mux mux,
             std::shared_ptr<connection::Bytes> traffic);

  const core::NodeId& node() const { return node_; }

  // Once and for all; both tasks stop at their next wait, the writer without flushing.
  void end();
  bool is_over() const { return over_.is_set(); }
  Flag& over() { return over_; }

  // Queues an envelope: "replication" on its own stream, every other name on the shared one. A
  // connection holding too much unsent data ends instead, and the pool reports the peer lost.
  void send(std::string_view name, core::ByteView payload);
  // Gives the credit of a record the node has taken back to its stream.
  void consume(const mux::Record& record);
  // The writer sends what the windows allow, then Close, and shuts its side; the reader goes on
  // until the peer's end arrives.
  void drain();

 private:
  friend class Greeting;

  template <class F>
  auto held(F&& f) {
    std::lock_guard lock(mutex_);
    return f(mux_);
  }

  asio::awaitable<void> write();
  asio::awaitable<void> read(frame::Decoder decoder, IncomingChannel::Sender incoming);
  asio::awaitable<void> watch(std::chrono::nanoseconds ping_after, std::chrono::nanoseconds silence_limit);

  core::NodeId node_;
  Strand strand_;
  std::shared_ptr<Socket> socket_;
  Flag over_;
  std::shared_ptr<connection::Bytes> traffic_;
  std::mutex mutex_;
  Mux mux_;
  Wakeup ready_;
  std::atomic<bool> draining_{false};
  // Keep-alive state, touched only on the strand.
  asio::steady_timer keepalive_;
  std::chrono::steady_clock::time_point heard_;
};

}  // namespace vorel::net
