#include "node/handing.hpp"

#include "core/placement/pin.hpp"
#include "core/placement/ring.hpp"

namespace vorel::node::handing {

bool arriving(const Handoff& handoff, std::string_view actor, std::string_view key) {
  if (core::placement::pinned(key)) return false;
  const auto token = core::placement::token(actor, key);
  for (const auto& hold : handoff.holds) {
    if (hold.step.actor == actor && hold.transfer.receiving(token)) return true;
  }
  return false;
}

bool owing(const Handoff& handoff) {
  for (const auto& [key, handing] : handoff.handing) {
    if (handing.owing(handoff.live)) return true;
  }
  return false;
}

}  // namespace vorel::node::handing
