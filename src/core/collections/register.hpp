// The register: an optional byte string that is read, written, swapped and compared-and-set.
#pragma once

#include "core/collections/native.hpp"

namespace vorel::core::collections {

namespace register_ {
// {"value": bin}, or {"value": nil} when empty.
Parts saved(std::optional<ByteView> value);
}  // namespace register_

class Register final : public Native {
 public:
  std::string_view fmt() const override { return "Register"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
};

}  // namespace vorel::core::collections
