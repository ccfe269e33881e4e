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

void Decoder::append(core::ByteView bytes) {
  if (filling_ && lacking_ > 0) {
    const std::size_t take = std::min(lacking_, bytes.size());
    filling_->payload.insert(filling_->payload.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    lacking_ -= take;
    bytes = bytes.subspan(take);
    if (bytes.empty()) return;
  }
  if (position_ != 0 && position_ == buffer_.size()) {
    buffer_.clear();
    position_ = 0;
  }
  // Bytes that begin a Data frame on an empty buffer and end inside its payload go straight into
  // that payload; anything else is buffered and decoded, and refused, by `frame`.
  if (!filling_ && buffer_.empty() && bytes.size() >= kHeader) {
    const Header h = Header::of(bytes.data());
    if (h.version == kVersion && h.data() && h.length <= frame_limit_ && bytes.size() - kHeader < h.length) {
      fill(h, bytes.subspan(kHeader));
      return;
    }
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void Decoder::fill(const Header& h, core::ByteView arrived) {
  filling_.emplace(Frame::Data{core::Bytes(), h.stream, h.flags == kCompressed});
  // The length is within the frame limit, so the payload may be held in full at once.
  filling_->payload.reserve(h.length);
  filling_->payload.assign(arrived.begin(), arrived.end());
  lacking_ = h.length - arrived.size();
}

void Decoder::compact() {
  if (position_ > kCompactAfter && buffer_.size() < 2 * position_) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = 0;
  }
}

std::expected<std::optional<Frame>, std::string> Decoder::frame() {
  if (filling_) {
    if (lacking_ > 0) return std::nullopt;
    Frame filled{std::move(*filling_)};
    filling_.reset();
    return filled;
  }
  const std::size_t available = buffer_.size() - position_;
  if (available < kHeader) return std::nullopt;
  const std::uint8_t* h = buffer_.data() + position_;
  const Header header = Header::of(h);
  const auto [version, kind, flags, stream, length] = header;

  if (version != kVersion) return std::unexpected(fmt::format("unknown frame version {}", version));
  Frame decoded{Frame::Close{}};
  std::size_t size = kHeader;
  if (kind == kWindow) {
    // The length field of a Window is its credit, so the frame limit does not apply.
    if (flags != 0 || length == 0) return std::unexpected(std::string("malformed window update"));
    decoded.value = Frame::Window{stream, length};
  } else {
    // Checked from the header alone: an oversized frame is refused before its payload is buffered.
    if (length > frame_limit_) {
      return std::unexpected(fmt::format("frame of {} bytes exceeds {}", length, frame_limit_));
    }
    const std::uint8_t* body = h + kHeader;
    const bool data = header.data();
    if (available - kHeader < length) {
      if (!data) return std::nullopt;
      // The rest of the payload goes straight into it as it arrives.
      fill(header, core::ByteView(body, available - kHeader));
      position_ = buffer_.size();
      compact();
      return std::nullopt;
    }
    size += length;
    const bool bare = flags == 0 && length == 0;
    // The payload is copied before the buffer may be compacted under it; a payload that a Close
    // carries is dropped.
    if (data) {
      decoded.value = Frame::Data{core::Bytes(body, body + length), stream, flags == kCompressed};
    } else if (kind == kPing && bare) {
      decoded.value = Frame::Ping{};
    } else if (kind == kPong && bare) {
      decoded.value = Frame::Pong{};
    } else if (kind != kClose || flags != 0) {
      // Consumed all the same: the caller ends the connection on any error.
      position_ += size;
      compact();
      return std::unexpected(fmt::format("unknown frame type {} with flags {:#x}", kind, flags));
    }
  }
  position_ += size;
  compact();
  return decoded;
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
