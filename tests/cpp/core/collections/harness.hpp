// Helpers of the collection tests: messages written field by field, keys stepped as the driver
// steps them, and a small network that carries the asks between keys and can lose answers.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/collections/native.hpp"
#include "core/msgpack.hpp"
#include "core/wire.hpp"
#include "testing/bytes.hpp"

namespace vorel::core::collections {

// Sends print as their target and bytes, so a failed comparison shows what went where.
inline void PrintTo(const Send& send, std::ostream* out) {
  if (const auto* e = send.target.as_entity()) {
    *out << "to " << e->actor << "/" << e->key;
  } else {
    *out << "to reply " << send.target.as_reply()->id;
  }
  *out << ":" << ::testing::PrintToString(send.bytes);
}

inline void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.error << ": " << refusal.text; }

}  // namespace vorel::core::collections

namespace vorel::core::collections::testing {

using core::testing::cat;

// One encoded MessagePack value.
inline Bytes I(std::int64_t v) {
  Bytes out;
  msgpack::write_int(out, v);
  return out;
}
inline Bytes U(std::uint64_t v) {
  Bytes out;
  msgpack::write_uint(out, v);
  return out;
}
inline Bytes F(double v) {
  Bytes out;
  msgpack::write_f64(out, v);
  return out;
}
inline Bytes F32(float v) {
  Bytes out{0xca};
  const auto bits = std::bit_cast<std::uint32_t>(v);
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return out;
}
inline Bytes S(std::string_view v) { return core::testing::str(v); }
inline Bytes Bin(std::string_view v) {
  Bytes out;
  msgpack::write_bin(out, view_of(v));
  return out;
}
inline Bytes Bin(const Bytes& v) {
  Bytes out;
  msgpack::write_bin(out, v);
  return out;
}
inline const Bytes NIL{msgpack::kNil};
inline const Bytes TRUE{msgpack::kTrue};
inline const Bytes FALSE{msgpack::kFalse};
inline Bytes T(const Target& t) {
  wire::Writer w;
  w.target(t);
  return w.take();
}
// An array of encoded values.
inline Bytes A(const std::vector<Bytes>& items) {
  Bytes out;
  msgpack::write_array(out, items.size());
  for (const auto& item : items) out.insert(out.end(), item.begin(), item.end());
  return out;
}
inline Bytes Bytes_of(std::string_view v) { return Bytes(v.begin(), v.end()); }

using Named = std::vector<std::pair<std::string, Bytes>>;

// ["name", {field: value, ...}], fields in the order given.
inline Bytes msg(std::string_view name, const Named& fields) {
  Bytes out;
  msgpack::write_array(out, 2);
  msgpack::write_str(out, name);
  msgpack::write_map(out, fields.size());
  for (const auto& [key, value] : fields) {
    msgpack::write_str(out, key);
    out.insert(out.end(), value.begin(), value.end());
  }
  return out;
}

inline NodeId node(std::uint8_t last) {
  Incarnation inc{};
  inc[15] = last;
  return NodeId{std::nullopt, inc};
}

// Reply targets of callers outside the collections.
inline Target caller(std::int64_t id) { return Target::reply(node(1), id); }
inline const Target R = caller(7);

// One key, stepped as the driver steps it: the Turn's parts (or, for a delete, the initial parts
// of the step's time) become the key's parts at once, as if every write were confirmed.
struct Key {
  std::shared_ptr<const Native> native;
  Parts parts;
  Namer names{};

  Key(std::shared_ptr<const Native> n, double now = 0.0) : native(std::move(n)), parts(native->initial(now)) {}
  Key(std::shared_ptr<const Native> n, Parts p) : native(std::move(n)), parts(std::move(p)) {}

  Turn step(const Input& input, double now) {
    Turn turn = native->step(parts, input, now, names);
    if (!turn.asking) {
      if (turn.delete_) {
        parts = native->initial(now);
      } else if (turn.parts) {
        parts = *turn.parts;
      }
    }
    return turn;
  }
  Turn message(const Bytes& bytes, double now = 0.0) { return step(Input::message(bytes), now); }
  Turn tick(double now) { return step(Input::tick(), now); }
  std::optional<Turn> turn(const Bytes& bytes, double now = 0.0) {
    return native->turn(parts, Input::message(bytes), now, names);
  }
};

// The text of a Turn's refusal; none without a Turn or without a refusal.
inline std::optional<std::string> refused(const std::optional<Turn>& turn) {
  if (!turn || !turn->refusal) return std::nullopt;
  return turn->refusal->text;
}

// A message a collection refuses with a ValueError, and the text of the refusal.
struct Refused {
  std::string name;
  Bytes message;
  std::string text;
};

// Steps each message on a copy of `key` at `now`: it is refused with its text, sends nothing, and
// leaves the parts as they were.
inline void expect_refused(const Key& key, const std::vector<Refused>& cases, double now = 0.0) {
  for (const auto& c : cases) {
    Key copy = key;
    const Turn turn = copy.message(c.message, now);
    ASSERT_TRUE(turn.refusal) << c.name;
    EXPECT_EQ(*turn.refusal, (Refusal{"ValueError", c.text})) << c.name;
    EXPECT_FALSE(turn.parts || turn.asking || turn.delete_ || !turn.sends.empty()) << c.name;
    EXPECT_EQ(copy.parts, key.parts) << c.name;
  }
}

// The one send of a Turn that answers `to`.
inline std::vector<Bytes> answers_to(const Turn& turn, const Target& to) {
  std::vector<Bytes> out;
  for (const auto& send : turn.sends) {
    if (send.target == to) out.push_back(send.bytes);
  }
  return out;
}

// Keys of several collection types whose asks travel between them: an ask becomes a delivery to
// the asked key, and an answer to a registered ask steps the asker again with Input::Answer.
// `losses` says, answer by answer, which of the next answers between keys are lost: the asker's
// delivery then ends without a Turn, as when its ask times out, and its parts stay as they were.
class Network {
 public:
  double now = 1000.0;
  std::deque<bool> losses;
  // Sends to callers outside the network, in order.
  std::vector<Send> outside;
  // The actor types of the askers whose answers were lost, in order.
  std::vector<std::string> lost;

  Key& key(const Target& entity) {
    const auto* e = entity.as_entity();
    auto it = keys_.find({e->actor, e->key});
    if (it == keys_.end()) {
      auto native = collection(e->actor);
      EXPECT_NE(native, nullptr) << e->actor;
      it = keys_.emplace(std::make_pair(e->actor, e->key), Key(std::move(native), now)).first;
    }
    return it->second;
  }
  bool has(const Target& entity) const {
    const auto* e = entity.as_entity();
    return keys_.contains({e->actor, e->key});
  }

  // The key's activation ends: a disposable state is deleted, any other stays as written.
  void deactivate(const Target& entity) {
    const auto* e = entity.as_entity();
    auto it = keys_.find({e->actor, e->key});
    if (it != keys_.end() && it->second.native->disposable(it->second.parts, now)) keys_.erase(it);
  }

  // Delivers a message to an entity and carries out everything that follows from it.
  void deliver(const Target& entity, const Bytes& message) {
    Key& k = key(entity);
    applied(entity, k.message(message, now), message);
  }

  // The answers that reached `to` outside the network.
  std::vector<Bytes> answers(const Target& to) const {
    std::vector<Bytes> out;
    for (const auto& send : outside) {
      if (send.target == to) out.push_back(send.bytes);
    }
    return out;
  }

 private:
  struct Awaiting {
    Target asker;
    Bytes message;
  };

  void applied(const Target& who, const Turn& turn, const Bytes& message) {
    if (turn.asking) {
      const std::int64_t id = next_id_++;
      const Target reply = Target::reply(node(2), id);
      awaiting_.emplace(id, Awaiting{who, message});
      deliver(turn.asking->target, turn.asking->maker(reply));
      return;
    }
    for (const auto& send : turn.sends) {
      const auto* r = send.target.as_reply();
      if (r && r->node == node(2)) {
        answered(r->id, send.bytes);
      } else if (send.target.as_entity()) {
        deliver(send.target, send.bytes);
      } else {
        outside.push_back(send);
      }
    }
  }

  void answered(std::int64_t id, const Bytes& answer) {
    auto it = awaiting_.find(id);
    ASSERT_NE(it, awaiting_.end()) << "an answer to no ask";
    Awaiting a = std::move(it->second);
    awaiting_.erase(it);
    const bool lose = !losses.empty() && losses.front();
    if (!losses.empty()) losses.pop_front();
    if (lose) {
      lost.push_back(a.asker.as_entity()->actor);
      return;
    }
    Key& k = key(a.asker);
    applied(a.asker, k.step(Input::answer(a.message, answer), now), a.message);
  }

  std::map<std::pair<std::string, std::string>, Key> keys_;
  std::map<std::int64_t, Awaiting> awaiting_;
  std::int64_t next_id_ = 1;
};

}  // namespace vorel::core::collections::testing
