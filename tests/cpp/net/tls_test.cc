#include "net/tls.hpp"

#include <gtest/gtest.h>

#include "net/endpoint.hpp"
#include "net/live.hpp"
#include "net/pki.hpp"
#include "net/support.hpp"

namespace vorel::net {
namespace {

using testing::Cert;
using testing::Files;
using testing::Key;
using testing::Pki;
using testing::text;

endpoint::Config config(std::optional<Tls> tls) {
  endpoint::Config c;
  c.cluster = "test";
  c.listen = "127.0.0.1:0";
  c.limits.frame = 16384;
  c.limits.message = 1 << 20;
  c.limits.window = 65536;
  c.limits.handshake_timeout = std::chrono::seconds(2);
  c.limits.redial_first = std::chrono::milliseconds(20);
  c.tls = std::move(tls);
  return c;
}

std::unique_ptr<Endpoint> start(testing::Threads& threads, endpoint::Config c) {
  auto started = Endpoint::start(threads.executor(), std::move(c));
  if (!started) {
    ADD_FAILURE() << started.error().text;
    return nullptr;
  }
  return std::move(*started);
}

void close(testing::Threads& threads, std::unique_ptr<Endpoint>& e) {
  threads.run<bool>([&]() -> asio::awaitable<bool> {
    co_await e->close(true);
    co_return true;
  });
}

TEST(Tls, NodesWithOneCaExchangeEnvelopes) {
  testing::Threads threads;
  Pki pki;
  auto a = start(threads, config(pki.settings()));
  auto b = start(threads, config(pki.settings()));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->sender().send(pool::Target::node(b->sender().node()), "membership", text("secret")).has_value());
  auto got = threads.run<endpoint::Next>([&] { return b->recv(); });
  ASSERT_TRUE(got && *got && std::holds_alternative<endpoint::Received>(**got));
  EXPECT_EQ(std::get<endpoint::Received>(**got).payload, text("secret"));
  EXPECT_EQ(std::get<endpoint::Received>(**got).from, a->sender().node());
  ASSERT_TRUE(b->sender().send(pool::Target::node(a->sender().node()), "replication", text("back")).has_value());
  auto back = threads.run<endpoint::Next>([&] { return a->recv(); });
  ASSERT_TRUE(back && *back && std::holds_alternative<endpoint::Received>(**back));
  EXPECT_EQ(std::get<endpoint::Received>(**back).payload, text("back"));
  close(threads, a);
  close(threads, b);
}

TEST(Tls, CertificateOfAnotherCaIsRefused) {
  testing::Threads threads;
  Pki ours;
  Pki theirs;
  testing::Peers unreached;
  auto c = config(ours.settings());
  c.peer = unreached.callback();
  auto a = start(threads, std::move(c));
  auto b = start(threads, config(theirs.settings()));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->sender().send(pool::Target::node(b->sender().node()), "membership", text("x")).has_value());
  EXPECT_TRUE(testing::eventually([&] { return unreached.count() >= 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(a->pool().traffic().connections, 0u);
  EXPECT_EQ(b->pool().traffic().connections, 0u);
  close(threads, a);
  close(threads, b);
}

TEST(Tls, WithoutCaAnyServerCertificateIsAccepted) {
  testing::Threads threads;
  Pki one;
  Pki other;
  auto a = start(threads, config(Tls{one.cert_file, one.key_file, std::nullopt, true}));
  auto b = start(threads, config(Tls{other.cert_file, other.key_file, std::nullopt, true}));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->sender().send(pool::Target::node(b->sender().node()), "membership", text("x")).has_value());
  auto got = threads.run<endpoint::Next>([&] { return b->recv(); });
  ASSERT_TRUE(got && *got && std::holds_alternative<endpoint::Received>(**got));
  close(threads, a);
  close(threads, b);
}

TEST(Tls, IdentityFilesAreReadByTheirSections) {
  Pki pki;
  // A certificate file that also holds a key, and a key file with a certificate first and two keys.
  Key second;
  const auto cert = pki.files.write("mixed-cert.pem", pki.node_key.pem() + pki.node.pem());
  const auto key = pki.files.write("mixed-key.pem", pki.node.pem() + pki.node_key.pem() + second.pem());
  auto chain = tls::certificates(cert);
  ASSERT_TRUE(chain.has_value());
  EXPECT_EQ(chain->size(), 1u);
  EXPECT_TRUE((Tls{cert, key, pki.ca_file, true}.identity().has_value()));
  auto first = tls::private_key(key);
  auto only = tls::private_key(pki.key_file);
  ASSERT_TRUE(first && only);
  EXPECT_EQ(*first, *only);
}

TEST(Tls, IdentityErrors) {
  Pki pki;
  const auto empty = pki.files.write("empty.pem", "no pem here\n");
  const auto encrypted = pki.files.write("encrypted.pem", pki.node_key.pem(EVP_aes_128_cbc()));
  const auto missing = pki.files.path("missing.pem");

  auto no_file = Tls{missing, pki.key_file, std::nullopt, false}.identity();
  ASSERT_FALSE(no_file.has_value());
  EXPECT_EQ(no_file.error().text, std::error_code(ENOENT, std::generic_category()).message());
  EXPECT_EQ(no_file.error().text.find(missing), std::string::npos);

  auto no_ca = Tls{pki.cert_file, pki.key_file, empty, true}.identity();
  ASSERT_FALSE(no_ca.has_value());
  EXPECT_EQ(no_ca.error().text, empty + " holds no certificate");

  auto no_key = Tls{pki.cert_file, pki.cert_file, std::nullopt, false}.identity();
  ASSERT_FALSE(no_key.has_value());
  EXPECT_EQ(no_key.error().text, pki.cert_file + " holds no private key");

  // An encrypted key is refused at once instead of asking for a password on the terminal.
  auto locked = Tls{pki.cert_file, encrypted, std::nullopt, false}.identity();
  ASSERT_FALSE(locked.has_value());
  EXPECT_EQ(locked.error().text, encrypted + ": the private key is encrypted");

  // A key that does not belong to the certificate.
  Key stranger;
  const auto wrong = pki.files.write("wrong.pem", stranger.pem());
  EXPECT_FALSE((Tls{pki.cert_file, wrong, std::nullopt, false}.identity().has_value()));

  // An endpoint does not start without its identity.
  testing::Threads threads;
  auto started = Endpoint::start(threads.executor(), config(Tls{missing, pki.key_file, std::nullopt, false}));
  EXPECT_FALSE(started.has_value());
}

}  // namespace
}  // namespace vorel::net
