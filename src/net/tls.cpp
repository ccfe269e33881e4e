#include "net/tls.hpp"

#include <cerrno>
#include <fstream>
#include <iterator>

#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "net/stream_io.hpp"

namespace vorel::net {

struct tls::Contexts {
  asio::ssl::context client{asio::ssl::context::tls_client};
  asio::ssl::context server{asio::ssl::context::tls_server};
};

namespace {

class TlsSocket final : public Socket {
 public:
  TlsSocket(asio::ip::tcp::socket socket, std::shared_ptr<tls::Contexts> contexts, bool server)
      : contexts_(std::move(contexts)),
        stream_(std::move(socket), server ? contexts_->server : contexts_->client),
        server_(server) {}

  asio::awaitable<std::error_code> handshake() override {
    std::error_code ec;
    if (!server_ && !SSL_set_tlsext_host_name(stream_.native_handle(), tls::kServerName)) {
      co_return std::error_code(static_cast<int>(ERR_get_error()), asio::error::get_ssl_category());
    }
    co_await stream_.async_handshake(server_ ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                                     asio::redirect_error(asio::use_awaitable, ec));
    co_return ec;
  }

  asio::awaitable<std::pair<std::error_code, std::size_t>> read(std::span<std::uint8_t> into) override {
    auto [ec, n] = co_await stream_io::read(stream_, into);
    // A peer that shuts its TCP side after its Close frame sends no TLS close: that is its end.
    if (ec == asio::ssl::error::stream_truncated) ec = asio::error::eof;
    co_return std::pair{ec, n};
  }

  asio::awaitable<std::error_code> write(core::ByteView bytes) override { return stream_io::write(stream_, bytes); }

  void shutdown_send() override {
    std::error_code ignored;
    stream_.lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }

  void close() override {
    std::error_code ignored;
    stream_.lowest_layer().close(ignored);
  }

 private:
  std::shared_ptr<tls::Contexts> contexts_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  bool server_;
};

std::string library_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  return reason ? reason : "unknown TLS library error";
}

IoError failure(std::string text) { return IoError{std::make_error_code(std::errc::io_error), std::move(text)}; }

std::expected<std::string, IoError> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    const std::error_code ec(errno ? errno : ENOENT, std::generic_category());
    return std::unexpected(IoError{ec, ec.message()});
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

struct Section {
  std::string name;
  std::string header;
  std::string der;
};

// Every PEM section of a file in order; text outside sections is skipped.
std::expected<std::vector<Section>, IoError> sections(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())),
                                                &BIO_free);
  std::vector<Section> out;
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    ERR_clear_error();
    if (!PEM_read_bio(bio.get(), &name, &header, &data, &length)) {
      const unsigned long code = ERR_peek_last_error();
      if (ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE) {
        ERR_clear_error();
        break;
      }
      return std::unexpected(failure(fmt::format("{}: {}", path, library_error())));
    }
    out.push_back(Section{name, header, std::string(reinterpret_cast<char*>(data), static_cast<std::size_t>(length))});
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
  }
  return out;
}

X509* parse_certificate(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

// A password prompt would block a transport thread: an encrypted key is refused instead.
int no_password(char*, int, int, void*) { return 0; }

}  // namespace

std::shared_ptr<Socket> tls::Identity::client(asio::ip::tcp::socket socket) const {
  return std::make_shared<TlsSocket>(std::move(socket), contexts_, false);
}

std::shared_ptr<Socket> tls::Identity::server(asio::ip::tcp::socket socket) const {
  return std::make_shared<TlsSocket>(std::move(socket), contexts_, true);
}

std::expected<std::vector<std::string>, IoError> tls::certificates(const std::string& path) {
  auto found = sections(path);
  if (!found) return std::unexpected(std::move(found.error()));
  std::vector<std::string> out;
  for (auto& section : *found) {
    if (section.name == "CERTIFICATE") out.push_back(std::move(section.der));
  }
  if (out.empty()) return std::unexpected(failure(fmt::format("{} holds no certificate", path)));
  return out;
}

std::expected<std::string, IoError> tls::private_key(const std::string& path) {
  auto found = sections(path);
  if (!found) return std::unexpected(std::move(found.error()));
  for (auto& section : *found) {
    if (section.name != "PRIVATE KEY" && section.name != "RSA PRIVATE KEY" && section.name != "EC PRIVATE KEY") {
      continue;
    }
    if (section.header.find("ENCRYPTED") != std::string::npos) {
      return std::unexpected(failure(fmt::format("{}: the private key is encrypted", path)));
    }
    return std::move(section.der);
  }
  return std::unexpected(failure(fmt::format("{} holds no private key", path)));
}

std::expected<tls::Identity, IoError> Tls::identity() const {
  const Tls& settings = *this;
  auto chain = tls::certificates(settings.cert);
  if (!chain) return std::unexpected(std::move(chain.error()));
  auto key_der = tls::private_key(settings.key);
  if (!key_der) return std::unexpected(std::move(key_der.error()));
  std::optional<std::vector<std::string>> roots;
  if (settings.ca) {
    auto read = tls::certificates(*settings.ca);
    if (!read) return std::unexpected(std::move(read.error()));
    roots = std::move(*read);
  }
  auto contexts = std::make_shared<tls::Contexts>();
  const auto* p = reinterpret_cast<const unsigned char*>(key_der->data());
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(key_der->size())), &EVP_PKEY_free);
  if (!key) return std::unexpected(failure(fmt::format("{}: {}", settings.key, library_error())));

  const bool verify_clients = roots && settings.require_client_cert;
  for (auto* ctx : {contexts->client.native_handle(), contexts->server.native_handle()}) {
    const bool client = ctx == contexts->client.native_handle();
    SSL_CTX_set_default_passwd_cb(ctx, &no_password);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    for (std::size_t i = 0; i < chain->size(); ++i) {
      std::unique_ptr<X509, decltype(&X509_free)> cert(parse_certificate((*chain)[i]), &X509_free);
      if (!cert) return std::unexpected(failure(fmt::format("{}: {}", settings.cert, library_error())));
      const int ok = i == 0 ? SSL_CTX_use_certificate(ctx, cert.get()) : SSL_CTX_add1_chain_cert(ctx, cert.get());
      if (ok != 1) return std::unexpected(failure(library_error()));
    }
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
      return std::unexpected(failure(library_error()));
    }
    if (roots && (client || verify_clients)) {
      X509_STORE* store = SSL_CTX_get_cert_store(ctx);
      for (const auto& der : *roots) {
        std::unique_ptr<X509, decltype(&X509_free)> cert(parse_certificate(der), &X509_free);
        if (!cert || X509_STORE_add_cert(store, cert.get()) != 1) {
          return std::unexpected(failure(fmt::format("{}: {}", *settings.ca, library_error())));
        }
      }
      // A chain to the CA is all that is checked: neither the name nor the key's purpose.
      X509_VERIFY_PARAM_set_purpose(SSL_CTX_get0_param(ctx), X509_PURPOSE_ANY);
      SSL_CTX_set_verify(ctx, client ? SSL_VERIFY_PEER : SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    } else {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
  }
  return tls::Identity(std::move(contexts));
}

}  // namespace vorel::net
