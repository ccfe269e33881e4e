// Small builders shared by the replication tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/node.hpp"
#include "core/pages.hpp"
#include "core/replication/stamp.hpp"
#include "testing/ids.hpp"

namespace vorel::core::replication::sample {

// The shared test node `n`, without its address when `addressed` is false.
inline NodeId node(std::uint8_t n, bool addressed = true) {
  NodeId id = testing::id(n);
  if (!addressed) id.address.reset();
  return id;
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
