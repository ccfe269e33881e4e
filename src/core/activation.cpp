#include "core/activation.hpp"

#include <limits>

#include "core/deliver.hpp"

namespace vorel::core::activation {

Next after(const Flags& f, const Ended& e) {
  if (stopping(f)) return Next::WindDown;
  if (e.raised && !f.ending) return Next::BackOff;
  if (!e.current) return Next::Nothing;
  // A revoked message is over for its asker, so the body is given the next one even when the
  // mailbox is empty; a body that never read its inbox would only leave what waits unread again.
  const bool restart = !f.ending && (e.revoked || (e.queued && e.read));
  if (!f.becoming) return restart ? Next::Start : Next::Deactivate;
  return e.renamed ? Next::Successor : Next::Attempt;
}

Next fired(const Flags& f) {
  if (stopping(f)) return Next::WindDown;
  if (f.ending) return Next::After;
  return Next::Start;
}

Next resumed(const Flags& f, bool renamed) {
  if (stopping(f)) return Next::WindDown;
  return renamed ? Next::Successor : Next::Attempt;
}

Next attempted(const Flags& f, bool native) {
  if (f.ending) return Next::Deactivate;
  return native ? Next::Step : Next::Start;
}

std::uint32_t failed(std::uint32_t& failures) {
  constexpr std::uint32_t kMost = std::numeric_limits<std::int32_t>::max();
  const std::uint32_t exponent = failures < kMost ? failures : kMost;
  if (failures != std::numeric_limits<std::uint32_t>::max()) ++failures;
  return exponent;
}

Nudge released(const Held& h) {
  if (h.task) return Nudge::Cancel;
  if (h.native) return Nudge::LetGo;
  return h.parked ? Nudge::Wait : Nudge::WindDown;
}

Nudge drained(const Held& h) {
  // A body busy with a message finishes it: its next read ends the iteration.
  if (h.task && h.reading) return Nudge::Wake;
  if (h.native) return Nudge::LetGo;
  return h.task || h.parked ? Nudge::Wait : Nudge::WindDown;
}

std::optional<std::string_view> wound_down(const Flags& f, bool task) {
  if (f.closed || task) return std::nullopt;
  return f.draining ? kShuttingDown : kMoved;
}

Confirmed confirmed(std::uint64_t unconfirmed) {
  return Confirmed{unconfirmed == 0 ? 0 : unconfirmed - 1, unconfirmed <= 1};
}

double idle_deadline(double now, Duration idle_after) { return now + idle_after.as_seconds(); }

bool arms(std::optional<double> armed, double due) { return !armed || *armed > due; }

Idled idled(std::optional<double> deadline, double now) {
  if (!deadline) return Idled{};
  if (now < *deadline) return Idled{Idled::Kind::Rearm, *deadline - now};
  return Idled{Idled::Kind::End, 0};
}

Woken woken(bool message, bool expired, bool draining) {
  if (message && !expired) return Woken::Hand;
  return expired || draining ? Woken::End : Woken::Wait;
}

Read reads(bool current, const Flags& f) {
  if (!current) return Read::Over;
  if (f.becoming) return Read::Cancel;
  // A message still queued is not read: the activation winds down or deactivates and hands it on.
  return f.draining || f.ending ? Read::Over : Read::Go;
}

std::optional<std::uint64_t> waits(const Busy& b) {
  if (b.asking) return b.asking_hold;
  if (b.task && !b.reading) return b.hold;
  return std::nullopt;
}

}  // namespace vorel::core::activation
