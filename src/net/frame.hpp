// The unit that travels on a connection: a 12-byte header, then the payload of a Data frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "core/bytes.hpp"

namespace vorel::net {

struct Frame {
  struct Data {
    core::Bytes payload;
    std::uint32_t stream = 0;
    bool compressed = false;
    friend bool operator==(const Data&, const Data&) = default;
  };
  struct Window {
    std::uint32_t stream = 0;
    std::uint32_t credit = 0;
    friend bool operator==(const Window&, const Window&) = default;
  };
  struct Ping {
    friend bool operator==(const Ping&, const Ping&) = default;
  };
  struct Pong {
    friend bool operator==(const Pong&, const Pong&) = default;
  };
  struct Close {
    friend bool operator==(const Close&, const Close&) = default;
  };

  std::variant<Data, Window, Ping, Pong, Close> value;

  // Appends the whole frame. A Data payload of 2^32 bytes or more is a fault of the caller.
  void write(core::Bytes& out) const;

  friend bool operator==(const Frame&, const Frame&) = default;
};

namespace frame {

inline constexpr std::size_t kHeader = 12;
inline constexpr std::uint8_t kVersion = 2;
// Wire kinds: not in the order of the variants.
inline constexpr std::uint8_t kData = 0;
inline constexpr std::uint8_t kWindow = 1;
inline constexpr std::uint8_t kPing = 2;
inline constexpr std::uint8_t kClose = 3;
inline constexpr std::uint8_t kPong = 4;
inline constexpr std::uint16_t kCompressed = 0x0010;

void header(core::Bytes& out, std::uint8_t kind, std::uint16_t flags, std::uint32_t stream, std::uint32_t length);

// Turns received bytes back into frames. Bytes are decoded in place and moved to the front only
// now and then, so a stream of small frames costs no quadratic copying. The payload of a Data frame
// that has not fully arrived when its header is decoded is filled in place by later appends, so its
// bytes are copied once instead of into the buffer and again out of it.
class Decoder {
 public:
  explicit Decoder(std::uint64_t frame_limit) : frame_limit_(frame_limit) {}

  // Appends received bytes; a buffer decoded to its end is first reused from its start.
  void append(core::ByteView bytes);
  // A frame, none when the buffer does not yet hold a whole one (nothing consumed), or the text
  // of a broken frame sequence, after which the connection ends.
  std::expected<std::optional<Frame>, std::string> frame();

  std::size_t position() const { return position_; }
  std::size_t filled() const { return buffer_.size(); }
  std::uint64_t frame_limit() const { return frame_limit_; }

 private:
  struct Header {
    std::uint8_t version;
    std::uint8_t kind;
    std::uint16_t flags;
    std::uint32_t stream;
    std::uint32_t length;

    static Header of(const std::uint8_t* bytes);
    bool data() const { return kind == kData && (flags == 0 || flags == kCompressed); }
  };

  void compact();
  // Starts filling the payload of the Data frame of this header with the bytes that arrived.
  void fill(const Header& h, core::ByteView arrived);

  core::Bytes buffer_;
  std::size_t position_ = 0;
  std::uint64_t frame_limit_;
  // A Data frame whose header is decoded and whose payload is still arriving: it takes the bytes
  // appended before anything goes to `buffer_`.
  std::optional<Frame::Data> filling_;
  std::size_t lacking_ = 0;
};

}  // namespace frame
}  // namespace vorel::net
