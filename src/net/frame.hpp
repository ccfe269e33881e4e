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

// Payload bytes of a Data frame handed on without being copied: borrowed from the decoder and
// valid until its next call. An uncompressed frame comes in one or more pieces as its bytes arrive,
// the first as soon as its header is there (perhaps with no bytes yet); a compressed one comes in a
// single piece once whole, since it decompresses only as a whole.
struct Piece {
  core::ByteView bytes;
  std::uint32_t stream = 0;
  bool compressed = false;
  std::uint64_t length = 0;  // of the frame's whole payload
  std::uint64_t offset = 0;  // of these bytes in that payload
  bool first = false;        // the piece that comes with the header, perhaps empty

  bool last() const { return offset + bytes.size() == length; }
};

// Turns received bytes back into frames. Bytes are decoded in place and moved to the front only
// now and then, so a stream of small frames costs no quadratic copying.
class Decoder {
 public:
  using Item = std::variant<Frame, Piece>;

  explicit Decoder(std::uint64_t frame_limit) : frame_limit_(frame_limit) {}

  // Appends a copy of received bytes; a buffer decoded to its end is first reused from its start.
  void append(core::ByteView bytes);
  // Lends received bytes instead: they must stay as they are until `next` or `frame` has returned
  // none. Only a split header and the frames that are not uncompressed Data are ever copied out of
  // them, so the payload bytes go from the read straight to where the caller puts them.
  void lend(core::ByteView bytes);
  // A frame, none when the bytes received do not yet hold a whole one, or the text of a broken
  // frame sequence, after which the connection ends.
  std::expected<std::optional<Frame>, std::string> frame();
  // As `frame`, but the payload of a Data frame comes as pieces (a frame that `frame` had begun
  // to gather still comes whole).
  std::expected<std::optional<Item>, std::string> next();

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
  // The uncompressed Data frame whose payload is being handed on.
  struct Open {
    std::uint32_t stream;
    std::uint64_t length;
    std::uint64_t offset;
  };

  // The next frame or piece, borrowing from the buffer or the lent bytes.
  std::expected<std::optional<Item>, std::string> step();
  // Undecoded bytes held in `buffer_`, which come before the lent ones.
  std::size_t unread() const { return buffer_.size() - position_; }
  // The next `n` undecoded bytes in one piece, gathered into `buffer_` when they are split between
  // it and the lent bytes; null, with every lent byte kept, when fewer have arrived.
  const std::uint8_t* contiguous(std::size_t n);
  // At most `n` of the next undecoded bytes that lie in one piece.
  core::ByteView front(std::size_t n) const;
  void consume(std::size_t n);
  // Copies the lent bytes not yet decoded into `buffer_`.
  void keep();
  void compact();
  // Adds a piece to the frame `frame` gathers: the whole frame once this was its last piece.
  std::optional<Frame> gather(const Piece& piece);

  core::Bytes buffer_;
  std::size_t position_ = 0;
  core::ByteView lent_;
  std::uint64_t frame_limit_;
  std::optional<Open> open_;
  std::optional<Frame::Data> gathering_;
};

}  // namespace frame
}  // namespace vorel::net
