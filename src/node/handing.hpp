// Where the node's loop meets the hand-off service beyond its plain operations: whether a key is
// still arriving here under a held step, and whether a leave still owes kept keys.
#pragma once

#include <string_view>

#include "node/handoff_interim.hpp"

namespace vorel::node::handing {

using handoff::service::Handoff;

// Not for a pinned key; else whether a step held for the key's type still receives its token.
bool arriving(const Handoff& handoff, std::string_view actor, std::string_view key);
// Whether some kept key is still owed to a live node.
bool owing(const Handoff& handoff);

}  // namespace vorel::node::handing
