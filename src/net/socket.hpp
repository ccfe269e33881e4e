// A connection's byte stream, plain TCP or TLS over TCP, behind one small interface so that the
// greeting and the connection tasks do not care which.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include "core/bytes.hpp"

namespace vorel::net {

// A failure of the operating system or of a library below the transport: its code and text.
struct IoError {
  std::error_code code;
  std::string text;
};

// Every operation runs on the strand of the task that owns the socket; only `close` may be asked
// for by other threads, and they post it to that strand.
class Socket {
 public:
  virtual ~Socket() = default;

  // The server or client side of the TLS handshake; nothing for plain TCP.
  virtual asio::awaitable<std::error_code> handshake() = 0;
  // Some bytes; zero bytes with an error at the end of the stream.
  virtual asio::awaitable<std::pair<std::error_code, std::size_t>> read(std::span<std::uint8_t> into) = 0;
  // All of the bytes, or the error that stopped the write.
  virtual asio::awaitable<std::error_code> write(core::ByteView bytes) = 0;
  // The bytes of all the pieces in order, or the error that stopped the write. This one gathers
  // them into one array for `write`; a socket that can hand the pieces to the system as they are
  // does so instead.
  virtual asio::awaitable<std::error_code> write_gathered(std::span<const core::ByteView> pieces);
  // Ends this side's sending. Under TLS this is the TCP shutdown: a TLS close would wait for the
  // peer, and the transport's own Close frame already says that nothing more comes.
  virtual void shutdown_send() = 0;
  // Aborts whatever waits on the socket; later operations fail.
  virtual void close() = 0;
};

std::shared_ptr<Socket> plain_socket(asio::ip::tcp::socket socket);

// "host:port" split at its last colon, an IPv6 host without its brackets: what a resolver takes.
std::pair<std::string, std::string> host_and_port(const std::string& address);

}  // namespace vorel::net
