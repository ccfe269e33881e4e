// TLS for the transport: the node's identity read from PEM files, and TLS sockets built from it.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "net/socket.hpp"

namespace vorel::net {

namespace tls {
class Identity;
}  // namespace tls

struct Tls {
  std::string cert;
  std::string key;
  std::optional<std::string> ca;
  bool require_client_cert = false;

  // The node's certificate chain and key, the CA its peers must chain to, and the client and
  // server configurations built from them.
  std::expected<tls::Identity, IoError> identity() const;
};

namespace tls {

// The fixed name every dialer asks for: certificates are checked against the CA, never a name.
inline constexpr const char* kServerName = "vorel";

struct Contexts;

// The client and server configurations, shared by every copy.
class Identity {
 public:
  explicit Identity(std::shared_ptr<Contexts> contexts) : contexts_(std::move(contexts)) {}
  // A socket whose `handshake` runs the client side, asking for the fixed server name.
  std::shared_ptr<Socket> client(asio::ip::tcp::socket socket) const;
  // A socket whose `handshake` runs the server side.
  std::shared_ptr<Socket> server(asio::ip::tcp::socket socket) const;

 private:
  std::shared_ptr<Contexts> contexts_;
};

// The DER bytes of every certificate of a PEM file, in file order.
std::expected<std::vector<std::string>, IoError> certificates(const std::string& path);
// The DER bytes of the first private key of a PEM file (PKCS#1, SEC1 or PKCS#8).
std::expected<std::string, IoError> private_key(const std::string& path);

}  // namespace tls

}  // namespace vorel::net
