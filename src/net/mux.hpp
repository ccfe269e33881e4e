// Three flow-controlled streams of named envelopes over one connection's frames.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "net/compress.hpp"
#include "net/frame.hpp"
#include "net/limits.hpp"

namespace vorel::net {

namespace mux {

// Handshake messages travel on 1, "replication" on 5, every other envelope on 3; both sides use
// the same ids in both directions.
inline constexpr std::uint32_t kHandshake = 1;
inline constexpr std::uint32_t kEnvelopes = 3;
inline constexpr std::uint32_t kReplication = 5;
inline constexpr std::array<std::uint32_t, 3> kStreams{kHandshake, kEnvelopes, kReplication};

// Length field and name length byte in front of every envelope.
inline constexpr std::uint64_t kEnvelopeHeader = 5;

// The stream an envelope of this name goes on after the handshake.
std::uint32_t stream_of(std::string_view name);

// How many unsent bytes one connection may hold, all streams together: enough for four of the
// largest envelopes, and never less than 64 MiB.
std::uint64_t held_limit(const Limits& limits);

struct Record {
  std::string name;
  core::Bytes payload;
  // What goes back to the peer once the node has taken the record.
  std::uint64_t credit = 0;
  std::uint32_t stream = 0;
  friend bool operator==(const Record&, const Record&) = default;
};

struct Slot {
  core::Bytes outgoing;          // envelopes queued for sending
  core::Bytes incoming;          // received bytes not yet cut into envelopes
  std::uint64_t send_window = 0; // bytes this side may still send
  std::uint64_t allowance = 0;   // bytes the peer may still send
  std::uint64_t taken = 0;       // front of `outgoing` already cut into frames
  std::uint64_t credited = 0;    // bytes of the incomplete envelope in `incoming` already granted back
  std::uint64_t grant = 0;       // credit not yet sent to the peer

  std::uint64_t unsent() const { return outgoing.size() - taken; }
};

}  // namespace mux

// Per-connection state with no I/O and no locks: the connection serialises every call.
class Mux {
 public:
  Mux(const Limits& limits, std::uint64_t min_bytes);

  // Queues one envelope. A peer that gives no credit would otherwise make the queue grow without
  // end: past `mux::held_limit` unsent bytes the envelope is refused, and so is every later one,
  // so the stream never has a gap; the connection must then end, and the node learns of the lost
  // peer as of any other ended connection.
  std::expected<void, std::string> send(std::uint32_t stream, std::string_view name, core::ByteView payload);
  // Every frame that may go now: control frames, then per stream 1, 3, 5 its credit, then its data.
  core::Bytes output();
  // The envelopes this frame completed, in order, or the text that ends the connection.
  std::expected<std::vector<mux::Record>, std::string> receive(const Frame& frame);
  // Gives the credit of a record the node has taken back to its stream.
  void consume(const mux::Record& record);
  // Queues a keep-alive probe for the next output.
  void ping();

  void codec(std::optional<compress::Name> chosen) { codec_ = chosen; }
  std::optional<compress::Name> codec() const { return codec_; }
  const Limits& limits() const { return limits_; }
  const mux::Slot& slot(std::uint32_t stream) const;
  // Unsent bytes of all streams.
  std::uint64_t held() const;

 private:
  void append_chunk(core::Bytes& out, std::uint32_t stream, core::ByteView chunk);
  std::expected<std::size_t, std::string> cut(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                               std::vector<mux::Record>& records);

  std::array<mux::Slot, 3> slots_;
  core::Bytes control_;
  Limits limits_;
  std::uint64_t min_bytes_;
  std::optional<compress::Name> codec_;
  std::uint64_t held_limit_;
  // Set by a refused envelope: nothing after it may be sent on this connection.
  bool jammed_ = false;
  // At most one Ping and one Pong wait in `control`: a peer that floods Pings while it reads
  // nothing cannot make this side's memory grow.
  bool ping_waiting_ = false;
  bool pong_waiting_ = false;
};

}  // namespace vorel::net
