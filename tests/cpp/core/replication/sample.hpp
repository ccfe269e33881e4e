// Small builders shared by the replication tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/stamp.hpp"

namespace vorel::core::replication::sample {

// A node whose incarnation ends in `n`, with an address unless `addressed` is false.
inline NodeId node(std::uint8_t n, bool addressed = true) {
  Incarnation inc{};
  inc[15] = n;
  return NodeId{addressed ? std::optional<std::string>("10.0.0." + std::to_string(n) + ":7000") : std::nullopt, inc};
}

inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes filled(std::size_t n, std::uint8_t value = 'x') { return Bytes(n, value); }

inline Pages pages(std::initializer_list<std::pair<std::string, std::string>> items) {
  Pages out;
  for (const auto& [name, content] : items) out.insert_or_assign(name, bytes(content));
  return out;
}

inline Stamp stamp(std::uint64_t round, const NodeId& node, std::uint64_t version) {
  return Stamp{Epoch{round, node}, version};
}

}  // namespace vorel::core::replication::sample
