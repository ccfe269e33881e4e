// The one shape of the records a store keeps for a key: ["Tag", {field: value, ...}].
#pragma once

#include <string_view>
#include <utility>

#include "core/wire.hpp"

namespace vorel::core {

// Reads a record tagged `tag` for its one field `field`, whose value `read` (wire::Reading& ->
// msgpack::Result<T>) reads. Every other field is skipped whole; a repeated field takes its last
// value, as in every record of the system; a missing one gives T{}. A record of another tag is
// Marker 0x00. Bytes after the record are not looked at.
template <class T, class Read>
msgpack::Result<T> tagged_field(ByteView bytes, std::string_view tag, std::string_view field, Read&& read) {
  wire::Reading reading(bytes);
  auto head = reading.tagged();
  if (!head) return std::unexpected(head.error());
  if (head->first != tag) return std::unexpected(msgpack::Malformed::marker(0x00));
  T value{};
  for (std::uint64_t i = 0; i < head->second; ++i) {
    auto key = reading.read_str();
    if (!key) return std::unexpected(key.error());
    if (*key == field) {
      auto got = read(reading);
      if (!got) return std::unexpected(got.error());
      value = std::move(*got);
    } else if (auto skipped = reading.skip(); !skipped) {
      return std::unexpected(skipped.error());
    }
  }
  return value;
}

}  // namespace vorel::core
