#include "net/mux.hpp"

#include <algorithm>
#include <limits>

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

namespace {

// A sent prefix of `outgoing` this long is dropped even while unsent bytes follow it, so a queue
// that never quite drains does not keep every byte it ever sent.
constexpr std::uint64_t kShiftAfter = 65536;

}  // namespace

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
  auto& out = slots_[*index].outgoing;
  const std::uint8_t head[5] = {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                                static_cast<std::uint8_t>(name.size())};
  out.insert(out.end(), head, head + sizeof head);
  const auto name_bytes = core::view_of(name);
  out.insert(out.end(), name_bytes.begin(), name_bytes.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return {};
}

void Mux::ping() {
  if (ping_waiting_) return;
  Frame{Frame::Ping{}}.write(control_);
  ping_waiting_ = true;
}

void Mux::append_chunk(core::Bytes& out, std::uint32_t stream, core::ByteView chunk) {
  if (codec_ && chunk.size() >= min_bytes_) {
    core::Bytes packed = codec_->compress(chunk);
    // Only a saving of at least one byte is worth the receiver's decompression.
    if (packed.size() < chunk.size()) {
      frame::header(out, frame::kData, frame::kCompressed, stream, static_cast<std::uint32_t>(packed.size()));
      out.insert(out.end(), packed.begin(), packed.end());
      return;
    }
  }
  frame::header(out, frame::kData, 0, stream, static_cast<std::uint32_t>(chunk.size()));
  out.insert(out.end(), chunk.begin(), chunk.end());
}

core::Bytes Mux::output() {
  core::Bytes out;
  out.swap(control_);
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
      append_chunk(out, stream, core::ByteView(slot.outgoing).subspan(slot.taken, size));
      slot.taken += size;
      slot.send_window -= size;
    }
    if (slot.taken == slot.outgoing.size()) {
      slot.outgoing.clear();
      slot.taken = 0;
    } else if (slot.taken > kShiftAfter && slot.taken * 2 >= slot.outgoing.size()) {
      slot.outgoing.erase(slot.outgoing.begin(), slot.outgoing.begin() + static_cast<std::ptrdiff_t>(slot.taken));
      slot.taken = 0;
    }
  }
  return out;
}

std::expected<std::size_t, std::string> Mux::cut(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                                 std::vector<mux::Record>& records) {
  const std::uint64_t largest = saturating_add(limits_.message, 256);
  std::size_t offset = 0;
  while (bytes.size() - offset >= 4) {
    const std::uint32_t length = be32(bytes.data() + offset);
    if (length == 0 || length > largest) {
      return std::unexpected(fmt::format("envelope of {} bytes on stream {}", length, stream));
    }
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
    if (slot.incoming.empty()) {
      // Cut straight from the frame and keep only the incomplete tail: most frames carry whole
      // envelopes, which then are copied once.
      auto used = cut(slot, data->stream, payload, records);
      if (!used) return std::unexpected(std::move(used.error()));
      slot.incoming.assign(payload.begin() + static_cast<std::ptrdiff_t>(*used), payload.end());
    } else {
      slot.incoming.insert(slot.incoming.end(), payload.begin(), payload.end());
      auto used = cut(slot, data->stream, slot.incoming, records);
      if (!used) return std::unexpected(std::move(used.error()));
      slot.incoming.erase(slot.incoming.begin(), slot.incoming.begin() + static_cast<std::ptrdiff_t>(*used));
    }
    // The bytes of an envelope still arriving go back at once, so an envelope larger than the
    // window always completes; a complete one is credited only when the node takes it.
    if (slot.incoming.size() > slot.credited) {
      slot.grant += slot.incoming.size() - slot.credited;
      slot.credited = slot.incoming.size();
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
