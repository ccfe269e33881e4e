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

void mux::Slot::queue(core::ByteView bytes) {
  queued += bytes.size();
  while (!bytes.empty()) {
    core::Bytes* back = later.empty() ? &outgoing : &later.back();
    // The first block grows as a vector does, so a quiet stream holds little; the next ones are
    // whole blocks from the start.
    if (back->size() >= kBlock) {
      later.push_back(std::exchange(spare, core::Bytes()));
      later.back().clear();
      later.back().reserve(kBlock);
      back = &later.back();
    }
    const std::size_t n = std::min(bytes.size(), kBlock - std::min(kBlock, back->size()));
    back->insert(back->end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
  }
}

core::ByteView mux::Slot::peek(std::uint64_t size, core::Bytes& scratch) const {
  if (outgoing.size() - taken >= size) return core::ByteView(outgoing).subspan(taken, size);
  scratch.clear();
  scratch.insert(scratch.end(), outgoing.begin() + static_cast<std::ptrdiff_t>(taken), outgoing.end());
  for (const auto& block : later) {
    const std::size_t n = std::min<std::uint64_t>(block.size(), size - scratch.size());
    scratch.insert(scratch.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    if (scratch.size() == size) break;
  }
  return scratch;
}

void mux::Slot::take(core::Bytes& out, std::uint64_t size) {
  std::uint64_t left = size;
  std::uint64_t at = taken;
  const core::Bytes* block = &outgoing;
  for (std::size_t next = 0; left > 0;) {
    const std::uint64_t n = std::min<std::uint64_t>(left, block->size() - at);
    out.insert(out.end(), block->begin() + static_cast<std::ptrdiff_t>(at),
               block->begin() + static_cast<std::ptrdiff_t>(at + n));
    left -= n;
    at = 0;
    if (left > 0) block = &later[next++];
  }
  advance(size);
}

void mux::Slot::advance(std::uint64_t size) {
  taken += size;
  while (taken >= outgoing.size() && !later.empty()) {
    taken -= outgoing.size();
    queued -= outgoing.size();
    spare = std::move(outgoing);
    outgoing = std::move(later.front());
    later.pop_front();
  }
  if (taken == outgoing.size()) {
    queued -= outgoing.size();
    outgoing.clear();
    taken = 0;
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
  slot.queue(core::ByteView(head, sizeof head));
  slot.queue(core::view_of(name));
  slot.queue(payload);
  return {};
}

void Mux::ping() {
  if (ping_waiting_) return;
  Frame{Frame::Ping{}}.write(control_);
  ping_waiting_ = true;
}

void Mux::append_chunk(core::Bytes& out, std::uint32_t stream, mux::Slot& slot, std::uint64_t size) {
  if (codec_ && size >= min_bytes_) {
    const core::ByteView chunk = slot.peek(size, scratch_);
    core::Bytes packed = codec_->compress(chunk);
    // Only a saving of at least one byte is worth the receiver's decompression.
    if (packed.size() < chunk.size()) {
      frame::header(out, frame::kData, frame::kCompressed, stream, static_cast<std::uint32_t>(packed.size()));
      out.insert(out.end(), packed.begin(), packed.end());
      slot.advance(size);
      return;
    }
  }
  frame::header(out, frame::kData, 0, stream, static_cast<std::uint32_t>(size));
  slot.take(out, size);
}

std::uint64_t Mux::output_size() const {
  std::uint64_t size = control_.size();
  for (const auto& slot : slots_) {
    size += frame::kHeader * ((slot.grant + 0xfffffffeu) / 0xffffffffu);
    const std::uint64_t sendable = std::min(slot.send_window, slot.unsent());
    // A compressed chunk is used only when it is smaller, so the raw size bounds every chunk.
    size += sendable + frame::kHeader * ((sendable + limits_.frame - 1) / limits_.frame);
  }
  return size;
}

core::Bytes Mux::output() {
  core::Bytes out;
  // One allocation of the whole output: grown by doubling instead, a window of data passes through
  // buffers of twice its size, and each of them is a fresh mapping to fault in.
  out.reserve(output_size());
  out.insert(out.end(), control_.begin(), control_.end());
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
      frame::header(out, frame::kWindow, 0, stream, credit);
      slot.allowance = saturating_add(slot.allowance, credit);
      slot.grant -= credit;
    }
    while (slot.send_window > 0 && slot.unsent() > 0) {
      const std::uint64_t size = std::min({slot.send_window, slot.unsent(), limits_.frame});
      append_chunk(out, stream, slot, size);
      slot.send_window -= size;
    }
  }
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

std::expected<std::vector<mux::Record>, std::string> Mux::receive(const Frame& frame) {
  std::vector<mux::Record> records;
  if (const auto* data = std::get_if<Frame::Data>(&frame.value)) {
    const auto index = index_of(data->stream);
    if (!index) return std::unexpected(fmt::format("unknown stream {}", data->stream));
    auto& slot = slots_[*index];
    core::ByteView payload(data->payload);
    core::Bytes inflated;
    if (data->compressed) {
      if (!codec_) return std::unexpected(std::string("compressed frame on a connection without compression"));
      auto result = codec_->decompress(payload, limits_.frame);
      if (!result) return std::unexpected(std::move(result.error()));
      inflated = std::move(*result);
      payload = inflated;
    }
    if (payload.size() > slot.allowance) {
      return std::unexpected(fmt::format("stream {} exceeded its window", data->stream));
    }
    slot.allowance -= payload.size();
    // An envelope in progress takes only the bytes it lacks; what follows it is cut straight from
    // the frame, and an incomplete tail starts the next one, so every byte is copied once into
    // its record.
    std::size_t used = 0;
    if (slot.partial() > 0) {
      auto took = complete(slot, data->stream, payload, records);
      if (!took) return std::unexpected(std::move(took.error()));
      used = *took;
    }
    if (slot.partial() == 0 && used < payload.size()) {
      const core::ByteView rest = payload.subspan(used);
      auto cut_now = cut(slot, data->stream, rest, records);
      if (!cut_now) return std::unexpected(std::move(cut_now.error()));
      if (*cut_now < rest.size()) {
        auto took = complete(slot, data->stream, rest.subspan(*cut_now), records);
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
