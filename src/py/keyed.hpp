// The hasher of a node's hash maps. Their keys come from Python code and from peers, so each map
// hashes with keys of its own drawn at random: no one can choose keys that all collide.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "core/node.hpp"
#include "core/siphash.hpp"

namespace vorel::py {

// (actor type, key): one entity of a node.
using Entity = std::pair<std::string, std::string>;

// Compares an entity with one given as two views, so that a lookup copies no text.
struct SameEntity {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return std::string_view(a.first) == std::string_view(b.first) &&
           std::string_view(a.second) == std::string_view(b.second);
  }
};

class Keyed {
 public:
  using is_transparent = void;

  Keyed() {
    std::random_device random;
    k0_ = (std::uint64_t{random()} << 32) ^ random();
    k1_ = (std::uint64_t{random()} << 32) ^ random();
  }

  std::size_t operator()(std::string_view text) const {
    auto h = hasher();
    h.write_str(text);
    return h.finish();
  }
  std::size_t operator()(const std::string& text) const { return (*this)(std::string_view(text)); }
  std::size_t operator()(std::pair<std::string_view, std::string_view> entity) const {
    auto h = hasher();
    h.write_str(entity.first);
    h.write_str(entity.second);
    return h.finish();
  }
  std::size_t operator()(const Entity& entity) const {
    return (*this)(std::pair<std::string_view, std::string_view>(entity.first, entity.second));
  }
  std::size_t operator()(std::int64_t id) const {
    auto h = hasher();
    h.write_i64(id);
    return h.finish();
  }
  std::size_t operator()(std::uintptr_t address) const {
    auto h = hasher();
    h.write_u64(address);
    return h.finish();
  }
  std::size_t operator()(const core::Target& target) const {
    auto h = hasher();
    core::feed(h, target);
    return h.finish();
  }

 private:
  core::SipHasher hasher() const { return core::SipHasher(1, 3, k0_, k1_); }

  std::uint64_t k0_ = 0;
  std::uint64_t k1_ = 0;
};

}  // namespace vorel::py
