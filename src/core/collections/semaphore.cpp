#include "core/collections/semaphore.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "core/collections/message.hpp"
#include "core/siphash.hpp"

namespace vorel::core::collections {

namespace semaphore {

namespace {
constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

// Bits of the keys a waiting request must have.
constexpr unsigned kNamed = 1;
constexpr unsigned kAddressed = 2;

std::vector<Lease> held_in(const Parts& parts) {
  return message::records_in<Lease>(parts, "held", 0, [](Lease& lease, std::string_view key, wire::Reading& v,
                                                         unsigned&) {
    if (key == "lease_id") return message::kept(v, lease.lease_id);
    if (key == "token") return message::kept(v, lease.token);
    if (key == "count") return message::kept(v, lease.count);
    if (key == "expires") return message::kept(v, lease.expires);
    return v.skip().has_value();
  });
}

std::vector<Pending> pending_in(const Parts& parts) {
  return message::records_in<Pending>(
      parts, "pending", kNamed | kAddressed,
      [](Pending& p, std::string_view key, wire::Reading& v, unsigned& found) {
        if (key == "lease_id") {
          found |= kNamed;
          return message::kept(v, p.lease_id);
        }
        if (key == "reply_to") {
          found |= kAddressed;
          return message::kept(v, p.reply_to);
        }
        if (key == "count") return message::kept(v, p.count);
        if (key == "ttl") return message::kept(v, p.ttl);
        if (key == "until") {
          auto nil = v.nil();
          if (!nil) return false;
          if (*nil) {
            p.until.reset();
            return true;
          }
          double until = 0.0;
          if (!message::kept(v, until)) return false;
          p.until = until;
          return true;
        }
        return v.skip().has_value();
      });
}

// The permits not held; computed wide, since counts read from parts may be anything.
__int128 available(const State& state) {
  __int128 held = 0;
  for (const auto& lease : state.held) held += lease.count;
  return static_cast<__int128>(state.capacity) - held;
}

std::int64_t clamped(__int128 v) {
  if (v > kLargest) return kLargest;
  if (v < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

Bytes denied(std::string_view lease_id) {
  wire::Writer w;
  w.array(2);
  w.str("Denied");
  w.map(1);
  w.str("lease_id");
  w.str(lease_id);
  return w.take();
}

Bytes status(const State& state) {
  wire::Writer w;
  w.array(2);
  w.str("Status");
  w.map(3);
  w.str("capacity");
  w.int_(state.capacity);
  w.str("available");
  w.int_(clamped(available(state)));
  w.str("waiting");
  w.int_(static_cast<std::int64_t>(state.pending.size()));
  return w.take();
}

// Serves the queue strictly in order: a first request that does not fit holds back the rest.
void grant(State& state, std::vector<Send>& sends, double now) {
  while (!state.pending.empty()) {
    Pending& first = state.pending.front();
    if (available(state) < first.count) return;
    if (state.next_token == kLargest) {
      // The tokens are used up: a grant now would hand one out twice.
      sends.push_back({std::move(first.reply_to), denied(first.lease_id)});
    } else {
      Lease lease{std::move(first.lease_id), state.next_token, first.count, now + first.ttl};
      state.next_token += 1;
      sends.push_back({std::move(first.reply_to), acquired(lease)});
      state.held.push_back(std::move(lease));
    }
    state.pending.erase(state.pending.begin());
  }
}

// The earliest expiry or end of a wait.
std::optional<double> deadline(const State& state) {
  message::Earliest wake;
  for (const auto& lease : state.held) wake.consider(lease.expires);
  for (const auto& p : state.pending) {
    if (p.until) wake.consider(*p.until);
  }
  return wake.at();
}

struct Fields {
  std::optional<Target> reply_to;
  std::optional<std::string_view> lease_id;
  std::optional<std::int64_t> n;
  std::optional<double> ttl;
  std::optional<double> wait;
};
}  // namespace

State of(const Parts& parts) {
  State state;
  state.capacity = message::integer_in(parts, "capacity").value_or(0);
  state.next_token = message::integer_in(parts, "next_token").value_or(1);
  state.held = held_in(parts);
  state.pending = pending_in(parts);
  return state;
}

Parts saved(const State& state) {
  Parts parts;
  parts["capacity"] = number(state.capacity);
  parts["next_token"] = number(state.next_token);
  wire::Writer held;
  held.array(state.held.size());
  for (const auto& lease : state.held) {
    held.map(4);
    held.str("lease_id");
    held.str(lease.lease_id);
    held.str("token");
    held.int_(lease.token);
    held.str("count");
    held.int_(lease.count);
    held.str("expires");
    held.f64(lease.expires);
  }
  parts["held"] = held.take();
  wire::Writer pending;
  pending.array(state.pending.size());
  for (const auto& p : state.pending) {
    pending.map(5);
    pending.str("lease_id");
    pending.str(p.lease_id);
    pending.str("reply_to");
    pending.target(p.reply_to);
    pending.str("count");
    pending.int_(p.count);
    pending.str("ttl");
    pending.f64(p.ttl);
    pending.str("until");
    pending.optional(p.until, [](wire::Writer& w, double until) { w.f64(until); });
  }
  parts["pending"] = pending.take();
  return parts;
}

bool lapse(State& state, std::vector<Send>& sends, double now) {
  // "Not later than now" also takes a time that is not a number.
  const auto before = state.held.size() + state.pending.size();
  std::erase_if(state.held, [&](const Lease& lease) { return !(lease.expires > now); });
  std::erase_if(state.pending, [&](Pending& p) {
    if (!p.until || *p.until > now) return false;
    sends.push_back({std::move(p.reply_to), denied(p.lease_id)});
    return true;
  });
  return state.held.size() + state.pending.size() != before;
}

void acquire(State& state, Pending request, std::vector<Send>& sends) {
  const auto same = [&](const auto& other) { return other.lease_id == request.lease_id; };
  if (auto lease = std::ranges::find_if(state.held, same); lease != state.held.end()) {
    sends.push_back({std::move(request.reply_to), acquired(*lease)});
    return;
  }
  if (request.count > 0 && request.count <= state.capacity) {
    if (auto waiting = std::ranges::find_if(state.pending, same); waiting != state.pending.end()) {
      *waiting = std::move(request);
    } else {
      state.pending.push_back(std::move(request));
    }
    return;
  }
  std::erase_if(state.pending, same);
  sends.push_back({std::move(request.reply_to), denied(request.lease_id)});
}

Bytes acquired(const Lease& lease) {
  wire::Writer w;
  w.array(2);
  w.str("Acquired");
  w.map(2);
  w.str("lease_id");
  w.str(lease.lease_id);
  w.str("token");
  w.int_(lease.token);
  return w.take();
}

std::string named(Namer& names) {
  const auto digest = [&](std::uint8_t byte) {
    SipHasher h(1, 3, names.k0, names.k1);
    h.write_u8(byte);
    return h.finish();
  };
  const std::uint64_t a = digest(0x00);
  const std::uint64_t b = digest(0x01);
  names.k0 += 1;
  return fmt::format("{:016x}{:016x}", a, b);
}

}  // namespace semaphore

Parts Semaphore::initial(double) const { return semaphore::saved(semaphore::State{}); }

std::optional<double> Semaphore::deadline(const Parts& parts) const {
  return semaphore::deadline(semaphore::of(parts));
}

std::optional<Turn> Semaphore::turn(const Parts& parts, const Input& input, double now, Namer& names) const {
  using namespace semaphore;
  if (input.as_answer()) return std::nullopt;
  Fields f;
  std::optional<std::string_view> op;
  if (const auto* delivered = input.as_message()) {
    auto m = message::read(delivered->bytes, [&](std::string_view key, wire::Reading& r) {
      if (key == "reply_to") return message::target_or_nil(r, f.reply_to);
      if (key == "lease_id") return message::text_or_nil(r, f.lease_id);
      if (key == "n") return message::integer(r, f.n);
      if (key == "ttl") return message::finite(r, f.ttl);
      if (key == "wait") return message::finite_or_nil(r, f.wait);
      return message::skip(r);
    });
    if (!m) return Turn::refused(std::move(m.error()));
    op = m->op;
    std::optional<std::string> lack;
    if (op == "Acquire") {
      lack = message::lacking(*m, {{"reply_to", f.reply_to.has_value()}, {"n", f.n.has_value()}, {"ttl", f.ttl.has_value()}});
    } else if (op == "Release") {
      lack = message::lacking(*m, {{"lease_id", f.lease_id.has_value()}});
    } else if (op == "Renew") {
      lack = message::lacking(
          *m, {{"lease_id", f.lease_id.has_value()}, {"ttl", f.ttl.has_value()}, {"reply_to", f.reply_to.has_value()}});
    } else if (op == "Get") {
      lack = message::lacking(*m, {{"reply_to", f.reply_to.has_value()}});
    } else {
      return Turn::refused(message::unknown("a semaphore", *m));
    }
    if (lack) return Turn::refused(std::move(*lack));
  }

  State state = of(parts);
  const State read = state;
  Turn turn;
  lapse(state, turn.sends, now);

  // The lease a "Renew" moved on, by id and token; its answer waits for the end of the turn.
  std::optional<std::pair<std::string, std::int64_t>> renewed;
  if (op == "Acquire") {
    std::string lease_id = f.lease_id ? std::string(*f.lease_id) : named(names);
    std::optional<double> until;
    if (f.wait) until = now + *f.wait;
    acquire(state, Pending{std::move(lease_id), std::move(*f.reply_to), *f.n, *f.ttl, until}, turn.sends);
  } else if (op == "Release") {
    const auto same = [&](const auto& other) { return other.lease_id == *f.lease_id; };
    std::erase_if(state.held, same);
    std::erase_if(state.pending, same);
  } else if (op == "Renew") {
    auto lease = std::ranges::find_if(state.held, [&](const Lease& l) { return l.lease_id == *f.lease_id; });
    if (lease != state.held.end()) {
      lease->expires = now + *f.ttl;
      renewed.emplace(lease->lease_id, lease->token);
    }
  }

  // A grant whose lease lapses at once (a ttl of 0 or less) frees its permits again, and a
  // denied wait may have held back requests that fit: serve the queue until nothing more goes.
  do {
    grant(state, turn.sends, now);
  } while (lapse(state, turn.sends, now));

  if (state != read) turn.parts = saved(state);
  turn.wake = semaphore::deadline(state);
  if (op == "Get") {
    turn.sends.push_back({std::move(*f.reply_to), status(state)});
  } else if (op == "Renew") {
    // True only for a lease the turn leaves in force: a renewal to a time already past ends it.
    const bool held = renewed && std::ranges::any_of(state.held, [&](const Lease& l) {
                        return l.lease_id == renewed->first && l.token == renewed->second;
                      });
    turn.sends.push_back({std::move(*f.reply_to), truth(held)});
  }
  return turn;
}

}  // namespace vorel::core::collections
