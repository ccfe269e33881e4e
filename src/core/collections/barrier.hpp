// The barrier: parties wait until as many have arrived as an arrival names, then all are
// answered at once; released ids are remembered so that an arrival sent again is told at once.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/collections/native.hpp"

namespace vorel::core::collections {

namespace barrier {

using Id = std::array<std::uint8_t, 16>;

struct Party {
  Id id{};
  Target reply_to;
  // Wall-clock time at which its wait ends.
  double until = 0.0;

  friend bool operator==(const Party&, const Party&) = default;
};

struct Completed {
  Id id{};
  // Wall-clock time until which the released id is remembered.
  double until = 0.0;

  friend bool operator==(const Completed&, const Completed&) = default;
};

struct State {
  // Releases so far.
  std::int64_t generation = 0;
  std::vector<Party> pending;
  std::vector<Completed> completed;

  friend bool operator==(const State&, const State&) = default;
};

// A released id is remembered at least this long.
inline constexpr double kRemembered = 30.0;

// Tolerant: a part that is missing or cannot be read takes its fresh value.
State of(const Parts& parts);
// The three parts "completed", "generation", "pending".
Parts saved(const State& state);

}  // namespace barrier

class Barrier final : public Native {
 public:
  std::string_view fmt() const override { return "Barrier"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
  bool timed() const override { return true; }
  std::optional<double> deadline(const Parts& parts) const override;
};

}  // namespace vorel::core::collections
