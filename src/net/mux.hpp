// Three flow-controlled streams of named envelopes over one connection's frames.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <optional>
#include <span>
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

// Envelopes queue in blocks of at most this size, and a queue that was empty starts with a block
// of at least the smaller size, so a quiet stream holds little. A block never moves once made: an
// output borrows the bytes it sends from the blocks, and keeps them alive, while later envelopes
// are appended behind; a queue that never empties drops its sent bytes a block at a time.
inline constexpr std::size_t kBlock = 262144;
inline constexpr std::size_t kFirstBlock = 4096;
// A borrowed slice shorter than this is copied into the output instead: a write of many tiny
// slices would cost more than the copy.
inline constexpr std::size_t kBorrowFrom = 1024;

using Block = std::shared_ptr<core::Bytes>;

// The bytes of one output in order, as slices: its own (frame headers, control frames, compressed
// chunks) and those borrowed from the queues' blocks, which it holds. The slices stay valid as long
// as the output, moved or not, and whatever the multiplexer does meanwhile.
class Output {
 public:
  Output() = default;
  // A copy would point into the original's own bytes.
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  Output(Output&&) = default;
  Output& operator=(Output&&) = default;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  std::span<const core::ByteView> pieces() const { return views_; }
  // All of the bytes in one array.
  core::Bytes bytes() const;

  // Appends a frame header, or a copy of bytes, to the output's own bytes.
  void header(std::uint8_t kind, std::uint16_t flags, std::uint32_t stream, std::uint32_t length);
  void copy(core::ByteView bytes);
  // Appends bytes that lie in `block`.
  void borrow(const Block& block, core::ByteView bytes);
  // Makes the slices; nothing is appended after it.
  void finish();

 private:
  // Where a slice lies: `own_` from `at` when `borrowed` is null.
  struct Part {
    const std::uint8_t* borrowed;
    std::size_t at;
    std::size_t size;
  };
  void owned_from(std::size_t at);

  core::Bytes own_;
  std::vector<Part> parts_;
  std::vector<Block> held_;
  std::vector<core::ByteView> views_;
  std::size_t size_ = 0;
};

struct Slot {
  std::deque<Block> blocks;       // envelopes queued for sending; each block but the last is full
  core::Bytes incoming;           // the length and name of the envelope still arriving, as they came
  core::Bytes arriving;           // its payload so far, in the buffer its record takes over
  std::uint64_t send_window = 0;  // bytes this side may still send
  std::uint64_t allowance = 0;    // bytes the peer may still send
  std::uint64_t taken = 0;        // front of the first block already cut into frames
  std::uint64_t credited = 0;     // bytes of the incomplete envelope in `incoming` already granted back
  std::uint64_t grant = 0;        // credit not yet sent to the peer
  std::uint64_t queued = 0;       // bytes in `blocks`

  std::uint64_t unsent() const { return queued - taken; }
  // Bytes of the envelope still arriving.
  std::uint64_t partial() const { return incoming.size() + arriving.size(); }
  // Bytes the blocks take up, sent or not.
  std::uint64_t stored() const;
  // Appends bytes at the end of the queue; `more` bytes of the same envelope follow, so that a new
  // block can take the whole of it.
  void queue(core::ByteView bytes, std::uint64_t more);
  // Hands the next `size` unsent bytes to `out` and marks them sent.
  void take(Output& out, std::uint64_t size);
  // The next `size` unsent bytes in one piece: borrowed from the queue when they lie in one block,
  // else gathered into `scratch`.
  core::ByteView peek(std::uint64_t size, core::Bytes& scratch) const;
  // Marks the next `size` unsent bytes sent, letting go of the blocks they emptied.
  void advance(std::uint64_t size);
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
  mux::Output outgoing();
  // The same in one array.
  core::Bytes output() { return outgoing().bytes(); }
  // The envelopes this frame completed, in order, or the text that ends the connection.
  std::expected<std::vector<mux::Record>, std::string> receive(const Frame& frame);
  // The same for a piece of a Data frame; the first piece of a frame stands for the whole of it
  // against the stream's allowance.
  std::expected<std::vector<mux::Record>, std::string> receive(const frame::Piece& piece);
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
  // Appends a Data frame of the next `size` unsent bytes of the slot, compressed when that pays.
  void append_chunk(mux::Output& out, std::uint32_t stream, mux::Slot& slot, std::uint64_t size);
  std::expected<void, std::string> check_length(std::uint32_t length, std::uint32_t stream) const;
  // Cuts the whole envelopes at the front of `bytes` into records: how many bytes they took.
  std::expected<std::size_t, std::string> cut(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                               std::vector<mux::Record>& records);
  // Feeds the envelope still arriving (or starts one) from the front of `bytes`, making its record
  // once whole: how many bytes it took.
  std::expected<std::size_t, std::string> complete(mux::Slot& slot, std::uint32_t stream, core::ByteView bytes,
                                                   std::vector<mux::Record>& records);

  std::array<mux::Slot, 3> slots_;
  core::Bytes control_;
  // Where a chunk to compress is gathered when it spans two blocks.
  core::Bytes scratch_;
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
