#include "net/connection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <fmt/format.h>

#include "net/stream_io.hpp"
#include "net/task.hpp"

namespace vorel::net {

namespace {

using Clock = std::chrono::steady_clock;

class PlainSocket final : public Socket {
 public:
  explicit PlainSocket(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

  asio::awaitable<std::error_code> handshake() override { co_return std::error_code{}; }

  asio::awaitable<std::pair<std::error_code, std::size_t>> read(std::span<std::uint8_t> into) override {
    return stream_io::read(socket_, into);
  }

  asio::awaitable<std::error_code> write(core::ByteView bytes) override { return stream_io::write(socket_, bytes); }

  asio::awaitable<std::error_code> write_gathered(std::span<const core::ByteView> pieces) override {
    return stream_io::write_gathered(socket_, pieces);
  }

  void shutdown_send() override {
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }

  void close() override {
    std::error_code ignored;
    socket_.close(ignored);
  }

 private:
  asio::ip::tcp::socket socket_;
};

core::Bytes close_frame() {
  core::Bytes out;
  Frame{Frame::Close{}}.write(out);
  return out;
}

}  // namespace

asio::awaitable<std::error_code> Socket::write_gathered(std::span<const core::ByteView> pieces) {
  core::Bytes bytes;
  for (const auto piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
  co_return co_await write(bytes);
}

std::pair<std::string, std::string> host_and_port(const std::string& address) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) return {address, ""};
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return {host, address.substr(colon + 1)};
}

std::shared_ptr<Socket> plain_socket(asio::ip::tcp::socket socket) {
  return std::make_shared<PlainSocket>(std::move(socket));
}

Greeting::Greeting(Strand strand, std::shared_ptr<Socket> socket, const Limits& limits, std::uint64_t min_bytes,
                   std::shared_ptr<connection::Bytes> traffic)
    : strand_(std::move(strand)),
      mux_(limits, min_bytes),
      decoder_(limits.frame),
      limits_(limits),
      socket_(std::move(socket)),
      traffic_(std::move(traffic)) {}

asio::awaitable<std::expected<void, Broken>> Greeting::say(handshake::Message message) {
  const auto encoded = handshake::encode(message);
  if (auto queued = mux_.send(mux::kHandshake, encoded.name, encoded.payload); !queued) {
    co_return std::unexpected(Broken{Broken::Kind::Protocol, std::move(queued.error())});
  }
  const core::Bytes out = mux_.output();
  if (auto ec = co_await socket_->write(out)) co_return std::unexpected(Broken{Broken::Kind::Io, ec.message()});
  traffic_->sent += out.size();
  co_return std::expected<void, Broken>{};
}

asio::awaitable<std::expected<handshake::Message, Broken>> Greeting::hear() {
  core::Bytes buffer(connection::kReadBuffer);
  for (;;) {
    auto next = decoder_.frame();
    if (!next) co_return std::unexpected(Broken{Broken::Kind::Protocol, std::move(next.error())});
    if (!*next) {
      auto [ec, n] = co_await socket_->read(buffer);
      if (ec == asio::error::eof || (!ec && n == 0)) co_return std::unexpected(Broken{Broken::Kind::Closed, {}});
      if (ec) co_return std::unexpected(Broken{Broken::Kind::Io, ec.message()});
      traffic_->received += n;
      decoder_.append(core::ByteView(buffer.data(), n));
      continue;
    }
    if (std::holds_alternative<Frame::Close>((*next)->value)) {
      co_return std::unexpected(Broken{Broken::Kind::Closed, {}});
    }
    auto records = mux_.receive(**next);
    if (!records) co_return std::unexpected(Broken{Broken::Kind::Protocol, std::move(records.error())});
    if (records->empty()) continue;
    // Records completed by the same frame behind the first are dropped: a dialer says one hello
    // and nothing else until it has heard the answer.
    const auto& first = records->front();
    if (first.stream != mux::kHandshake) {
      co_return std::unexpected(Broken{Broken::Kind::Protocol,
                                       fmt::format("envelope on stream {} before the handshake", first.stream)});
    }
    mux_.consume(first);
    auto message = handshake::decode(first.name, first.payload);
    if (!message) co_return std::unexpected(Broken{Broken::Kind::Protocol, std::move(message.error())});
    co_return std::move(*message);
  }
}

asio::awaitable<void> Greeting::reject(Greeting greeting, handshake::Message message) {
  (void)co_await greeting.say(message);
  (void)co_await greeting.socket_->write(close_frame());
  greeting.socket_->shutdown_send();
  greeting.socket_->close();
}

std::shared_ptr<Connection> Greeting::run(Greeting greeting, core::NodeId node, IncomingChannel::Sender incoming) {
  auto connection = std::make_shared<Connection>(std::move(node), greeting.strand_, greeting.socket_,
                                                 std::move(greeting.mux_), greeting.traffic_);
  const Limits limits = greeting.limits_;
  // Each task keeps its connection up while it runs; the one that fails ends it for all three.
  auto end = [connection] { connection->end(); };
  asio::co_spawn(
      greeting.strand_, [connection]() -> asio::awaitable<void> { co_await connection->write(); }, on_failure(end));
  asio::co_spawn(
      greeting.strand_,
      [connection, decoder = std::move(greeting.decoder_),
       incoming = std::move(incoming)]() mutable -> asio::awaitable<void> {
        co_await connection->read(std::move(decoder), std::move(incoming));
      },
      on_failure(end));
  asio::co_spawn(
      greeting.strand_,
      [connection, limits]() -> asio::awaitable<void> {
        co_await connection->watch(limits.ping_after, limits.silence_limit);
      },
      on_failure(end));
  return connection;
}

Connection::Connection(core::NodeId node, Strand strand, std::shared_ptr<Socket> socket, Mux mux,
                       std::shared_ptr<connection::Bytes> traffic)
    : node_(std::move(node)),
      strand_(strand),
      socket_(std::move(socket)),
      traffic_(std::move(traffic)),
      mux_(std::move(mux)),
      keepalive_(strand),
      heard_(Clock::now()) {}

void Connection::end() {
  if (!over_.set()) return;
  ready_.notify();
  // The socket and the keep-alive timer belong to the strand; closing them there aborts the
  // reader's read and the writer's write wherever they are.
  asio::post(strand_, [self = shared_from_this()] {
    self->socket_->close();
    self->keepalive_.cancel();
  });
}

void Connection::send(std::string_view name, core::ByteView payload) {
  const bool queued = held([&](Mux& mux) { return mux.send(mux::stream_of(name), name, payload).has_value(); });
  if (!queued) {
    end();
    return;
  }
  ready_.notify();
}

void Connection::consume(const mux::Record& record) {
  held([&](Mux& mux) { mux.consume(record); });
  ready_.notify();
}

void Connection::drain() {
  draining_ = true;
  ready_.notify();
}

asio::awaitable<void> Connection::write() {
  for (;;) {
    if (over_.is_set()) co_return;
    // The data of the output stays in the queues' blocks, which it holds, and goes to the socket
    // from there.
    const mux::Output out = held([](Mux& mux) { return mux.outgoing(); });
    if (!out.empty()) {
      const auto ec = co_await socket_->write_gathered(out.pieces());
      if (over_.is_set()) co_return;
      if (ec) {
        end();
        co_return;
      }
      traffic_->sent += out.size();
      continue;
    }
    if (draining_) {
      (void)co_await socket_->write(close_frame());
      socket_->shutdown_send();
      co_return;
    }
    co_await ready_.wait();
  }
}

asio::awaitable<void> Connection::read(frame::Decoder decoder, IncomingChannel::Sender incoming) {
  core::Bytes buffer(connection::kReadBuffer);
  for (bool stop = false; !stop;) {
    auto next = decoder.next();
    if (!next) break;
    if (*next) {
      const auto* whole = std::get_if<Frame>(&**next);
      if (whole != nullptr && std::holds_alternative<Frame::Close>(whole->value)) break;
      auto records = held([&](Mux& mux) {
        return whole != nullptr ? mux.receive(*whole) : mux.receive(std::get<frame::Piece>(**next));
      });
      if (!records) break;
      for (auto& record : *records) {
        // A second handshake message after the handshake is a broken peer.
        if (record.stream == mux::kHandshake ||
            !incoming.send(Incoming{Incoming::Record{std::move(record), shared_from_this()}})) {
          stop = true;
          break;
        }
      }
      continue;
    }
    // Everything the last read held is decoded: its credit and Pong replies go out together.
    ready_.notify();
    auto [ec, n] = co_await socket_->read(buffer);
    if (over_.is_set() || ec || n == 0) break;
    heard_ = Clock::now();
    traffic_->received += n;
    // Lent, not copied: the buffer is read into again only once the decoder has given back all of it.
    decoder.lend(core::ByteView(buffer.data(), n));
  }
  end();
  incoming.release();
}

asio::awaitable<void> Connection::watch(std::chrono::nanoseconds ping_after, std::chrono::nanoseconds silence_limit) {
  std::error_code ec;
  for (;;) {
    if (over_.is_set()) co_return;
    keepalive_.expires_at(heard_ + ping_after);
    co_await keepalive_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (over_.is_set()) co_return;
    const auto pinged = Clock::now();
    if (pinged < heard_ + ping_after) continue;
    held([](Mux& mux) { mux.ping(); });
    ready_.notify();
    keepalive_.expires_at(pinged + silence_limit);
    co_await keepalive_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (over_.is_set()) co_return;
    if (heard_ >= pinged) continue;
    end();
    co_return;
  }
}

}  // namespace vorel::net
