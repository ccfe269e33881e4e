#include "node/loop.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <type_traits>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>

#include "core/membership/wire.hpp"
#include "core/replication/wire.hpp"
#include "core/routing/wire.hpp"
#include "exec/threads_asio.hpp"
#include "net/endpoint.hpp"
#include "net/notify.hpp"

namespace vorel::node {

namespace {

using Clock = std::chrono::steady_clock;
using core::membership::Status;
using routing::Step;

// Envelopes taken from the transport ahead of the loop. Each one taken has returned its
// flow-control credit, so the transport's windows bound only what waits beyond these.
constexpr std::size_t kInbound = 64;
// How soon the loop looks again at a hand-off deadline that its last firing left in the past.
constexpr auto kStale = std::chrono::milliseconds(100);

std::chrono::nanoseconds span(core::Duration d) {
  return std::chrono::seconds(static_cast<std::int64_t>(std::min<std::uint64_t>(d.seconds, 1ull << 32))) +
         std::chrono::nanoseconds(d.nanos);
}

using Inbound = std::variant<net::endpoint::Received, net::endpoint::Refusal>;

// The loop's side of the transport. A pump of its own, beside the loop, moves envelopes from the
// endpoint's channel into `queue` and rings the loop, so that the loop looks at every source in
// turn without waiting on any one of them, and never holds the pump up while it works.
struct Intake {
  Intake(Ending e, std::unique_ptr<net::Endpoint> ep, std::shared_ptr<Bell> b)
      : ending(std::move(e)), endpoint(std::move(ep)), bell(std::move(b)) {}

  // First, so that it goes last: the task counts as ended once the endpoint is gone.
  Ending ending;
  std::unique_ptr<net::Endpoint> endpoint;
  std::shared_ptr<Bell> bell;
  std::mutex mutex;
  std::deque<Inbound> queue;
  // Every sending end of the endpoint's channel is gone.
  bool closed = false;
  // The loop is done with the transport: the pump stops.
  std::atomic<bool> over{false};
  Bell room;
  net::Flag stopped;

  // The next envelope, if one waits; `closed` tells an empty queue that stays empty.
  std::optional<Inbound> next(bool& ended) {
    std::lock_guard lock(mutex);
    ended = closed && queue.empty();
    if (queue.empty()) return std::nullopt;
    auto item = std::move(queue.front());
    queue.pop_front();
    if (queue.size() + 1 == kInbound) room.ring();
    return item;
  }

  bool full() {
    std::lock_guard lock(mutex);
    return queue.size() >= kInbound;
  }

  // Wakes the pump out of its receive with an envelope of no name, which the loop ignores.
  void stop(const core::NodeId& own) {
    over = true;
    room.ring();
    if (endpoint) (void)endpoint->sender().send(net::pool::Target::node(own), "", {});
  }
};

asio::awaitable<void> pump(std::shared_ptr<Intake> in) {
  for (;;) {
    while (!in->over && in->full()) co_await in->room.wait();
    if (in->over) break;
    auto next = co_await in->endpoint->recv();
    if (in->over) break;
    {
      std::lock_guard lock(in->mutex);
      if (next) {
        in->queue.push_back(std::move(*next));
      } else {
        in->closed = true;
      }
    }
    in->bell->ring();
    if (!next) break;
  }
  in->stopped.set();
}

net::pool::Target target_of(const core::membership::Destination& to) {
  if (const auto* node = std::get_if<core::NodeId>(&to)) return net::pool::Target::node(*node);
  return net::pool::Target::address(std::get<std::string>(to));
}

bool listed(const MemberList& list, const core::NodeId& node) {
  return std::any_of(list.begin(), list.end(), [&](const auto& m) { return m.node == node; });
}

void routed(const Sender& sender, Held& held, core::routing::wire::Message message) {
  namespace wire = core::routing::wire;
  if (std::holds_alternative<wire::WrongOwner>(message.variant)) held.members->refresh();
  const auto [actor, key] = std::visit(
      [](const auto& m) -> std::pair<std::string, std::string> {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, wire::Cancel>) {
          return {m.actor, m.key};
        } else {
          const auto& command = [&]() -> const core::Command& {
            if constexpr (std::is_same_v<M, wire::WrongOwner>) return m.routed.command;
            else return m.command;
          }();
          return std::visit([](const auto& c) { return std::pair<std::string, std::string>{c.actor, c.key}; },
                            command);
        }
      },
      message.variant);
  const auto limit = held.timeout(actor);
  const auto at = held.place(actor, key);
  // An arriving command queues behind the ones that wait for its key, so the key keeps their order.
  if (std::holds_alternative<Place::Here>(at.value) && std::holds_alternative<core::routing::Routed>(message.variant) &&
      held.waiting.holds(actor, key)) {
    held.act(sender,
             Step{Step::Park{std::move(std::get<core::routing::Routed>(message.variant)), core::Duration{}}});
    return;
  }
  held.act(sender, held.routing.receive(std::move(message), at, limit));
}

void replicated(Held& held, core::replication::wire::Message message) {
  using core::handoff::messages::Pull;
  using core::replication::messages::Reply;
  using core::replication::messages::Request;
  const std::string& actor = std::visit(
      [](const auto& m) -> const std::string& {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Pull>) {
          return std::visit([](const auto& p) -> const std::string& { return p.actor; }, m.variant);
        } else {
          return m.actor();
        }
      },
      message.variant);
  if (!held.counts.entries().contains(actor)) held.host->meet(held.node, actor);
  if (auto* reply = std::get_if<Reply>(&message.variant)) {
    held.replication.answer(std::move(*reply), held.clock());
  } else if (auto* pull = std::get_if<Pull>(&message.variant)) {
    held.handoff.receive(std::move(*pull), held.replication.replica);
  } else {
    auto& request = std::get<Request>(message.variant);
    const bool receiving = held.handoff.arriving(request.actor(), request.key());
    held.replication.request(std::move(request), receiving);
  }
}

}  // namespace

Ending::~Ending() {
  if (flag_) flag_->set();
}

void received(const Sender& sender, Held& held, std::string_view name, core::ByteView payload, double now) {
  if (name == "actors") {
    auto message = core::routing::wire::decode(payload);
    if (message) routed(sender, held, std::move(*message));
  } else if (name == "replies") {
    auto answer = core::routing::wire::decode_answer(payload);
    if (!answer) return;
    held.remote.erase(answer->first);
    held.host->settle(answer->first, std::move(answer->second));
  } else if (name == "membership") {
    held.members->receive(payload, now);
  } else if (name == "replication") {
    auto message = core::replication::wire::decode(payload);
    if (message) replicated(held, std::move(*message));
  }
}

void operations(const Sender& sender, Held& held) {
  const auto now = held.clock();
  for (const auto& name : held.replication.fired(now)) {
    if (auto around = held.around(name.actor, name.key)) held.replication.again(name.actor, name.key, *around, now);
  }
  for (const auto& name : held.replication.burying(now)) {
    // A tombstone whose key still arrives here waits: a copy on its way may be newer.
    if (held.handoff.arriving(name.actor, name.key)) continue;
    if (auto around = held.around(name.actor, name.key)) {
      held.replication.bury(name.actor, name.key, around->replicas, around->durable.any());
    }
  }
  held.handoff.fired(now, held.replication.replica);
  held.handed_off = now;
  if (held.waiting.count > 0 && held.waiting.since && now - *held.waiting.since >= routing::waiting::kExamineEvery) {
    held.release(sender);
  }
}

std::optional<Instant> earliest(const Held& held) {
  std::optional<Instant> out;
  const auto take = [&](std::optional<Instant> at) {
    if (at && (!out || *at < *out)) out = at;
  };
  take(held.replication.due());
  auto handoff = held.handoff.due();
  // A deadline the last firing left behind belongs to work the service would not do then (a node
  // that is not live): looked at again a little later rather than at once, again and again.
  if (handoff && held.handed_off && *handoff <= *held.handed_off) handoff = *held.handed_off + kStale;
  take(handoff);
  if (held.serving && held.minority) take(routing::waiting::later(*held.minority, held.grace));
  if (held.waiting.count > 0 && held.waiting.since) take(*held.waiting.since + routing::waiting::kExamineEvery);
  return out;
}

void flush(const Sender& sender, Held& held, watch::Sender<MemberList>& watch,
           std::optional<oneshot::Sender<Joining>>& join) {
  for (const auto& out : held.members->take()) {
    (void)sender.send(target_of(out.to), "membership", core::membership::wire::encode(out.message));
  }

  for (const auto& name : std::exchange(held.replication.foreign, {})) {
    if (!held.replication.replica.marked(name.actor, name.key)) continue;
    if (auto acting = held.acting_for(name.actor, name.key); acting && *acting == held.own()) {
      held.host->attach(held.node, name.actor, name.key);
    }
  }

  const auto now = held.clock();
  held.replication.lay(now);

  const bool changed = held.members->changed();
  if (changed) {
    auto list = held.members->members();
    std::set<core::NodeId> live;
    std::vector<core::NodeId> gone;
    for (const auto& m : list) {
      if (m.status == Status::Alive || m.status == Status::Leaving || m.status == Status::Suspect) live.insert(m.node);
      if (m.status == Status::Dead) gone.push_back(m.node);
    }
    held.handoff.knows(std::move(live));
    for (auto& step : held.placement.update(list, held.counts)) {
      auto kind = held.kinds.find(step.actor);
      held.handoff.begin(std::move(step), kind == held.kinds.end() ? nullptr : &kind->second);
    }
    // Asks sent to a node that is dead, or that left and is no longer listed, get no answer.
    for (const auto& [id, r] : held.remote) {
      if (r.node != held.own() && !listed(list, r.node) &&
          std::find(gone.begin(), gone.end(), r.node) == gone.end()) {
        gone.push_back(r.node);
      }
    }
    held.forsake(gone);
    if (watch.watched()) watch.publish(list);
    held.host->members(std::move(list));
    for (auto& t : held.members->transitions()) {
      held.host->observe(events::Event{events::MemberChanged{std::move(t.node), t.status, t.previous}});
    }
  }

  const bool was_serving = held.serving;
  if (held.members->majority()) {
    held.minority.reset();
    held.serving = true;
  } else {
    if (!held.minority) held.minority = now;
    held.serving = now < routing::waiting::later(*held.minority, held.grace);
  }

  const bool moved = std::exchange(held.handoff.moved, false);
  if (changed || moved || was_serving != held.serving) {
    for (const auto& step : std::exchange(held.handoff.released, {})) {
      if (auto steps = held.placement.steps.find(step.actor); steps != held.placement.steps.end()) {
        std::erase(steps->second, step);
      }
    }
    const auto kept = swept(held.counts, held.replication.replica);
    const core::handoff::sweep::Where where{held.placement, held.counts, held.handoff, held.own(),
                                            held.members->joined(), held.serving};
    auto lists = core::handoff::sweep::sweep(kept, held.acting, where);
    // A leaving node hands every kept key to its replicas without the leaving members before it
    // departs: the sweep would hand nothing over while placement still counts it as a replica.
    if (held.handoff.leaving()) lists.handovers = handoff::service::departing(kept, held.placement, held.counts);
    for (auto& [actor, key] : lists.release) held.host->release(std::move(actor), std::move(key));
    for (auto& [actor, key] : lists.attach) held.host->attach(held.node, std::move(actor), std::move(key));
    held.handoff.give(std::move(lists.handovers), held.replication.replica, now);
    held.release(sender);
  }

  auto& outgoing = held.replication.outgoing;
  std::move(held.handoff.outgoing.begin(), held.handoff.outgoing.end(), std::back_inserter(outgoing));
  held.handoff.outgoing.clear();
  for (const auto& out : std::exchange(outgoing, {})) {
    (void)sender.send(net::pool::Target::node(out.to), "replication", core::replication::wire::encode(out.message));
  }

  for (auto& request : std::exchange(held.replication.store_requests, {})) held.host->store(held.node, std::move(request));

  for (auto& event : std::exchange(held.replication.events, {})) held.host->observe(std::move(event));
  for (auto& event : held.handoff.observed()) held.host->observe(std::move(event));

  if (held.handed && !held.handoff.owing()) {
    auto waiter = std::move(*held.handed);
    held.handed.reset();
    waiter.send({});
  }

  if (held.members->removed() && !held.reported) {
    held.reported = true;
    held.host->removed();
  }

  if (join && held.members->joined()) {
    auto signal = std::move(*join);
    join.reset();
    signal.send(Joining{});
  }
}

asio::awaitable<void> run(Looping looping) {
  const auto start = Clock::now();
  auto in = std::make_shared<Intake>(std::move(looping.ending), std::move(looping.endpoint), looping.bell);
  // Declared after `in`, so they go before it: the task's end is marked once all of them are gone.
  auto held_box = std::move(looping.held);
  auto asks = std::move(looping.asks);
  auto join = std::move(looping.join);
  auto& watch = looping.members;
  auto& bell = *looping.bell;
  Held& held = *held_box;
  const core::NodeId own = held.own();
  const Sender sender = in->endpoint->sender();
  // However the task ends, even aborted at a wait, the pump is told to stop: it holds the
  // endpoint, which goes when the pump does.
  struct Stop {
    Intake& in;
    const core::NodeId& own;
    ~Stop() { in.stop(own); }
  } stop_pump{*in, own};

  // The pump runs on a strand of its own where the pool allows, beside the loop's.
  auto executor = co_await asio::this_coro::executor;
  if (auto threads = exec::holder(asio::query(executor, asio::execution::context))) {
    asio::co_spawn(asio::make_strand(exec::context(*threads)), pump(in), asio::detached);
  } else {
    asio::co_spawn(executor, pump(in), asio::detached);
  }

  const auto seconds = [start] {
    const auto since = Clock::now() - start;
    return since.count() < 0 ? 0.0 : std::chrono::duration<double>(since).count();
  };
  const std::array periods{span(looping.timers.heartbeat), span(looping.timers.graft_after),
                           span(looping.timers.shuffle_every), span(looping.timers.anti_entropy)};
  // Each timer's first tick is due at once.
  std::array<Instant, 4> next{start, start, start, start};

  held.members->join();
  held.members->mark();
  flush(sender, held, watch, join);

  // In the frame, not thread-local: the task resumes on whichever thread of the pool is free.
  std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<int> first_of(0, 6);
  bool stopped = false;
  bool closed = false;
  while (!stopped && !closed) {
    const auto deadline = earliest(held);
    const auto now = Clock::now();
    bool handled = false;
    // The branch looked at first changes at random every round, so no source starves the others.
    const int first = first_of(rng);
    for (int i = 0; i < 7 && !handled; ++i) {
      const int branch = (first + i) % 7;
      if (branch == 0) {
        bool ended = false;
        auto next = in->next(ended);
        if (!next) {
          if (ended) closed = handled = true;
          continue;
        }
        auto& item = *next;
        handled = true;
        if (auto* refusal = std::get_if<net::endpoint::Refusal>(&item)) {
          // Before the join a refusal fails the start; after it, nobody is waiting for it.
          if (join) {
            auto signal = std::move(*join);
            join.reset();
            signal.send(std::unexpected(std::move(refusal->text)));
          }
          continue;
        }
        // The endpoint returned the envelope's flow-control credit when it handed it over.
        auto& envelope = std::get<net::endpoint::Received>(item);
        const double at = seconds();
        if (envelope.from) held.members->heard(*envelope.from, at);
        received(sender, held, envelope.name, envelope.payload, at);
      } else if (branch <= 4) {
        const auto t = static_cast<std::size_t>(branch - 1);
        if (now < next[t]) continue;
        next[t] += periods[t];
        if (next[t] <= now) next[t] = now + periods[t];
        handled = true;
        const double at = seconds();
        switch (t) {
          case 0:
            held.members->probe(at);
            held.members->expire(at);
            break;
          case 1:
            held.members->graft(at);
            break;
          case 2:
            held.members->shuffle(at);
            break;
          default:
            held.members->anti_entropy();
        }
      } else if (branch == 5) {
        if (!deadline || now < *deadline) continue;
        handled = true;
        operations(sender, held);
      } else {
        auto ask = asks.try_recv();
        if (!ask) continue;
        handled = true;
        stopped = !asked(sender, held, std::move(*ask), seconds());
      }
    }
    if (closed) break;
    if (handled) {
      flush(sender, held, watch, join);
      continue;
    }
    auto wake = *std::min_element(next.begin(), next.end());
    if (deadline && *deadline < wake) wake = *deadline;
    co_await bell.wait(wake);
  }

  in->stop(own);
  co_await in->stopped.wait();
  co_await in->endpoint->close(false);
  in->endpoint.reset();
}

}  // namespace vorel::node
