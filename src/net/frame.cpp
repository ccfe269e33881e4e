#include "net/frame.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "core/invariant.hpp"

namespace vorel::net {

namespace frame {
namespace {

void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t get32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Past this much consumed prefix the rest may be moved to the front, and only when the prefix
// is more than half of the buffer, so each byte is moved a bounded number of times.
constexpr std::size_t kCompactAfter = 65536;

}  // namespace

Decoder::Header Decoder::Header::of(const std::uint8_t* h) {
  return Header{h[0], h[1], static_cast<std::uint16_t>((h[2] << 8) | h[3]), get32(h + 4), get32(h + 8)};
}

void header(core::Bytes& out, std::uint8_t kind, std::uint16_t flags, std::uint32_t stream, std::uint32_t length) {
  std::uint8_t h[kHeader];
  h[0] = kVersion;
  h[1] = kind;
  h[2] = static_cast<std::uint8_t>(flags >> 8);
  h[3] = static_cast<std::uint8_t>(flags);
  put32(h + 4, stream);
  put32(h + 8, length);
  out.insert(out.end(), h, h + kHeader);
}

void Decoder::keep() {
  if (lent_.empty()) return;
  if (unread() == 0) {
    buffer_.clear();
    position_ = 0;
  }
  buffer_.insert(buffer_.end(), lent_.begin(), lent_.end());
  lent_ = {};
}

void Decoder::append(core::ByteView bytes) {
  keep();
  if (position_ != 0 && position_ == buffer_.size()) {
    buffer_.clear();
    position_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void Decoder::lend(core::ByteView bytes) {
  keep();
  if (position_ != 0 && position_ == buffer_.size()) {
    buffer_.clear();
    position_ = 0;
  }
  lent_ = bytes;
}

const std::uint8_t* Decoder::contiguous(std::size_t n) {
  if (unread() >= n) return buffer_.data() + position_;
  if (unread() == 0 && lent_.size() >= n) return lent_.data();
  if (unread() == 0) {
    buffer_.clear();
    position_ = 0;
  }
  const std::size_t take = std::min(n - unread(), lent_.size());
  buffer_.insert(buffer_.end(), lent_.begin(), lent_.begin() + static_cast<std::ptrdiff_t>(take));
  lent_ = lent_.subspan(take);
  return unread() >= n ? buffer_.data() + position_ : nullptr;
}

core::ByteView Decoder::front(std::size_t n) const {
  if (unread() > 0) return core::ByteView(buffer_).subspan(position_, std::min(n, unread()));
  return lent_.first(std::min(n, lent_.size()));
}

void Decoder::consume(std::size_t n) {
  const std::size_t held = std::min(n, unread());
  position_ += held;
  lent_ = lent_.subspan(n - held);
}

void Decoder::compact() {
  if (position_ > kCompactAfter && buffer_.size() < 2 * position_) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = 0;
  }
}

std::expected<std::optional<Decoder::Item>, std::string> Decoder::step() {
  // What the last call handed out has been used by now, so the buffer may move.
  compact();
  if (open_) {
    const core::ByteView bytes = front(open_->length - open_->offset);
    if (bytes.empty()) return std::nullopt;
    const Piece piece{bytes, open_->stream, false, open_->length, open_->offset, false};
    consume(bytes.size());
    open_->offset += bytes.size();
    if (open_->offset == open_->length) open_.reset();
    return piece;
  }
  const std::uint8_t* h = contiguous(kHeader);
  if (h == nullptr) return std::nullopt;
  const Header header = Header::of(h);
  const auto [version, kind, flags, stream, length] = header;

  if (version != kVersion) return std::unexpected(fmt::format("unknown frame version {}", version));
  if (kind == kWindow) {
    // The length field of a Window is its credit, so the frame limit does not apply.
    if (flags != 0 || length == 0) return std::unexpected(std::string("malformed window update"));
    consume(kHeader);
    return Frame{Frame::Window{stream, length}};
  }
  // Checked from the header alone: an oversized frame is refused before its payload is buffered.
  if (length > frame_limit_) {
    return std::unexpected(fmt::format("frame of {} bytes exceeds {}", length, frame_limit_));
  }
  if (kind == kData && flags == 0) {
    // Handed on as it arrives, the first piece with the header.
    consume(kHeader);
    const core::ByteView bytes = front(length);
    consume(bytes.size());
    if (bytes.size() < length) open_ = Open{stream, length, bytes.size()};
    return Piece{bytes, stream, false, length, 0, true};
  }
  const std::uint8_t* whole = contiguous(kHeader + std::size_t{length});
  if (whole == nullptr) return std::nullopt;
  const std::uint8_t* body = whole + kHeader;
  const bool bare = flags == 0 && length == 0;
  Item item{Frame{Frame::Close{}}};
  // A payload that a Close carries is dropped.
  if (header.data()) {
    item = Piece{core::ByteView(body, length), stream, true, length, 0, true};
  } else if (kind == kPing && bare) {
    item = Frame{Frame::Ping{}};
  } else if (kind == kPong && bare) {
    item = Frame{Frame::Pong{}};
  } else if (kind != kClose || flags != 0) {
    // Consumed all the same: the caller ends the connection on any error.
    consume(kHeader + std::size_t{length});
    return std::unexpected(fmt::format("unknown frame type {} with flags {:#x}", kind, flags));
  }
  consume(kHeader + std::size_t{length});
  return item;
}

std::optional<Frame> Decoder::gather(const Piece& piece) {
  if (piece.first) {
    gathering_.emplace(Frame::Data{core::Bytes(), piece.stream, piece.compressed});
    // The length is within the frame limit, so the payload may be held in full at once.
    gathering_->payload.reserve(piece.length);
  }
  gathering_->payload.insert(gathering_->payload.end(), piece.bytes.begin(), piece.bytes.end());
  if (!piece.last()) return std::nullopt;
  Frame whole{std::move(*gathering_)};
  gathering_.reset();
  return whole;
}

std::expected<std::optional<Decoder::Item>, std::string> Decoder::next() {
  for (;;) {
    auto item = step();
    if (!item || !*item || !gathering_) return item;
    // Only the frame being gathered can be open.
    if (auto whole = gather(std::get<Piece>(**item))) return Item{std::move(*whole)};
  }
}

std::expected<std::optional<Frame>, std::string> Decoder::frame() {
  for (;;) {
    auto item = step();
    if (!item) return std::unexpected(std::move(item.error()));
    if (!*item) return std::nullopt;
    std::optional<Frame> whole;
    if (auto* f = std::get_if<Frame>(&**item)) {
      whole = std::move(*f);
    } else {
      whole = gather(std::get<Piece>(**item));
      if (!whole) continue;
    }
    compact();
    return whole;
  }
}

}  // namespace frame

void Frame::write(core::Bytes& out) const {
  struct Writer {
    core::Bytes& out;
    void operator()(const Data& d) const {
      if (d.payload.size() > 0xffffffffu) core::broken("a frame is bounded well below four gigabytes");
      frame::header(out, frame::kData, d.compressed ? frame::kCompressed : 0, d.stream,
                    static_cast<std::uint32_t>(d.payload.size()));
      out.insert(out.end(), d.payload.begin(), d.payload.end());
    }
    void operator()(const Window& w) const { frame::header(out, frame::kWindow, 0, w.stream, w.credit); }
    void operator()(const Ping&) const { frame::header(out, frame::kPing, 0, 0, 0); }
    void operator()(const Pong&) const { frame::header(out, frame::kPong, 0, 0, 0); }
    void operator()(const Close&) const { frame::header(out, frame::kClose, 0, 0, 0); }
  };
  std::visit(Writer{out}, value);
}

}  // namespace vorel::net
