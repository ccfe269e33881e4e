#include "net/connection.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include <asio/strand.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "net/live.hpp"
#include "net/support.hpp"

namespace vorel::net {
namespace {

using testing::B;
using testing::kBound;
using testing::text;

Limits limits() {
  Limits l;
  l.frame = 16384;
  l.message = 1 << 20;
  l.window = 65536;
  return l;
}

core::NodeId node(std::uint8_t tag) {
  core::Incarnation inc;
  inc.fill(tag);
  return core::NodeId{"127.0.0.1:" + std::to_string(7000 + tag), inc};
}

handshake::Hello hello(std::uint8_t tag) {
  const auto l = limits();
  return handshake::Hello{"test", node(tag), {compress::Name::Zstd}, l.frame, l.message, l.window};
}

// Both ends of one loopback socket as greetings, each on its own strand.
struct Pair {
  explicit Pair(testing::Threads& threads) {
    auto [d, a] = testing::socket_pair(threads.io());
    dialer.emplace(asio::make_strand(threads.executor()), plain_socket(std::move(d)), limits(), 64, traffic);
    acceptor.emplace(asio::make_strand(threads.executor()), plain_socket(std::move(a)), limits(), 64, traffic);
  }
  std::shared_ptr<connection::Bytes> traffic = std::make_shared<connection::Bytes>();
  std::optional<Greeting> dialer;
  std::optional<Greeting> acceptor;
};

// Takes `count` values off a channel, or fewer when it ends or the bound passes.
std::vector<Incoming> take(testing::Threads& threads, IncomingChannel::Receiver& in, std::size_t count) {
  auto got = threads.run<std::vector<Incoming>>([&]() -> asio::awaitable<std::vector<Incoming>> {
    std::vector<Incoming> out;
    while (out.size() < count) {
      auto value = co_await in.recv();
      if (!value) break;
      out.push_back(std::move(*value));
    }
    co_return out;
  });
  return got ? std::move(*got) : std::vector<Incoming>{};
}

// A connection started without a handshake on one end of a loopback pair; the test holds the
// other end as a raw socket.
struct Raw {
  Raw(testing::Threads& threads, const Limits& with = limits()) {
    auto [d, a] = testing::socket_pair(threads.io());
    peer = std::move(d);
    Greeting greeting(asio::make_strand(threads.executor()), plain_socket(std::move(a)), with, 64,
                      std::make_shared<connection::Bytes>());
    connection = Greeting::run(std::move(greeting), node(1), channel.first);
  }
  std::pair<IncomingChannel::Sender, IncomingChannel::Receiver> channel = IncomingChannel::make();
  std::optional<asio::ip::tcp::socket> peer;
  std::shared_ptr<Connection> connection;
};

TEST(Connection, HandshakeThenEnvelopesInOrderBothWays) {
  testing::Threads threads;
  Pair pair(threads);
  auto [to_dialer, dialer_in] = IncomingChannel::make();
  auto [to_acceptor, acceptor_in] = IncomingChannel::make();

  auto said = threads.run<bool>([&]() -> asio::awaitable<bool> {
    handshake::Message message = hello(1);
    auto result = co_await pair.dialer->say(std::move(message));
    co_return result.has_value();
  });
  ASSERT_TRUE(said && *said);
  auto heard = threads.run<std::expected<handshake::Message, Broken>>([&] { return pair.acceptor->hear(); });
  ASSERT_TRUE(heard && heard->has_value());
  ASSERT_EQ(std::get<handshake::Hello>(**heard), hello(1));
  auto acked = threads.run<bool>([&]() -> asio::awaitable<bool> {
    handshake::Message message = handshake::HelloAck{node(2), std::nullopt};
    auto result = co_await pair.acceptor->say(std::move(message));
    co_return result.has_value();
  });
  ASSERT_TRUE(acked && *acked);

  // The acceptor's first envelopes leave before the dialer reads its ack, so they arrive behind
  // the ack and must be decoded from the greeting's leftovers.
  auto accepted = Greeting::run(std::move(*pair.acceptor), node(1), to_acceptor);
  const auto before = pair.traffic->sent.load();
  accepted->send("membership", text("one"));
  accepted->send("replication", text("two"));
  accepted->send("membership", text("three"));
  ASSERT_TRUE(testing::eventually([&] { return pair.traffic->sent.load() > before; }));
  auto ack = threads.run<std::expected<handshake::Message, Broken>>([&] { return pair.dialer->hear(); });
  ASSERT_TRUE(ack && ack->has_value());
  EXPECT_EQ(std::get<handshake::HelloAck>(**ack).node, node(2));
  auto dialed = Greeting::run(std::move(*pair.dialer), node(2), to_dialer);

  const auto got = take(threads, dialer_in, 3);
  ASSERT_EQ(got.size(), 3u);
  std::vector<std::pair<std::string, B>> seen;
  for (const auto& in : got) {
    const auto& record = std::get<Incoming::Record>(in.value);
    EXPECT_EQ(record.connection, dialed);
    seen.emplace_back(record.record.name, record.record.payload);
    record.connection->consume(record.record);
  }
  // Order holds within a stream; "replication" has a stream of its own.
  std::erase_if(seen, [](const auto& s) { return s.first == "replication"; });
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, B>>{{"membership", text("one")}, {"membership", text("three")}}));
  EXPECT_EQ(std::count_if(got.begin(), got.end(),
                          [](const Incoming& in) {
                            const auto& r = std::get<Incoming::Record>(in.value).record;
                            return r.name == "replication" && r.payload == text("two") && r.stream == mux::kReplication;
                          }),
            1);

  // Many envelopes, larger than the window together, flow as credit returns.
  for (int i = 0; i < 200; ++i) dialed->send("actors", B(1000, static_cast<std::uint8_t>(i)));
  std::vector<Incoming> back;
  while (back.size() < 200) {
    auto more = take(threads, acceptor_in, 1);
    if (more.empty()) break;
    const auto& record = std::get<Incoming::Record>(more.front().value);
    record.connection->consume(record.record);
    back.push_back(std::move(more.front()));
  }
  ASSERT_EQ(back.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(std::get<Incoming::Record>(back[i].value).record.payload, B(1000, static_cast<std::uint8_t>(i)));
  }
  EXPECT_GT(pair.traffic->sent.load(), 200'000u);
  EXPECT_GT(pair.traffic->received.load(), 200'000u);

  dialed->end();
  EXPECT_TRUE(testing::eventually([&] { return accepted->is_over(); }));
  EXPECT_TRUE(dialed->is_over());
  back.clear();
  // Once both readers are gone, their senders are released; the test's own senders remain.
  to_dialer.release();
  EXPECT_TRUE(take(threads, dialer_in, 1).empty());
}

TEST(Connection, EnvelopeOnAnotherStreamBeforeTheHandshakeIsRefused) {
  testing::Threads threads;
  Pair pair(threads);
  auto [to_dialer, dialer_in] = IncomingChannel::make();
  // A connection started without a handshake sends its first envelope on stream 3.
  auto early = Greeting::run(std::move(*pair.dialer), node(2), to_dialer);
  early->send("membership", text("early"));
  auto heard = threads.run<std::expected<handshake::Message, Broken>>([&] { return pair.acceptor->hear(); });
  ASSERT_TRUE(heard && !heard->has_value());
  EXPECT_EQ(heard->error().kind, Broken::Kind::Protocol);
  EXPECT_EQ(heard->error().text, "envelope on stream 3 before the handshake");
  early->end();
}

TEST(Connection, RejectSaysTheReasonThenCloses) {
  testing::Threads threads;
  Pair pair(threads);
  threads.run<bool>([&]() -> asio::awaitable<bool> {
    handshake::Message message = handshake::HelloReject{"no"};
    co_await Greeting::reject(std::move(*pair.acceptor), std::move(message));
    co_return true;
  });
  auto first = threads.run<std::expected<handshake::Message, Broken>>([&] { return pair.dialer->hear(); });
  ASSERT_TRUE(first && first->has_value());
  EXPECT_EQ(std::get<handshake::HelloReject>(**first).reason, "no");
  auto second = threads.run<std::expected<handshake::Message, Broken>>([&] { return pair.dialer->hear(); });
  ASSERT_TRUE(second && !second->has_value());
  EXPECT_EQ(second->error().kind, Broken::Kind::Closed);
}

// A peer after the handshake sends raw bytes: each of these ends the connection.
class ConnectionEnds : public ::testing::TestWithParam<std::pair<const char*, B>> {};

TEST_P(ConnectionEnds, OnWhatThePeerSends) {
  testing::Threads threads;
  Raw raw(threads);
  asio::write(*raw.peer, asio::buffer(GetParam().second));
  EXPECT_TRUE(testing::eventually([&] { return raw.connection->is_over(); })) << GetParam().first;
}

B data_frame(std::uint32_t stream, const B& payload) {
  core::Bytes out;
  Frame{Frame::Data{payload, stream, false}}.write(out);
  return out;
}

B envelope(std::string_view name, const B& payload) {
  B out;
  const std::uint32_t length = static_cast<std::uint32_t>(1 + name.size() + payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
  out.push_back(static_cast<std::uint8_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

B close_frame() {
  core::Bytes out;
  Frame{Frame::Close{}}.write(out);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectionEnds,
    ::testing::Values(std::pair<const char*, B>{"close", close_frame()},
                      std::pair<const char*, B>{"handshake after handshake",
                                                data_frame(mux::kHandshake, envelope("hello", text("x")))},
                      std::pair<const char*, B>{"unknown stream", data_frame(7, envelope("x", text("x")))},
                      std::pair<const char*, B>{"bad version", B(12, 0xff)}));

TEST(Connection, PeerGoingAwayEndsItAndSendingAfterIsHarmless) {
  testing::Threads threads;
  Raw raw(threads);
  auto& connection = raw.connection;
  raw.peer->close();
  EXPECT_TRUE(testing::eventually([&] { return connection->is_over(); }));
  connection->send("membership", text("late"));
  connection->end();
  EXPECT_TRUE(connection->is_over());
  // Waiting after the end completes at once.
  EXPECT_TRUE(threads.run<bool>([&]() -> asio::awaitable<bool> {
    co_await connection->over().wait();
    co_return true;
  }));
}

TEST(Connection, TooMuchUnsentDataEndsTheConnection) {
  testing::Threads threads;
  Raw raw(threads);
  auto& connection = raw.connection;
  // The peer never grants credit, so everything past the window stays unsent.
  const B big(1 << 20, 7);
  for (int i = 0; i < 80 && !connection->is_over(); ++i) connection->send("actors", big);
  EXPECT_TRUE(connection->is_over());
}

TEST(Connection, SilentPeerIsPingedThenDropped) {
  testing::Threads threads;
  auto quick = limits();
  quick.ping_after = std::chrono::milliseconds(100);
  quick.silence_limit = std::chrono::milliseconds(100);
  Raw raw(threads, quick);
  auto& connection = raw.connection;
  B ping(frame::kHeader);
  asio::read(*raw.peer, asio::buffer(ping));
  frame::Decoder decoder(quick.frame);
  decoder.append(ping);
  auto got = decoder.frame();
  ASSERT_TRUE(got && *got);
  EXPECT_TRUE(std::holds_alternative<Frame::Ping>((*got)->value));
  EXPECT_FALSE(connection->is_over());
  EXPECT_TRUE(testing::eventually([&] { return connection->is_over(); }, std::chrono::seconds(5)));
}

// A socket that fails by an exception once armed, as a fault below the transport or an
// allocation that fails would; until then it passes everything to a plain socket.
class Faulty final : public Socket {
 public:
  enum class Side { Read, Write };
  Faulty(asio::ip::tcp::socket socket, Side side) : inner_(plain_socket(std::move(socket))), side_(side) {}

  void arm() { armed_ = true; }

  asio::awaitable<std::error_code> handshake() override { return inner_->handshake(); }
  asio::awaitable<std::pair<std::error_code, std::size_t>> read(std::span<std::uint8_t> into) override {
    if (fails(Side::Read)) throw std::runtime_error("a read that fails");
    co_return co_await inner_->read(into);
  }
  asio::awaitable<std::error_code> write(core::ByteView bytes) override {
    if (fails(Side::Write)) throw std::runtime_error("a write that fails");
    co_return co_await inner_->write(bytes);
  }
  void shutdown_send() override { inner_->shutdown_send(); }
  void close() override { inner_->close(); }

 private:
  bool fails(Side side) const { return armed_ && side_ == side; }

  std::shared_ptr<Socket> inner_;
  Side side_;
  std::atomic<bool> armed_{false};
};

// A connection task that ends by an exception ends its connection, and the pool that holds the
// connection reports its peer lost, as it would for a peer that went away.
class FailingTask : public ::testing::TestWithParam<Faulty::Side> {};

TEST_P(FailingTask, EndsItsConnectionAndThePeerIsReportedLost) {
  testing::Threads threads;
  testing::Peers peers;
  // No keep-alive ends the connection within the test's bounds: only the failure can.
  auto quiet = limits();
  quiet.ping_after = std::chrono::hours(1);
  quiet.silence_limit = std::chrono::hours(1);
  auto [to_node, in_node] = IncomingChannel::make();
  auto pool = std::make_shared<Pool>(threads.executor(),
                                     pool::Settings{hello(1), quiet, 64, std::nullopt, nullptr, peers.callback()}, to_node);
  auto [d, a] = testing::socket_pair(threads.io());
  auto faulty = std::make_shared<Faulty>(std::move(a), GetParam());
  pool->accept(faulty);

  // The test is the dialing peer: it says hello, hears the ack and starts its own connection.
  Greeting dialer(asio::make_strand(threads.executor()), plain_socket(std::move(d)), quiet, 64,
                  std::make_shared<connection::Bytes>());
  auto said = threads.run<bool>([&]() -> asio::awaitable<bool> {
    handshake::Message message = hello(2);
    co_return (co_await dialer.say(std::move(message))).has_value();
  });
  ASSERT_TRUE(said && *said);
  auto ack = threads.run<std::expected<handshake::Message, Broken>>([&] { return dialer.hear(); });
  ASSERT_TRUE(ack && ack->has_value() && std::holds_alternative<handshake::HelloAck>(**ack));
  auto [to_peer, in_peer] = IncomingChannel::make();
  auto peer = Greeting::run(std::move(dialer), node(1), to_peer);
  ASSERT_TRUE(testing::eventually([&] { return pool->traffic().connections == 1; }));

  faulty->arm();
  // Traffic both ways: the accepted side's next read, or its next write, meets the fault.
  peer->send("membership", text("to the pool"));
  pool->send(pool::Target::node(node(2)), "membership", text("to the peer"));
  EXPECT_TRUE(testing::eventually([&] { return peers.has(pool::Peer::Kind::Lost, node(2)); }));
  EXPECT_EQ(pool->traffic().connections, 0u);
  // The end closed the socket, so the peer's side ends too.
  EXPECT_TRUE(testing::eventually([&] { return peer->is_over(); }));
  pool->close(true);
}

INSTANTIATE_TEST_SUITE_P(Sides, FailingTask, ::testing::Values(Faulty::Side::Read, Faulty::Side::Write),
                         [](const auto& info) { return info.param == Faulty::Side::Read ? "Reader" : "Writer"; });

}  // namespace
}  // namespace vorel::net
