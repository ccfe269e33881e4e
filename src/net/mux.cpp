#include "net/mux.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "core/invariant.hpp"

namespace vorel::net {

namespace mux {

std::uint32_t stream_of(std::string_view name) { return name == "replication" ? kReplication : kEnvelopes; }

}  // namespace mux

namespace {

std::optional<std::size_t> index_of(std::uint32_t stream) {
  switch (stream) {
    case mux::kHandshake: return 0;
    case mux::kEnvelopes: return 1;
    case mux::kReplication: return 2;
    default: return std::nullopt;
  }
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::uint64_t mux::held_limit(const Limits& limits) {
  constexpr std::uint64_t kFloor = 64ull << 20;
  const std::uint64_t largest = saturating_add(limits.message, 256 + 4);
  if (largest <= kFloor / 4) return kFloor;
  return largest > std::numeric_limits<std::uint64_t>::max() / 4 ? std::numeric_limits<std::uint64_t>::max()
                                                                  : 4 * largest;
}

void mux::Output::owned_from(std::size_t at) {
  const std::size_t n = own_.size() - at;
  if (n == 0) return;
  size_ += n;
  // Own bytes that follow own bytes make one slice.
  if (!parts_.empty() && parts_.back().borrowed == nullptr && parts_.back().at + parts_.back().size == at) {
    parts_.back().size += n;
    return;
  }
  parts_.push_back(Part{nullptr, at, n});
}

void mux::Output::header(std::uint8_t kind, std::uint16_t flags, std::uint32_t stream, std::uint32_t length) {
  const std::size_t at = own_.size();
  frame::header(own_, kind, flags, stream, length);
  owned_from(at);
}

void mux::Output::copy(core::ByteView bytes) {
  const std::size_t at = own_.size();
  own_.insert(own_.end(), bytes.begin(), bytes.end());
  owned_from(at);
}

void mux::Output::borrow(const Block& block, core::ByteView bytes) {
  if (bytes.size() < kBorrowFrom) {
    copy(bytes);
    return;
  }
  if (held_.empty() || held_.back() != block) held_.push_back(block);
  parts_.push_back(Part{bytes.data(), 0, bytes.size()});
  size_ += bytes.size();
}

void mux::Output::finish() {
  // Only now, since `own_` may have moved while it grew.
  views_.reserve(parts_.size());
  for (const auto& part : parts_) {
    views_.push_back(part.borrowed != nullptr ? core::ByteView(part.borrowed, part.size)
                                              : core::ByteView(own_).subspan(part.at, part.size));
  }
}

core::Bytes mux::Output::bytes() const {
  core::Bytes out;
  out.reserve(size_);
  for (const auto view : views_) out.insert(out.end(), view.begin(), view.end());
  return out;
}

std::uint64_t mux::Slot::stored() const {
  std::uint64_t total = 0;
  for (const auto& block : blocks) total += block->capacity();
  return total;
}

void mux::Slot::queue(core::ByteView bytes, std::uint64_t more) {
  queued += bytes.size();
  while (!bytes.empty()) {
    if (blocks.empty() || blocks.back()->size() == blocks.back()->capacity()) {
      const std::uint64_t last = blocks.empty() ? 0 : blocks.back()->capacity();
      const std::uint64_t size =
          std::min<std::uint64_t>(kBlock, std::max({std::uint64_t{kFirstBlock}, 2 * last, bytes.size() + more}));
      blocks.push_back(std::make_shared<core::Bytes>());
      blocks.back()->reserve(size);
    }
    // Within its capacity a block never moves, so bytes an output borrows from it stay put.
    core::Bytes& back = *blocks.back();
    const std::size_t n = std::min(bytes.size(), back.capacity() - back.size());
    back.insert(back.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
  }
}

core::ByteView mux::Slot::peek(std::uint64_t size, core::Bytes& scratch) const {
  const core::Bytes& first = *blocks.front();
  if (first.size() - taken >= size) return core::ByteView(first).subspan(taken, size);
  scratch.clear();
  std::uint64_t at = taken;
  for (const auto& block : blocks) {
    const std::size_t n = std::min<std::uint64_t>(block->size() - at, size - scratch.size());
    scratch.insert(scratch.end(), block->begin() + static_cast<std::ptrdiff_t>(at),
                   block->begin() + static_cast<std::ptrdiff_t>(at + n));
    at = 0;
    if (scratch.size() == size) break;
  }
  return scratch;
}

void mux::Slot::take(Output& out, std::uint64_t size) {
  std::uint64_t left = size;
  std::uint64_t at = taken;
  for (std::size_t i = 0; left > 0; ++i) {
    const Block& block = blocks[i];
    const std::uint64_t n = std::min<std::uint64_t>(left, block->size() - at);
    out.borrow(block, core::ByteView(*block).subspan(at, n));
    left -= n;
    at = 0;
  }
  advance(size);
}

void mux::Slot::advance(std::uint64_t size) {
  taken += size;
  // A sent block goes, though an output may still hold it, unless it is the last one and has room
  // for the envelopes to come.
  while (!blocks.empty()) {
    const core::Bytes& front = *blocks.front();
    if (taken < front.size() || (blocks.size() == 1 && front.size() < front.capacity())) break;
    taken -= front.size();
    queued -= front.size();
    blocks.pop_front();
  }
}

Mux::Mux(const Limits& limits, std::uint64_t min_bytes)
    : limits_(limits), min_bytes_(min_bytes), held_limit_(mux::held_limit(limits)) {
  for (auto& slot : slots_) {
    slot.send_window = limits.window;
    slot.allowance = limits.window;
  }
}

const mux::Slot& Mux::slot(std::uint32_t stream) const {
  const auto index = index_of(stream);
  if (!index) core::broken("a stream this side writes to is one of its own");
  return slots_[*index];
}

std::uint64_t Mux::held() const {
  std::uint64_t total = 0;
  for (const auto& slot : slots_) total += slot.unsent();
  return total;
}

std::expected<void, std::string> Mux::send(std::uint32_t stream, std::string_view name, core::ByteView payload) {
  const auto index = index_of(stream);
  if (!index) core::broken("a stream this side writes to is one of its own");
  if (name.size() > 255) core::broken("an envelope name fits in 255 bytes");
  const std::uint64_t length = 1 + std::uint64_t{name.size()} + payload.size();
  if (length > 0xffffffffu) core::broken("an envelope is bounded well below four gigabytes");
  const std::uint64_t held_now = held();
  if (jammed_ || held_now + 4 + length > held_limit_) {
    jammed_ = true;
    return std::unexpected(
        fmt::format("{} unsent bytes and {} more exceed the bound of {}", held_now, 4 + length, held_limit_));
  }
  auto& slot = slots_[*index];
  const std::uint8_t head[5] = {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                                static_cast<std::uint8_t>(name.size())};
  slot.queue(core::ByteView(head, sizeof head), name.size() + payload.size());
  slot.queue(core::view_of(name), payload.size());
  slot.queue(payload, 0);
  return {};
}

void Mux::ping() {
  if (ping_waiting_) return;
  Frame{Frame::Ping{}}.write(control_);
  ping_waiting_ = true;
}

void Mux::append_chunk(mux::Output& out, std::uint32_t stream, mux::Slot& slot, std::uint64_t size) {
  if (codec_ && size >= min_bytes_) {
    const core::ByteView chunk = slot.peek(size, scratch_);
    core::Bytes packed = codec_->compress(chunk);
    // Only a saving of at least one byte is worth the receiver's decompression.
    if (packed.size() < chunk.size()) {
      out.header(frame::kData, frame::kCompressed, stream, static_cast<std::uint32_t>(packed.size()));
      out.copy(packed);
      slot.advance(size);
      return;
    }
  }
  out.header(frame::kData, 0, stream, static_cast<std::uint32_t>(size));
  slot.take(out, size);
}

mux::Output Mux::outgoing() {
  mux::Output out;
  out.copy(control_);
  control_.clear();
  ping_waiting_ = false;
  pong_waiting_ = false;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    auto& slot = slots_[i];
    const std::uint32_t stream = mux::kStreams[i];
    // Credit travels in 32 bits; more than that at once never happens with a window below 2^32,
    // but splitting costs nothing and keeps the peer's view exact.
    while (slot.grant > 0) {
      const auto credit = static_cast<std::uint32_t>(std::min<std::uint64_t>(slot.grant, 0xffffffffu));
      out.header(frame::kWindow, 0, stream, credit);
      slot.allowance = saturating_add(slot.allowance, credit);
      slot.grant -= credit;
    }
    while (slot.send_window > 0 && slot.unsent() > 0) {
      const std::uint64_t size = std::min({slot.send_window, slot.unsent(), limits_.frame});
      append_chunk(out, stream, slot, size);
      slot.send_window -= size;
    }
  }
  out.finish();
  return out;
}

std::expected<void, std::string> Mux::check_length(std::uint32_t length, std::uint32_t stream) const {
  if (length == 0 || length > saturating_add(limits_.message, 256)) {
    return std::unexpected(fmt::format("envelope of {} bytes on stream {}", length, stream));
  }
  return {};
}

std::expected<std::size_t, std::string> Mux::cut(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                                 std::vector<mux::Record>& records) {
  std::size_t offset = 0;
  while (bytes.size() - offset >= 4) {
    const std::uint32_t length = be32(bytes.data() + offset);
    if (auto checked = check_length(length, stream); !checked) return std::unexpected(std::move(checked.error()));
    if (bytes.size() - offset - 4 < length) break;
    const std::uint8_t* body = bytes.data() + offset + 4;
    const std::uint32_t name_length = body[0];
    if (name_length + 1 > length || length - 1 - name_length > limits_.message) {
      return std::unexpected(fmt::format("malformed envelope on stream {}", stream));
    }
    const core::ByteView name(body + 1, name_length);
    if (!core::valid_utf8(name)) return std::unexpected(fmt::format("envelope name is not UTF-8 on stream {}", stream));
    const std::uint8_t* payload = body + 1 + name_length;
    records.push_back(mux::Record{std::string(core::text_of(name)),
                                  core::Bytes(payload, payload + (length - 1 - name_length)),
                                  std::uint64_t{length} + 4 - slot.credited, stream});
    slot.credited = 0;
    offset += 4 + std::size_t{length};
  }
  return offset;
}

std::expected<std::size_t, std::string> Mux::complete(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                                      std::vector<mux::Record>& records) {
  std::size_t used = 0;
  const auto gather = [&](core::Bytes& into, std::uint64_t wanted) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, bytes.size() - used));
    into.insert(into.end(), bytes.begin() + static_cast<std::ptrdiff_t>(used),
                bytes.begin() + static_cast<std::ptrdiff_t>(used + n));
    used += n;
    return n == wanted;
  };
  // The length and the name first, a few bytes kept aside.
  if (slot.incoming.size() < 4 && !gather(slot.incoming, 4 - slot.incoming.size())) return used;
  const std::uint32_t length = be32(slot.incoming.data());
  if (auto checked = check_length(length, stream); !checked) return std::unexpected(std::move(checked.error()));
  if (slot.incoming.size() < 5 && !gather(slot.incoming, 1)) return used;
  const std::uint32_t name_length = slot.incoming[4];
  if (name_length + 1 > length || length - 1 - name_length > limits_.message) {
    // Refused once whole, as one that arrives in a single frame is; the length is bounded.
    if (!gather(slot.incoming, 4 + std::uint64_t{length} - slot.incoming.size())) return used;
    return std::unexpected(fmt::format("malformed envelope on stream {}", stream));
  }
  if (slot.incoming.size() < 5 + name_length && !gather(slot.incoming, 5 + name_length - slot.incoming.size())) {
    return used;
  }
  // Then the payload, straight into the record's own buffer: a large envelope that spans frames
  // is copied once, not kept aside and copied again when it is whole.
  const std::uint64_t size = length - 1 - name_length;
  if (slot.arriving.empty()) slot.arriving.reserve(size);
  if (!gather(slot.arriving, size - slot.arriving.size())) return used;
  const core::ByteView name(slot.incoming.data() + 5, name_length);
  if (!core::valid_utf8(name)) return std::unexpected(fmt::format("envelope name is not UTF-8 on stream {}", stream));
  records.push_back(mux::Record{std::string(core::text_of(name)), std::exchange(slot.arriving, core::Bytes()),
                                std::uint64_t{length} + 4 - slot.credited, stream});
  slot.credited = 0;
  slot.incoming.clear();
  return used;
}

std::expected<std::vector<mux::Record>, std::string> Mux::receive(const frame::Piece& piece) {
  std::vector<mux::Record> records;
  const auto index = index_of(piece.stream);
  if (!index) return std::unexpected(fmt::format("unknown stream {}", piece.stream));
  auto& slot = slots_[*index];
  core::ByteView payload = piece.bytes;
  core::Bytes inflated;
  if (piece.compressed) {
    if (!codec_) return std::unexpected(std::string("compressed frame on a connection without compression"));
    auto result = codec_->decompress(payload, limits_.frame);
    if (!result) return std::unexpected(std::move(result.error()));
    inflated = std::move(*result);
    payload = inflated;
  }
  if (piece.first) {
    // A raw frame is weighed whole by its first piece, before any of its envelopes goes on.
    const std::uint64_t size = piece.compressed ? payload.size() : piece.length;
    if (size > slot.allowance) return std::unexpected(fmt::format("stream {} exceeded its window", piece.stream));
    slot.allowance -= size;
  }
  // An envelope in progress takes only the bytes it lacks; what follows it is cut straight from
  // the piece, and an incomplete tail starts the next one, so every byte is copied once into its
  // record.
  std::size_t used = 0;
  if (slot.partial() > 0) {
    auto took = complete(slot, piece.stream, payload, records);
    if (!took) return std::unexpected(std::move(took.error()));
    used = *took;
  }
  if (slot.partial() == 0 && used < payload.size()) {
    const core::ByteView rest = payload.subspan(used);
    auto cut_now = cut(slot, piece.stream, rest, records);
    if (!cut_now) return std::unexpected(std::move(cut_now.error()));
    if (*cut_now < rest.size()) {
      auto took = complete(slot, piece.stream, rest.subspan(*cut_now), records);
      if (!took) return std::unexpected(std::move(took.error()));
    }
  }
  // The bytes of an envelope still arriving go back at once, so an envelope larger than the
  // window always completes; a complete one is credited only when the node takes it.
  if (slot.partial() > slot.credited) {
    slot.grant += slot.partial() - slot.credited;
    slot.credited = slot.partial();
  }
  return records;
}

std::expected<std::vector<mux::Record>, std::string> Mux::receive(const Frame& frame) {
  if (const auto* data = std::get_if<Frame::Data>(&frame.value)) {
    return receive(frame::Piece{data->payload, data->stream, data->compressed, data->payload.size(), 0, true});
  }
  std::vector<mux::Record> records;
  if (const auto* window = std::get_if<Frame::Window>(&frame.value)) {
    const auto index = index_of(window->stream);
    if (!index) return std::unexpected(fmt::format("unknown stream {}", window->stream));
    auto& slot = slots_[*index];
    slot.send_window = saturating_add(slot.send_window, window->credit);
    return records;
  }
  if (std::holds_alternative<Frame::Ping>(frame.value) && !pong_waiting_) {
    Frame{Frame::Pong{}}.write(control_);
    pong_waiting_ = true;
  }
  return records;
}

void Mux::consume(const mux::Record& record) {
  const auto index = index_of(record.stream);
  if (!index) core::broken("a record comes from a stream of this mux");
  slots_[*index].grant += record.credit;
}

}  // namespace vorel::net
