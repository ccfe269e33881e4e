// The counter: a signed 64-bit count that is read, added to and reset.
#pragma once

#include "core/collections/native.hpp"

namespace vorel::core::collections {

class Counter final : public Native {
 public:
  std::string_view fmt() const override { return "Counter"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
};

}  // namespace vorel::core::collections
