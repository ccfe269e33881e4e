// The decisions of an activation's life on the loop: what follows the end of a run of its body,
// where opening, letting go and draining lead, how long a failed body waits before it runs again,
// and when a read of its inbox idles out. The binding copies what they read under the
// activation's lock, asks here, and carries the answer out with the lock released; nothing here
// calls out, locks or reads a clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/backoff.hpp"

namespace vorel::core::activation {

// The page that names the behavior a key runs under, present only while that is not its own type.
inline constexpr std::string_view kBehavior = "@behavior";

// The flags of an activation that its decisions read.
struct Flags {
  bool releasing = false;  // the key is let go at once (hand-over, fencing, abandon)
  bool draining = false;   // the node leaves or the key is handed over: finish what is in hand, then stop
  bool ending = false;     // the key is let go as if it had idled out now
  bool becoming = false;   // a confirmed become hands the key to a behavior when the body returns
  bool closed = false;     // the activation is over
  std::uint64_t unconfirmed = 0;  // writes handed over whose confirmation has not arrived
};

// Releasing and draining win over every other decision: whatever would start, restart or back
// off the body winds the activation down instead.
constexpr bool stopping(const Flags& f) { return f.releasing || f.draining; }

// Where the life of an activation goes next.
enum class Next : std::uint8_t {
  Nothing,     // the callback belongs to a run that is no longer the activation's
  WindDown,    // the key is let go: the message in hand is refused, what waits is passed on
  BackOff,     // the body raised: it runs again after the backoff delay
  Start,       // a new run of the body at once
  Attempt,     // the run is torn down and the key started again under the type it runs under
  Successor,   // the key continues under the behavior its confirmed pages name
  Deactivate,  // the final write, then the end
  Step,        // a native collection: its step loop takes over
  After,       // on as after a body that returned
};


// What is known of a run when its body task has ended.
struct Ended {
  bool raised = false;   // the task ended with an exception; a cancelled task counts as returned
  bool current = true;   // the run is still the activation's
  bool revoked = false;  // the asker cancelled the message the body was handling
  bool read = false;     // the body read its inbox during the run
  bool queued = false;   // messages wait in the mailbox
  bool renamed = false;  // the confirmed pages name a behavior other than the type the key runs under
};

// The task's done callback keeps the end of the body while writes are unconfirmed, so that the
// run's outcome is judged on confirmed pages; a key being let go does not wait for them.
constexpr bool parks(const Flags& f) { return !stopping(f) && f.unconfirmed != 0; }

// After the body task ended, or its parked end came back: wind down, back off, restart, hand the
// key to its successor behavior, start it again under its own, or deactivate. A body that raised
// while the key is ending goes on as one that returned, and is not restarted.
Next after(const Flags& f, const Ended& e);

// The backoff timer fired: wind down, go on as after a body that returned (the key is ending),
// or start the next run.
Next fired(const Flags& f);

// The key's pages are in (opened, or switched to another type): wind down, continue under the
// behavior the pages name, or attempt a run.
Next resumed(const Flags& f, bool renamed);

// A run is attempted: deactivate a key that is ending, step a native collection, or start the body.
Next attempted(const Flags& f, bool native);

// Counts one more consecutive failure of a body, saturating, and gives the exponent of the backoff
// delay that follows: the count before this failure, at most 2^31 - 1.
std::uint32_t failed(std::uint32_t& failures);

// What runs in an activation when it is let go or drained.
struct Held {
  bool task = false;     // a body task runs
  bool reading = false;  // the body waits on its inbox
  bool parked = false;   // the end of the body waits for a confirmation
  bool native = false;   // the type is a native collection
};

// How letting go reaches the activation.
enum class Nudge : std::uint8_t {
  Cancel,    // cancel the body's task: its end winds the activation down
  Wake,      // wake the pending read: it ends, and the body returns
  LetGo,     // the native driver lets the collection go
  Wait,      // the callback still to come (task end, confirmation, opening, final write) finds the flag
  WindDown,  // nothing runs: wind down now
};


Nudge released(const Held& h);
Nudge drained(const Held& h);

// The reason of a wind-down that is not the node's leaving.
inline constexpr std::string_view kMoved = "the key moved to another node";

// The reason a wind-down gives the message in hand, or none when it must not run now: the
// activation is over, or a body task still runs and its end comes back here.
std::optional<std::string_view> wound_down(const Flags& f, bool task);

// At the end of a deactivation: a key let go by ActorSystem.release leaves the table and passes
// on what waits only now, after its final write, so that its next activation reads that write.
constexpr bool passes_on(const Flags& f) { return f.ending && !f.closed; }

// A write's confirmation arrived: the count of writes still unconfirmed, and whether this was the
// last, which resumes a parked end.
struct Confirmed {
  std::uint64_t unconfirmed = 0;
  bool last = false;
};
Confirmed confirmed(std::uint64_t unconfirmed);

// The inbox: a read that has to wait idles out `idle_after` after it began. Times are the loop's,
// in seconds.
double idle_deadline(double now, Duration idle_after);

// Whether a read due at `due` arms an idle timer of its own, given when the armed one fires (none
// when none is armed). A timer that fires earlier arms what is left then, so a key that keeps
// reading arms one timer an idle period instead of one a read.
bool arms(std::optional<double> armed, double due);

// Whether the pending read due at `deadline` (none: it has no deadline) is over at `now`.
constexpr bool expired(std::optional<double> deadline, double now) { return deadline && now >= *deadline; }

// What the idle timer does when it fires at `now`, for the read due at `deadline`.
struct Idled {
  enum class Kind : std::uint8_t {
    Nothing,  // no read waits: the next read that has to wait arms a timer again
    Rearm,    // a later read moved the deadline: wait `rest` seconds more
    End,      // the read ends, and with it the body's iteration
  };
  Kind kind = Kind::Nothing;
  double rest = 0;
};
Idled idled(std::optional<double> deadline, double now);

// What waking does with a pending read: hand it the message, end it (its deadline passed, or the
// node drains with nothing queued), or leave it waiting. A read past its deadline ends even when a
// message has just come: the message waits for the next run.
enum class Woken : std::uint8_t { Hand, End, Wait };
Woken woken(bool message, bool expired, bool draining);

// What a read of the inbox of a run does before it looks at the mailbox.
enum class Read : std::uint8_t {
  Over,    // the run is gone, or the key drains or ends: the iteration stops
  Cancel,  // a confirmed become: the body is cancelled so that the successor takes the key over
  Go,      // the read goes on
};
Read reads(bool current, const Flags& f);

// A merged source's item that became ready before the oldest queued message arrived (`merged` is
// the mailbox's sequence mark at that moment) is read first.
constexpr bool merged_first(std::optional<std::uint64_t> merged, std::optional<std::uint64_t> oldest) {
  return merged && (!oldest || *oldest >= *merged);
}

// The hold with which the key waits for an answer of its own, or none when it can read its
// inbox. A body waits while its task runs and no read is pending; a native collection while its
// own ask is in flight.
struct Busy {
  bool task = false;
  bool reading = false;
  std::uint64_t hold = 0;
  bool asking = false;  // native
  std::uint64_t asking_hold = 0;
};
std::optional<std::uint64_t> waits(const Busy& b);

}  // namespace vorel::core::activation
