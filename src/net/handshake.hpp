// The first message of each side of a connection: who dials, who answers, and the codec they share.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/node.hpp"
#include "core/wire.hpp"
#include "net/compress.hpp"

namespace vorel::net::handshake {

inline constexpr std::string_view kHello = "hello";
inline constexpr std::string_view kHelloAck = "hello-ack";
inline constexpr std::string_view kHelloReject = "hello-reject";
inline constexpr std::string_view kHelloDuplicate = "hello-duplicate";

struct Hello {
  std::string cluster;
  core::NodeId node;
  // The sender's preference order, first preferred.
  std::vector<compress::Name> codecs;
  std::uint64_t frame = 0;
  std::uint64_t message = 0;
  std::uint64_t window = 0;
  friend bool operator==(const Hello&, const Hello&) = default;
};

struct HelloAck {
  core::NodeId node;
  std::optional<compress::Name> codec;
  friend bool operator==(const HelloAck&, const HelloAck&) = default;
};

struct HelloReject {
  std::string reason;
  friend bool operator==(const HelloReject&, const HelloReject&) = default;
};

struct HelloDuplicate {
  friend bool operator==(const HelloDuplicate&, const HelloDuplicate&) = default;
};

using Message = std::variant<Hello, HelloAck, HelloReject, HelloDuplicate>;

struct Encoded {
  std::string_view name;  // the envelope's name
  core::Bytes payload;
};

Encoded encode(const Message& message);
// The message, or "malformed handshake message {:?}" for its wire name.
std::expected<Message, std::string> decode(std::string_view name, core::ByteView payload);
// The acceptor's check of a hello: the ack to send, or the reason to refuse it.
std::expected<HelloAck, std::string> answer(const Hello& theirs, const Hello& ours);

// An address (nil or str) then an incarnation (bin of exactly 16 bytes); none for another shape.
std::optional<core::NodeId> read_node(core::wire::Reading& reader);
// A positive fixint or an unsigned integer form; none for a signed form, even of a positive value.
std::optional<std::uint64_t> size(core::wire::Reading& reader);

}  // namespace vorel::net::handshake
