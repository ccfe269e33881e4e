// The transport's size limits and fixed durations, shared by every connection of a node.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>

namespace vorel::net {

struct Limits {
  // Largest Data frame payload, compressed or not, and the bound of every decompressed chunk.
  std::uint64_t frame = 0;
  // Largest envelope payload.
  std::uint64_t message = 0;
  // Initial send and receive window of every stream.
  std::uint64_t window = 0;
  // The durations are not configurable; the node always runs with these.
  std::chrono::nanoseconds ping_after = std::chrono::seconds(15);
  std::chrono::nanoseconds silence_limit = std::chrono::seconds(5);
  std::chrono::nanoseconds handshake_timeout = std::chrono::seconds(5);
  std::chrono::nanoseconds connect_timeout = std::chrono::seconds(5);
  std::chrono::nanoseconds redial_first = std::chrono::milliseconds(100);
  std::chrono::nanoseconds redial_limit = std::chrono::seconds(15);

  // Whether the three sizes fit the wire: a payload length, a credit and an envelope length each
  // travel in 32 bits, and a zero frame or window would stall every stream for good.
  std::expected<void, std::string> checked() const;

  friend bool operator==(const Limits&, const Limits&) = default;
};

}  // namespace vorel::net
