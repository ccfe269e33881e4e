#include "core/collections/barrier.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/collections/message.hpp"

namespace vorel::core::collections {

namespace barrier {

namespace {
std::optional<Id> id_of(ByteView bytes) {
  if (bytes.size() != 16) return std::nullopt;
  Id id;
  std::ranges::copy(bytes, id.begin());
  return id;
}

bool id_field(wire::Reading& r, Id& out) {
  auto b = r.read_bin();
  if (!b) return false;
  auto id = id_of(*b);
  if (!id) return false;
  out = *id;
  return true;
}

// Bits of the keys a record must have.
constexpr unsigned kIdentified = 1;
constexpr unsigned kAddressed = 2;

std::vector<Party> pending_in(const Parts& parts) {
  return message::records_in<Party>(parts, "pending", kIdentified | kAddressed,
                                    [](Party& p, std::string_view key, wire::Reading& v, unsigned& found) {
                                      if (key == "id") {
                                        found |= kIdentified;
                                        return id_field(v, p.id);
                                      }
                                      if (key == "reply_to") {
                                        found |= kAddressed;
                                        return message::kept(v, p.reply_to);
                                      }
                                      if (key == "until") return message::kept(v, p.until);
                                      return v.skip().has_value();
                                    });
}

std::vector<Completed> completed_in(const Parts& parts) {
  return message::records_in<Completed>(parts, "completed", kIdentified,
                                        [](Completed& c, std::string_view key, wire::Reading& v, unsigned& found) {
                                          if (key == "id") {
                                            found |= kIdentified;
                                            return id_field(v, c.id);
                                          }
                                          if (key == "until") return message::kept(v, c.until);
                                          return v.skip().has_value();
                                        });
}

// The earliest end of a wait or of a remembered id.
std::optional<double> deadline(const State& state) {
  message::Earliest wake;
  for (const auto& p : state.pending) wake.consider(p.until);
  for (const auto& c : state.completed) wake.consider(c.until);
  return wake.at();
}

struct Fields {
  std::optional<Target> reply_to;
  std::optional<ByteView> id;
  std::optional<std::int64_t> parties;
  std::optional<double> until;
};
}  // namespace

State of(const Parts& parts) {
  State state;
  state.generation = message::integer_in(parts, "generation").value_or(0);
  state.pending = pending_in(parts);
  state.completed = completed_in(parts);
  return state;
}

Parts saved(const State& state) {
  Parts parts;
  parts["generation"] = number(state.generation);
  wire::Writer pending;
  pending.array(state.pending.size());
  for (const auto& p : state.pending) {
    pending.map(3);
    pending.str("id");
    pending.bin(p.id);
    pending.str("reply_to");
    pending.target(p.reply_to);
    pending.str("until");
    pending.f64(p.until);
  }
  parts["pending"] = pending.take();
  wire::Writer completed;
  completed.array(state.completed.size());
  for (const auto& c : state.completed) {
    completed.map(2);
    completed.str("id");
    completed.bin(c.id);
    completed.str("until");
    completed.f64(c.until);
  }
  parts["completed"] = completed.take();
  return parts;
}

}  // namespace barrier

Parts Barrier::initial(double) const { return barrier::saved(barrier::State{}); }

std::optional<double> Barrier::deadline(const Parts& parts) const { return barrier::deadline(barrier::of(parts)); }

std::optional<Turn> Barrier::turn(const Parts& parts, const Input& input, double now, Namer&) const {
  using namespace barrier;
  if (input.as_answer()) return std::nullopt;
  Fields f;
  std::optional<std::string_view> op;
  std::optional<Id> id;
  if (const auto* delivered = input.as_message()) {
    auto m = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
      if (key == "reply_to") return message::target_or_nil(r, f.reply_to);
      if (key == "id") return message::sixteen(r, f.id);
      if (key == "parties") return message::natural(r, f.parties);
      if (key == "until") return message::finite(r, f.until);
      return message::skip(r);
    });
    if (!m) return Turn::refused(std::move(m.error()));
    op = m->op;
    const bool arriving = op == "Arrive";
    if (!arriving && op != "Cancel" && op != "Waiting") return Turn::refused(message::unknown("a barrier", *m));
    if (f.id) id = id_of(*f.id);
    if (auto lack = message::lacking(*m, {{"reply_to", f.reply_to.has_value()},
                                          {"id", id || op == "Waiting"},
                                          {"parties", f.parties || !arriving},
                                          {"until", f.until || !arriving}})) {
      return Turn::refused(std::move(*lack));
    }
  }

  State state = of(parts);
  const State read = state;
  Turn turn;
  std::erase_if(state.completed, [&](const Completed& c) { return !(c.until > now); });
  std::erase_if(state.pending, [&](Party& p) {
    if (p.until > now) return false;
    turn.sends.push_back({std::move(p.reply_to), truth(false)});
    return true;
  });

  const auto remembered = [&] {
    return id && std::ranges::any_of(state.completed, [&](const Completed& c) { return c.id == *id; });
  };
  if (op == "Cancel") {
    turn.sends.push_back({*f.reply_to, truth(remembered())});
    std::erase_if(state.pending, [&](const Party& p) { return p.id == *id; });
  } else if (op == "Arrive") {
    if (remembered()) {
      turn.sends.push_back({*f.reply_to, truth(true)});
    } else if (!(*f.until > now)) {
      turn.sends.push_back({*f.reply_to, truth(false)});
    } else {
      Party arrival{*id, *f.reply_to, *f.until};
      if (auto same = std::ranges::find_if(state.pending, [&](const Party& p) { return p.id == *id; });
          same != state.pending.end()) {
        *same = std::move(arrival);
      } else {
        state.pending.push_back(std::move(arrival));
      }
      // Only this arrival's count is looked at: earlier ones that named another are not consulted.
      if (static_cast<std::uint64_t>(*f.parties) == state.pending.size()) {
        for (auto& p : state.pending) {
          const double kept = now + kRemembered;
          state.completed.push_back({p.id, std::isnan(p.until) ? kept : std::max(p.until, kept)});
          turn.sends.push_back({std::move(p.reply_to), truth(true)});
        }
        state.pending.clear();
        // Wrapping at the end of the range keeps the count defined; it changes nothing else.
        state.generation = static_cast<std::int64_t>(static_cast<std::uint64_t>(state.generation) + 1);
      }
    }
  }

  if (state != read) turn.parts = saved(state);
  turn.wake = barrier::deadline(state);
  if (op == "Waiting") {
    turn.sends.push_back({*f.reply_to, number(static_cast<std::int64_t>(state.pending.size()))});
  }
  return turn;
}

}  // namespace vorel::core::collections
