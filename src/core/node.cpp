#include "core/node.hpp"

#include <algorithm>
#include <string_view>

namespace vorel::core {

namespace {
std::strong_ordering bytewise(std::string_view a, std::string_view b) {
  const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
  const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
  return std::lexicographical_compare_three_way(pa, pa + a.size(), pb, pb + b.size());
}
}  // namespace

std::strong_ordering operator<=>(const NodeId& a, const NodeId& b) {
  if (a.address.has_value() != b.address.has_value()) {
    return a.address.has_value() ? std::strong_ordering::greater : std::strong_ordering::less;
  }
  if (a.address) {
    if (auto c = bytewise(*a.address, *b.address); c != 0) return c;
  }
  return std::lexicographical_compare_three_way(a.incarnation.begin(), a.incarnation.end(), b.incarnation.begin(),
                                                b.incarnation.end());
}

std::size_t NodeId::hash() const {
  std::size_t h = address ? hash_mix(1, std::hash<std::string>{}(*address)) : 0;
  std::size_t inc = 0;
  for (auto b : incarnation) inc = inc * 131 + b;
  return hash_mix(h, inc);
}

std::size_t Target::hash() const {
  if (const auto* e = as_entity()) {
    std::size_t h = hash_mix(0, std::hash<std::string>{}(e->actor));
    return hash_mix(h, std::hash<std::string>{}(e->key));
  }
  const auto* r = as_reply();
  return hash_mix(hash_mix(1, r->node.hash()), std::hash<std::int64_t>{}(r->id));
}

}  // namespace vorel::core
