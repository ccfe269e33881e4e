// One key, one or two owners and N replicas on a seeded network that drops, duplicates and
// reorders messages. Every message travels through the wire format. The invariants are checked
// as the run goes:
// - a write confirmed at "majority" or "all" is seen by every activation that starts later;
// - a replica's stamp only rises, and so does its promise;
// - no two different states share one stamp;
// - a deleted key does not come back, unless a later write created it again.
//
// VOREL_SIM_SEEDS sets how many seeds run (a few hundred by default, bounded to a few seconds);
// VOREL_SIM_SEED runs that one seed alone, to replay a failure.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <sstream>

#include "core/replication/owner.hpp"
#include "core/replication/replica.hpp"
#include "core/replication/wire.hpp"
#include "core/replication/sample.hpp"

namespace vorel::core::replication {
namespace {

using messages::Reply;
using messages::Request;
using owner::Outcome;
using owner::Step;

using Time = std::int64_t;  // microseconds of simulated time
constexpr Time kMs = 1000;
constexpr Time kRunFor = 6000 * kMs;
constexpr Time kWriteTimeout = 1000 * kMs;
constexpr Time kCheck = 200 * kMs;
constexpr Time kRetry = 50 * kMs;
constexpr std::uint64_t kBudget = 200;
const std::string kActor = "t";
const std::string kKey = "k";

// A total order key for stamps: the simulation's nodes have distinct incarnations, so every
// pair of its stamps is ordered by `Stamp::before` or equal.
std::string id_of(const Stamp& s) {
  std::ostringstream out;
  out << s.epoch.round << '/';
  for (auto b : s.epoch.node.incarnation) out << int(b) << '.';
  out << '/' << s.epoch.node.address.value_or("-") << '/' << s.version;
  return out.str();
}

Pages without_active(Pages p) {
  p.erase(std::string(kActive));
  return p;
}

struct Confirmed {
  Stamp stamp;
  Time at;
};

struct Operation {
  bool activate = false;
  bool ending = false;
  Time start = 0;
  Time answer_by = 0;
  std::optional<Time> check_at;
  std::optional<Time> retry_at;
  std::optional<Pages> initial;
};

struct Envelope {
  Time at;
  std::uint64_t seq;
  NodeId from;
  NodeId to;
  Bytes payload;
  bool operator>(const Envelope& o) const { return at != o.at ? at > o.at : seq > o.seq; }
};

class World {
 public:
  World(std::uint64_t seed) : seed_(seed), rng_(seed) {
    const std::size_t n = rng_() % 2 ? 3 : 5;
    level_ = rng_() % 3 == 0 ? Level::All : Level::Majority;
    owners_ = rng_() % 2 ? 2 : 1;
    drop_ = 0.02 * static_cast<double>(rng_() % 8);  // up to 14% of messages lost
    for (std::size_t i = 0; i < n; ++i) {
      const NodeId id = sample::node(static_cast<std::uint8_t>(i + 1));
      ids_.push_back(id);
      replicas_.emplace(id, Replica(id, kBudget));
    }
    // Owners run on replica nodes, as placement puts them.
    for (std::size_t i = 0; i < owners_; ++i) drivers_.emplace(ids_[i], Driver{});
  }

  void run() {
    for (Time now = 0; now < kRunFor && !failed(); now += kMs) {
      deliver(now);
      for (auto& [id, driver] : drivers_) fire(id, driver, now);
      for (auto& [id, driver] : drivers_) act(id, driver, now);
    }
  }

  bool failed() const { return !failure_.empty(); }
  const std::string& failure() const { return failure_; }
  std::size_t activations() const { return activations_; }
  std::size_t confirmations() const { return confirmed_.size(); }

 private:
  struct Driver {
    std::optional<Owner> owner;
    std::optional<Operation> op;
    bool active = false;
    Time idle_until = 0;
    std::optional<Stamp> last_started;
  };

  void fail(const std::string& what) {
    if (failure_.empty()) failure_ = "seed " + std::to_string(seed_) + ": " + what;
  }

  // --- network -----------------------------------------------------------------------------

  void send(Time now, const NodeId& from, const NodeId& to, wire::Message message) {
    Bytes payload = wire::encode(message);
    // A node's messages to itself loop back through its own inbound channel: never lost, in order.
    if (from == to) {
      queue_.push(Envelope{now, seq_++, from, to, std::move(payload)});
      return;
    }
    std::uniform_real_distribution<double> chance(0, 1);
    if (chance(rng_) < drop_) return;
    const int copies = chance(rng_) < 0.05 ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      queue_.push(Envelope{now + static_cast<Time>(1 + rng_() % 30) * kMs, seq_++, from, to, payload});
    }
  }

  void deliver(Time now) {
    while (!queue_.empty() && queue_.top().at <= now && !failed()) {
      Envelope e = queue_.top();
      queue_.pop();
      auto message = wire::decode(e.payload);
      if (!message) return fail("a message the wire wrote did not read back: " + message.error().text());
      if (auto* request = std::get_if<Request>(&message->variant)) {
        receive(now, e.to, std::move(*request));
      } else {
        auto it = drivers_.find(e.to);
        if (it == drivers_.end() || !it->second.owner) continue;
        apply(e.to, it->second, it->second.owner->receive(std::move(std::get<Reply>(message->variant))), now);
      }
    }
  }

  void receive(Time now, const NodeId& at, Request request) {
    auto& replica = replicas_.at(at);
    const NodeId origin = request.origin();
    const auto before = replica.records.contains(replica::Name{kActor, kKey})
                            ? std::optional(*replica.entry(kActor, kKey))
                            : std::nullopt;
    auto reply = replica.receive(std::move(request), false);
    check_replica(replica, before);
    if (reply) send(now, at, origin, wire::Message{std::move(*reply)});
  }

  // --- the owner side, as the replication service drives it ---------------------------------

  Owner& owner_of(const NodeId& id, Driver& d) {
    if (!d.owner) {
      const auto promised = replicas_.at(id).promised(kActor, kKey);
      d.owner.emplace(kActor, kKey, id, ids_, level_, kBudget, promised ? promised->round : 0, Durable::none());
    }
    return *d.owner;
  }

  void send_all(const NodeId& from, std::vector<Send> sends, Time now) {
    for (auto& s : sends) send(now, from, s.to, wire::Message{std::move(s.request)});
  }

  void apply(const NodeId& id, Driver& d, Step step, Time now) {
    if (d.owner) note_write(id, d);
    send_all(id, std::move(step.requests), now);
    if (!step.outcome) {
      // A write in flight is retried until its answer deadline: an Accept or its answer may be lost.
      if (d.op && !d.op->retry_at && d.owner && d.owner->phase &&
          std::holds_alternative<owner::Writing>(*d.owner->phase)) {
        d.op->retry_at = now + kRetry;
      }
      return;
    }
    if (!d.op) return;
    if (std::holds_alternative<Outcome::Fenced>(step.outcome->value) && d.op->activate) {
      d.op->check_at.reset();
      d.op->retry_at = now + kRetry;
      return;
    }
    Operation op = std::move(*d.op);
    d.op.reset();
    settled(id, d, op, std::move(*step.outcome), now);
  }

  void settled(const NodeId& id, Driver& d, const Operation& op, Outcome outcome, Time now) {
    if (op.activate) {
      if (auto* a = std::get_if<Outcome::Activated>(&outcome.value)) {
        d.active = true;
        confirmed(*d.owner, now);
        check_activation(op, *d.owner, a);
      } else if (std::holds_alternative<Outcome::Missing>(outcome.value)) {
        check_activation(op, *d.owner, nullptr);
      }
    } else {
      if (std::holds_alternative<Outcome::Saved>(outcome.value)) confirmed(*d.owner, now);
      if (std::holds_alternative<Outcome::Fenced>(outcome.value)) d.active = false;
      if (op.ending) {
        d.owner.reset();
        d.active = false;
      }
    }
    d.idle_until = now + static_cast<Time>(rng_() % 100) * kMs;
  }

  void fire(const NodeId& id, Driver& d, Time now) {
    if (!d.op) return;
    auto& op = *d.op;
    if (op.answer_by <= now) {
      const bool ending = !op.activate && op.ending;
      d.op.reset();
      if (ending) {
        d.owner.reset();
        d.active = false;
      }
      d.idle_until = now;
      return;
    }
    if (op.retry_at && *op.retry_at <= now) {
      op.retry_at.reset();
      again(id, d, now);
      return;
    }
    if (op.check_at && *op.check_at <= now) {
      op.check_at.reset();
      auto& owner = owner_of(id, d);
      if (owner.phase && std::holds_alternative<owner::Promising>(*owner.phase)) {
        apply(id, d, owner.decide(true), now);
      } else {
        apply(id, d, Step{}, now);
      }
    }
  }

  void again(const NodeId& id, Driver& d, Time now) {
    auto& owner = owner_of(id, d);
    if (d.op->activate) {
      auto sends = owner.activate(d.op->initial, ids_.size());
      if (!sends) return fail("an initial state within the budget was refused: " + sends.error().text);
      return apply(id, d, Step{std::nullopt, std::move(*sends), std::nullopt}, now);
    }
    auto* promising = owner.phase ? std::get_if<owner::Promising>(&*owner.phase) : nullptr;
    if (promising && promising->pending) {
      auto pending = std::move(promising->pending);
      const auto wanted = promising->wanted;
      return apply(id, d,
                   Step{std::nullopt,
                        owner.prepare(std::nullopt, wanted, owner::Lookup{owner::Lookup::Loaded{}}, std::move(pending)),
                        std::nullopt},
                   now);
    }
    apply(id, d, Step{std::nullopt, owner.resend(), std::nullopt}, now);
  }

  Pages random_state(const NodeId& id) {
    Pages out;
    for (const char* name : {"a", "b", "c", "d"}) {
      if (rng_() % 3 == 0) continue;
      std::string content = "n" + std::to_string(id.incarnation[15]) + "w" + std::to_string(++writes_);
      content.append(rng_() % 4 == 0 ? rng_() % 400 : rng_() % 20, 'x');
      out.insert_or_assign(name, Bytes(content.begin(), content.end()));
    }
    return out;
  }

  void act(const NodeId& id, Driver& d, Time now) {
    if (d.op || now < d.idle_until) return;
    Operation op;
    op.start = now;
    op.answer_by = now + kWriteTimeout;
    auto& owner = owner_of(id, d);
    std::vector<Send> sends;
    if (!d.active) {
      op.activate = true;
      op.check_at = now + kCheck;
      if (rng_() % 10 < 7) op.initial = random_state(id);
      auto got = owner.activate(op.initial, ids_.size());
      if (!got) return fail("an initial state within the budget was refused: " + got.error().text);
      sends = std::move(*got);
    } else {
      const auto pick = rng_() % 20;
      if (pick < 2) owner.reprepare = ids_.size();
      if (pick < 12) {
        sends = *owner.save(random_state(id));
      } else if (pick < 15) {
        op.ending = rng_() % 2 == 0;
        sends = owner.delete_();
      } else if (pick < 18) {
        op.ending = true;
        sends = *owner.next(random_state(id));
      } else {
        d.idle_until = now + 50 * kMs;
        return;
      }
    }
    d.op = std::move(op);
    apply(id, d, Step{std::nullopt, std::move(sends), std::nullopt}, now);
  }

  // --- invariants ---------------------------------------------------------------------------

  // Every state a stamp names is the one state written under it.
  void note_write(const NodeId& id, Driver& d) {
    const auto& written = d.owner->inflight;
    if (!written) return;
    const std::string key = id_of(written->stamp);
    auto [it, fresh] = history_.try_emplace(key, written->pages);
    if (fresh) {
      if (d.last_started && !Stamp::before(*d.last_started, written->stamp)) {
        fail("an owner started a write whose stamp is not after its previous one: " + key);
      }
      d.last_started = written->stamp;
      stamps_.emplace(key, written->stamp);
    } else if (it->second != written->pages) {
      fail("two different states share the stamp " + key);
    }
  }

  void check_replica(const Replica& replica, const std::optional<replica::Entry>& before) {
    const auto* now = replica.entry(kActor, kKey);
    if (!now || !now->accepted) return;
    auto it = history_.find(id_of(*now->accepted));
    if (it == history_.end()) return fail("a replica holds a state no owner wrote");
    if (it->second != now->pages) return fail("a replica holds another state under the stamp " + it->first);
    if (!before) return;
    if (before->accepted && *before->accepted != *now->accepted &&
        !Stamp::before(*before->accepted, *now->accepted)) {
      fail("a replica's stamp went back from " + id_of(*before->accepted) + " to " + id_of(*now->accepted));
    }
    if (before->promised && now->promised && now->promised->lower_than(*before->promised)) {
      fail("a replica's promise went back");
    }
  }

  void confirmed(const Owner& owner, Time now) { confirmed_.push_back(Confirmed{owner.last->stamp, now}); }

  void check_activation(const Operation& op, const Owner& owner, const Outcome::Activated* activated) {
    ++activations_;
    // The latest write confirmed before this activation began.
    const Confirmed* seen = nullptr;
    for (const auto& c : confirmed_) {
      if (c.at < op.start && (!seen || Stamp::before(seen->stamp, c.stamp))) seen = &c;
    }
    const bool created = !activated || activated->created;
    if (!created) {
      const auto& base = owner.last->base;
      if (!base) return fail("an activation from the replicas has no base");
      if (without_active(history_.at(id_of(*base))) != activated->state) {
        return fail("an activation's state is not the state of its base " + id_of(*base));
      }
      if (seen && Stamp::before(*base, seen->stamp)) {
        fail("an activation took " + id_of(*base) + ", older than the confirmed " + id_of(seen->stamp));
      }
      return;
    }
    if (activated && op.initial != activated->state) fail("a created activation does not hold its initial state");
    if (!seen) return;
    // Nothing was found, or a tombstone: a deletion at or after the confirmed write must exist.
    for (const auto& [key, stamp] : stamps_) {
      if (messages::is_tombstone(history_.at(key)) && !Stamp::before(stamp, seen->stamp)) return;
    }
    fail("the confirmed write " + id_of(seen->stamp) + " was lost: an activation found no state");
  }

  std::uint64_t seed_;
  std::mt19937_64 rng_;
  Level level_ = Level::Majority;
  std::size_t owners_ = 1;
  double drop_ = 0;
  std::vector<NodeId> ids_;
  std::map<NodeId, Replica> replicas_;
  std::map<NodeId, Driver> drivers_;
  std::priority_queue<Envelope, std::vector<Envelope>, std::greater<>> queue_;
  std::uint64_t seq_ = 0;
  std::uint64_t writes_ = 0;
  std::map<std::string, Pages> history_;
  std::map<std::string, Stamp> stamps_;
  std::vector<Confirmed> confirmed_;
  std::size_t activations_ = 0;
  std::string failure_;
};

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(ReplicationSimulation, InvariantsHoldOnALossyNetwork) {
  std::vector<std::uint64_t> seeds;
  if (std::getenv("VOREL_SIM_SEED")) {
    seeds.push_back(env_or("VOREL_SIM_SEED", 0));
  } else {
    for (std::uint64_t s = 1, n = env_or("VOREL_SIM_SEEDS", 400); s <= n; ++s) seeds.push_back(s);
  }
  std::size_t activations = 0, confirmations = 0;
  for (auto seed : seeds) {
    World world(seed);
    world.run();
    ASSERT_FALSE(world.failed()) << world.failure();
    activations += world.activations();
    confirmations += world.confirmations();
  }
  // The runs did work: a simulation in which nothing gets through checks nothing.
  EXPECT_GT(activations, seeds.size());
  EXPECT_GT(confirmations, 5 * seeds.size());
}

}  // namespace
}  // namespace vorel::core::replication
