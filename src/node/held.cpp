#include "node/held.hpp"

#include <algorithm>
#include <type_traits>

#include "core/routing/wire.hpp"

namespace vorel::node {

namespace {

using Clock = std::chrono::steady_clock;
using core::routing::Routed;
using replication::service::Failure;
using routing::Step;
namespace wire = core::routing::wire;

std::pair<const std::string&, const std::string&> key_of(const core::Command& command) {
  return std::visit(
      [](const auto& c) { return std::pair<const std::string&, const std::string&>{c.actor, c.key}; }, command);
}

// The reply target of an ask, or none for a start or a tell.
const core::Target::Reply* asker(const core::Command& command) {
  const auto* deliver = std::get_if<core::Deliver>(&command);
  return deliver && deliver->reply ? deliver->reply->as_reply() : nullptr;
}

core::replication::Durable durable_of(const std::optional<core::Durability>& durability) {
  if (!durability) return core::replication::Durable::none();
  if (const auto* after = durability->as_after()) return core::replication::Durable::after(after->period);
  return core::replication::Durable::write();
}

}  // namespace

Held::Held(Node node, std::shared_ptr<Host> host, std::unique_ptr<core::membership::Members> members,
           core::placement::Placement placement, core::placement::Counts counts, Handoff handoff,
           replication::service::Replication replication, std::map<std::string, core::Kind, std::less<>> kinds,
           core::Duration grace)
    : node(std::move(node)),
      host(std::move(host)),
      members(std::move(members)),
      placement(std::move(placement)),
      counts(std::move(counts)),
      handoff(std::move(handoff)),
      routing{this->node.id(), false},
      replication(std::move(replication)),
      kinds(std::move(kinds)),
      grace(grace) {}

std::optional<core::NodeId> Held::acting_for(std::string_view actor, std::string_view key) const {
  return core::placement::acting(placement.owner(actor, key, counts, handoff), key, own(), members->joined(),
                                 serving);
}

Place Held::place(std::string_view actor, std::string_view key) const {
  if (!members->joined()) return Place::wait();
  if (auto acting = acting_for(actor, key); acting && *acting == own()) return Place::here();
  auto destination = core::placement::acting(placement.destination(actor, key, counts), key, own(), true, serving);
  if (!destination) return Place::nobody();
  // The key is on its way here: its commands wait until the hand-off is over.
  if (*destination == own()) return Place::wait();
  return Place::there(std::move(*destination));
}

std::optional<replication::service::Around> Held::around(std::string_view actor, std::string_view key) const {
  auto replicas = placement.replicas(actor, key, counts, handoff);
  if (replicas.empty()) return std::nullopt;
  std::set<core::NodeId> live;
  for (auto& m : members->members()) {
    if (m.status != core::membership::Status::Dead) live.insert(std::move(m.node));
  }
  replication::service::Around out;
  out.wanted = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::count_if(replicas.begin(), replicas.end(),
                                                  [&](const core::NodeId& n) { return live.contains(n); })));
  out.replicas = std::move(replicas);
  if (auto kind = kinds.find(actor); kind != kinds.end()) {
    out.write_timeout = kind->second.write_timeout;
    out.durable = durable_of(kind->second.durability);
    out.level = static_cast<core::replication::Level>(kind->second.write);
  }
  return out;
}

core::Duration Held::timeout(std::string_view actor) const {
  if (auto kind = kinds.find(actor); kind != kinds.end() && kind->second.write_timeout) {
    return *kind->second.write_timeout;
  }
  return replication.write_timeout();
}

void Held::answer(const Sender& sender, const core::Target& target, core::Outcome outcome) {
  const auto* reply = target.as_reply();
  if (!reply) return;
  if (reply->node == own()) {
    remote.erase(reply->id);
    host->settle(reply->id, std::move(outcome));
    return;
  }
  // A failed send is not reported: the asker's own timeout ends its wait.
  (void)sender.send(net::pool::Target::node(reply->node), "replies", wire::encode_answer(reply->id, outcome));
}

void Held::forsake(const std::vector<core::NodeId>& nodes) {
  if (nodes.empty()) return;
  std::vector<std::int64_t> gone;
  for (const auto& [id, r] : remote) {
    if (std::find(nodes.begin(), nodes.end(), r.node) != nodes.end()) gone.push_back(id);
  }
  std::sort(gone.begin(), gone.end());
  for (auto id : gone) {
    auto outcome = std::move(remote.at(id).outcome);
    remote.erase(id);
    host->settle(id, std::move(outcome));
  }
}

void Held::act(const Sender& sender, Step step) {
  std::visit(
      [&](auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, Step::Send>) {
          if (const auto* routed = std::get_if<Routed>(&s.message.variant); routed && routed->origin == own()) {
            if (const auto* reply = asker(routed->command)) {
              auto [actor, key] = key_of(routed->command);
              remote.insert_or_assign(reply->id, Remote{s.to, core::Outcome::unreached(actor, key)});
            }
          }
          // A failed send is not reported: a recorded ask is settled when its node is lost, or by
          // the asker's own timeout.
          (void)sender.send(net::pool::Target::node(s.to), "actors", wire::encode(s.message));
        } else if constexpr (std::is_same_v<S, Step::Hand>) {
          host->hand(node, std::move(s.command));
        } else if constexpr (std::is_same_v<S, Step::Park>) {
          if (s.routed.origin == own()) {
            if (const auto* reply = asker(s.routed.command)) remote.erase(reply->id);
          }
          if (waiting.count < waiting.limit) {
            const auto actor = key_of(s.routed.command).first;
            const auto limit = timeout(actor);
            waiting.keep(std::move(s.routed), clock(), s.delay, limit);
            return;
          }
          auto [actor, key] = key_of(s.routed.command);
          auto outcome = core::Outcome::unreached(actor, key);
          act(sender, Step{Step::Answer{std::move(s.routed.command), routing::room_full(waiting.count),
                                        std::move(outcome)}});
        } else if constexpr (std::is_same_v<S, Step::Cancel>) {
          waiting.cancel(s.cancel);
          host->cancel(std::move(s.cancel.actor), std::move(s.cancel.key), std::move(s.cancel.request));
        } else {
          if (const auto* deliver = std::get_if<core::Deliver>(&s.command); deliver && deliver->reply) {
            answer(sender, *deliver->reply, std::move(s.outcome));
            return;
          }
          auto [actor, key] = key_of(s.command);
          host->observe(events::Event{events::MessageDropped{actor, key, std::move(s.reason)}});
        }
      },
      step.value);
}

void Held::release(const Sender& sender) {
  const auto now = clock();
  for (const auto& k : waiting.keys()) {
    const auto at = place(k.actor, k.key);
    for (auto& released : waiting.release(k.actor, k.key, at.waits(), now)) {
      if (!released.expired) {
        act(sender, routing.route(std::move(released.routed), at));
        continue;
      }
      auto outcome = core::Outcome::unreached(k.actor, k.key);
      act(sender, Step{Step::Answer{std::move(released.routed.command), std::string(routing::kExpired),
                                    std::move(outcome)}});
    }
  }
  waiting.since = now;
}

bool asked(const Sender& sender, Held& held, Ask ask, double now) {
  return std::visit(
      [&](auto& a) -> bool {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, Ask::Route>) {
          auto [actor, key] = key_of(a.command);
          // A key with parked commands takes the new one behind them, so its commands keep their order.
          const bool behind = held.waiting.holds(actor, key);
          const auto at = behind ? Place::wait() : held.place(actor, key);
          Routed routed{std::move(a.command), held.own(), 1};
          held.act(sender, behind ? Step{Step::Park{std::move(routed), core::Duration{}}}
                                  : held.routing.route(std::move(routed), at));
        } else if constexpr (std::is_same_v<A, Ask::Answer>) {
          held.answer(sender, a.target, std::move(a.outcome));
        } else if constexpr (std::is_same_v<A, Ask::Cancel>) {
          if (const auto* reply = a.cancel.request.as_reply(); reply && reply->node == held.own()) {
            held.remote.erase(reply->id);
          }
          if (held.waiting.cancel(a.cancel)) return true;
          const auto at = held.place(a.cancel.actor, a.cancel.key);
          std::optional<core::NodeId> to;
          if (const auto* there = std::get_if<Place::There>(&at.value)) {
            to = there->node;
          } else if (!std::holds_alternative<Place::Nobody>(at.value)) {
            to = held.own();
          }
          if (to) held.act(sender, Step{Step::Send{wire::Message{std::move(a.cancel)}, std::move(*to)}});
        } else if constexpr (std::is_same_v<A, Ask::Learn>) {
          const auto& name = a.kind.name;
          if (!held.counts.known(name)) {
            held.counts.learn(name, a.kind.replicas);
            held.placement.learned(name);
            held.members->know({name}, now);
            held.members->mark();
          }
          held.kinds.insert_or_assign(name, std::move(a.kind));
        } else if constexpr (std::is_same_v<A, Ask::GiveUp>) {
          held.counts.give_up(a.name);
        } else if constexpr (std::is_same_v<A, Ask::Activate>) {
          auto around = held.around(a.actor, a.key);
          if (!around) {
            Failure failure{Failure::Kind::Unavailable, routing::nobody_hosts(a.actor)};
            a.answer.send(std::unexpected(failure));
            held.host->observe(events::Event{events::WriteFailed{std::move(failure), a.actor, a.key, false}});
            return true;
          }
          held.replication.activate(a.actor, a.key, std::move(a.initial), *around, std::move(a.answer), held.clock());
        } else if constexpr (std::is_same_v<A, Ask::Commit>) {
          held.replication.commit(a.actor, a.key, a.generation, std::move(a.pages), a.active, held.around(a.actor, a.key),
                                  std::move(a.answer), held.clock());
        } else if constexpr (std::is_same_v<A, Ask::Delete>) {
          held.replication.delete_(a.actor, a.key, a.generation, a.active, held.around(a.actor, a.key),
                                   std::move(a.answer), held.clock());
        } else if constexpr (std::is_same_v<A, Ask::Release>) {
          held.replication.forget(a.actor, a.key, a.generation);
        } else if constexpr (std::is_same_v<A, Ask::Placed>) {
          a.answer.send(
              Placed{held.acting_for(a.actor, a.key), held.placement.replicas(a.actor, a.key, held.counts, held.handoff)});
        } else if constexpr (std::is_same_v<A, Ask::Kept>) {
          a.answer.send(held.replication.replica.kept());
        } else if constexpr (std::is_same_v<A, Ask::Stored>) {
          held.replication.stored(a.request, std::move(a.result), held.clock());
        } else if constexpr (std::is_same_v<A, Ask::Attached>) {
          if (auto acting = held.acting_for(a.actor, a.key); !acting || *acting != held.own()) {
            held.host->release(a.actor, a.key);
          }
          held.acting.emplace(std::move(a.actor), std::move(a.key));
        } else if constexpr (std::is_same_v<A, Ask::Detached>) {
          held.acting.erase(Key{std::move(a.actor), std::move(a.key)});
          // The last activation of a leaving node has ended: its states are final, and what it
          // hands over is looked at again.
          if (held.acting.empty() && held.handoff.leaving()) held.handoff.leave();
        } else if constexpr (std::is_same_v<A, Ask::Handed>) {
          held.handed = std::move(a.waiter);
        } else if constexpr (std::is_same_v<A, Ask::Abandon>) {
          if (!held.handed) return true;
          auto waiter = std::move(*held.handed);
          held.handed.reset();
          auto owed = held.handoff.owed();
          for (auto& event : events::abandoned(owed)) held.host->observe(std::move(event));
          waiter.send(std::move(owed));
        } else if constexpr (std::is_same_v<A, Ask::Peer>) {
          if (a.report.kind == PeerReport::Kind::Unreachable) {
            if (held.members->unreached(a.report.node, now)) held.forsake({a.report.node});
          } else {
            held.members->lost(a.report.node, now);
            held.host->observe(events::Event{events::ConnectionLost{std::move(a.report.node)}});
          }
        } else if constexpr (std::is_same_v<A, Ask::Leave>) {
          held.routing.stopping = true;
          held.handoff.leave();
          held.members->leave(now);
        } else if constexpr (std::is_same_v<A, Ask::Depart>) {
          held.members->depart(now);
        } else {
          static_assert(std::is_same_v<A, Ask::Stop>);
          return false;
        }
        return true;
      },
      ask.value);
}

std::vector<events::Event> events::abandoned(const std::vector<Key>& owed) {
  std::map<std::string, std::vector<std::string>> by_type;
  for (const auto& [actor, key] : owed) by_type[actor].push_back(key);
  std::vector<Event> out;
  out.reserve(by_type.size());
  for (auto& [actor, keys] : by_type) out.push_back(Event{Abandoned{actor, std::move(keys)}});
  return out;
}

std::vector<core::handoff::sweep::Kept> swept(const core::placement::Counts& counts,
                                              const core::replication::Replica& replica) {
  std::vector<core::handoff::sweep::Kept> out;
  for (const auto& [actor, count] : counts.entries()) {
    for (auto& key : replica.keys(actor)) {
      const bool marked = replica.marked(actor, key);
      out.push_back({actor, std::move(key), marked});
    }
  }
  return out;
}

}  // namespace vorel::node
