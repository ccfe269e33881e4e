// What every native collection shares: the interface the driver steps, its inputs and results,
// the recognition of collection type names, and the encodings of the simplest replies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/node.hpp"
#include "core/pages.hpp"

namespace vorel::core::collections {

// A key's state: each part one complete MessagePack item, in bytewise order of the names.
using Parts = Pages;

// What one step is given. The bytes are borrowed for the call: a Turn never refers to them.
struct Input {
  // A delivery taken from the key's mailbox.
  struct Message {
    ByteView bytes;
  };
  // The wake deadline of the last Turn has passed.
  struct Tick {};
  // The collection's own ask was answered with a value: the message that made it ask, then the
  // answer's one MessagePack item (empty when the answer could not be read as bytes).
  struct Answer {
    ByteView message;
    ByteView answer;
  };

  std::variant<Message, Tick, Answer> value;

  static Input message(ByteView bytes) { return Input{Message{bytes}}; }
  static Input tick() { return Input{Tick{}}; }
  static Input answer(ByteView message, ByteView answer) { return Input{Answer{message, answer}}; }

  const Message* as_message() const { return std::get_if<Message>(&value); }
  const Answer* as_answer() const { return std::get_if<Answer>(&value); }
  bool is_tick() const { return std::holds_alternative<Tick>(value); }
  // The collection message the step is about: a Message's bytes, or the message that made the
  // collection ask; none for a tick.
  std::optional<ByteView> bytes() const;
};

// One message to deliver: to a reply target as an answer with the outcome Value, to an entity as
// a tell.
struct Send {
  Target target;
  Bytes bytes;

  friend bool operator==(const Send&, const Send&) = default;
};

// An ask of another key. The reply target exists only once the driver has registered the ask,
// so the message is made then: `maker` writes it with that target as its "reply_to".
struct Asking {
  Target target;
  std::function<Bytes(const Target& reply)> maker;
};

// Why a collection will not act on a message: the class of the exception its asker fails with (a
// built-in name such as "ValueError") and the text. An asker learns of a malformed message at once,
// instead of when its ask times out.
struct Refusal {
  std::string error;
  std::string text;

  friend bool operator==(const Refusal&, const Refusal&) = default;
};

struct Turn {
  // None leaves the state as it is and writes nothing.
  std::optional<Parts> parts;
  // Wall-clock seconds since the Unix epoch at which the collection wants a tick; every Turn
  // replaces the previous deadline.
  std::optional<double> wake;
  // When set, the Turn carries nothing else: the answer comes back as Input::Answer.
  std::optional<Asking> asking;
  std::vector<Send> sends;
  // The key's state is deleted; the key then holds what `initial` gives for the step's time.
  bool delete_ = false;
  // When set, the Turn carries nothing else but the wake deadline: nothing of the message takes
  // effect, and the delivery ends with this refusal.
  std::optional<Refusal> refusal;

  // No parts, no wake, no ask, no sends, no delete, no refusal.
  bool empty() const { return !parts && !wake && !asking && sends.empty() && !delete_ && !refusal; }
  // A Turn that refuses the message; most refusals are of a value, hence the default class.
  static Turn refused(std::string text, std::string error = "ValueError");
};

// The key of the maker of fresh lease ids. The driver draws it once per thread from the operating
// system's random source; every id made under it moves it on, so no two ids share a key.
struct Namer {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// One kind of collection: stateless, shared by every key of its actor type. Every slot is a
// function of its arguments alone.
class Native {
 public:
  virtual ~Native() = default;

  // The kind's debug name.
  virtual std::string_view fmt() const = 0;
  // The parts of a key that has never had a state, or whose state was deleted, at wall-clock time
  // `now` (seconds since the Unix epoch).
  virtual Parts initial(double now) const = 0;
  // The step proper: none when the input is not recognised (a tick or an answer the kind has no use
  // for), a Turn with a refusal for a message it will not act on; in both cases nothing of the
  // input may take effect. `names` is drawn on only for fresh lease ids.
  virtual std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const = 0;
  // What the driver calls: `turn`, or a Turn that changes nothing and answers nothing; either, when
  // it does not act on the input, keeps only the deadline the parts already hold.
  Turn step(const Parts& parts, const Input& input, double now, Namer& names) const;
  // The kinds that keep deadlines of their own: while their wake timer is pending the driver
  // arms no idle timer.
  virtual bool timed() const { return false; }
  // The wake deadline the parts hold, for a step that changes nothing: since every Turn replaces
  // the wake timer, a Turn without it would leave the leases and waits of a timed kind to lapse
  // only when some later message happens to come. None for the kinds that are not timed.
  virtual std::optional<double> deadline(const Parts& parts) const { return std::nullopt; }
  // At deactivation, whether the state is deleted rather than written: by default when the parts
  // equal the initial ones.
  virtual bool disposable(const Parts& parts, double now) const;
};

// The kinds of collection the node runs, "counter" to "table_segment": the one table of them,
// which the Python package reads too.
std::span<const std::string_view> kinds();
// An actor type name read as a collection's, each part borrowed from the name: its kind, and the
// replica count (ASCII digits) and write level of "<kind>_<replicas>_<write>", both empty for
// "<kind>.actor".
struct Parsed {
  std::string_view kind;
  std::string_view replicas;
  std::string_view write;
};
// None for the name of an ordinary actor type.
std::optional<Parsed> parsed(std::string_view name);
// The kind of collection an actor type name selects (borrowed from the name); none for an
// ordinary actor type.
std::optional<std::string_view> kind_of(std::string_view name);
// The native collection that runs an actor type of this name instead of a body: a new shared
// handle, or none for an ordinary actor type.
std::shared_ptr<const Native> collection(std::string_view name);

// Replies, each one complete MessagePack item.
Bytes nil();
Bytes truth(bool value);
Bytes number(std::int64_t value);
Bytes optional(std::optional<ByteView> value);
// The part "value" as optional bytes: a bin gives its bytes, anything else none.
std::optional<Bytes> optional_in(const Parts& parts);

}  // namespace vorel::core::collections
