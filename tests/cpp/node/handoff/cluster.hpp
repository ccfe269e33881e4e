// A cluster of nodes in one thread, each with its placement, its view of the members, its
// replication service and its hand-off service, driven the way the node's event loop drives them:
// after every event the node flushes (member changes, hand-off steps, sweep, sends, observer
// events), and at its earliest deadline it runs the services' timers. Messages travel through the
// replication wire format over an in-memory network that loses, duplicates and reorders them; the
// clock is virtual and every random choice comes from one seed, so a run is reproducible.
//
// Activations are modelled as the host would run them: one activation per key on the node that
// acts for it, a log of write ids as its state, writes, deletions and final writes, and release
// when placement moves the key away. An oracle records every confirmed write and deletion, and the
// invariants are checked after every step.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "core/handoff/sweep.hpp"
#include "core/placement/placement.hpp"
#include "core/replication/wire.hpp"
#include "node/handoff/service.hpp"
#include "node/replication/service.hpp"
#include "testing/ids.hpp"

namespace vorel::node::handoff::simulation {

using namespace std::chrono_literals;
using core::NodeId;
using core::membership::Member;
using core::membership::Status;
using replication::service::ActivateResult;
using replication::service::Around;
using replication::service::CommitResult;
using replication::service::Replication;
using service::Handoff;
using service::Instant;
using service::Key;

inline const std::string kTriple = "triple";  // three replicas, majority
inline const std::string kSolo = "solo";      // one replica

// Messages between two nodes travel in order, as on one connection, with a delay between the two
// bounds; each may be lost, sent twice, or overtake those sent before it (a connection that broke
// and was dialled again).
struct Faults {
  double loss = 0;
  double duplicate = 0;
  double reorder = 0;
  std::chrono::milliseconds min_delay{1};
  std::chrono::milliseconds max_delay{1};
};

struct Activation {
  enum class Phase { Activating, Ready, Writing };
  enum class Write { Save, End, Delete };
  Phase phase = Phase::Activating;
  // The oracle's sequence number when the activation read began.
  std::uint64_t began = 0;
  std::uint64_t handle = 0;
  std::string log;
  oneshot::Receiver<ActivateResult> read;
  oneshot::Receiver<CommitResult> write;
  Write writing = Write::Save;
  std::string next_log;
  std::string id;
  // Placement moved the key away: the activation ends with its next write.
  bool releasing = false;

  // Runs here and is not on its way out.
  bool live() const { return !releasing && (phase == Phase::Ready || (phase == Phase::Writing && writing == Write::Save)); }
};

struct Node {
  Node(NodeId id, std::uint64_t budget, core::Backoff backoff, std::function<Instant()> clock)
      : id(id),
        placement(id),
        replication(id, budget, core::Duration{5, 0}, core::Duration{2, 0}),
        handoff(id, budget, backoff, std::move(clock)) {}

  enum class Leave { None, Draining, Handing, Departed };

  NodeId id;
  bool running = true;
  std::map<NodeId, Member> view;
  bool view_changed = false;
  core::placement::Placement placement;
  core::placement::Counts counts;
  std::map<std::string, core::Kind> kinds;
  Replication replication;
  Handoff handoff;
  std::map<Key, Activation> acts;
  std::map<std::pair<std::string, events::Direction>, bool> reported;
  Leave leave = Leave::None;
  Instant leave_by;
};

class Cluster {
 public:
  Cluster(std::uint64_t seed, Faults faults) : rng_(seed), faults_(faults) {
    // VOREL_SIM_TRACE=actor/key prints the story of one key, to see why a seed failed.
    if (const char* t = std::getenv("VOREL_SIM_TRACE"); t && std::strchr(t, '/')) {
      const std::string text(t);
      trace_ = Key{text.substr(0, text.find('/')), text.substr(text.find('/') + 1)};
    }
  }

  Instant now = Instant{} + 1000s;
  // The first broken invariant; empty while every one holds.
  std::string failure;
  // Keys whose only copy may go with a crashed node: their writes need not survive.
  bool lossy_solo = false;
  std::vector<std::unique_ptr<Node>> nodes;
  std::uint64_t confirmed = 0;
  std::uint64_t activations = 0;
  // Keys of the one-replica type a leaving node held once its activations had drained.
  std::uint64_t handed_solo = 0;

  // A node that knows the members listed and itself; every other running node learns of it a
  // little later, each at its own time.
  std::size_t start() {
    const auto i = nodes.size();
    auto node = std::make_unique<Node>(core::testing::id(static_cast<std::uint8_t>(i + 1)), kBudget, kBackoff,
                                       [this] { return now; });
    for (const auto& [type, kind] : kinds()) {
      node->counts.learn(type, kind.replicas);
      node->kinds.emplace(type, kind);
    }
    truth_.insert_or_assign(node->id, Member{node->id, {kTriple, kSolo}, Status::Alive});
    node->view = truth_;
    node->view_changed = true;
    nodes.push_back(std::move(node));
    spread(i, Status::Alive);
    flush(i);
    return i;
  }

  // The graceful leave: the node stops owning keys, its activations end, its kept keys go to
  // their replicas on the ring without it, and once they are taken (or the leave's time limit
  // has passed) it departs and stops.
  void leave(std::size_t i, std::chrono::milliseconds limit) {
    auto& n = *nodes[i];
    n.leave = Node::Leave::Draining;
    n.leave_by = now + limit;
    n.handoff.leave();
    set_status(i, Status::Leaving);
    for (auto& [key, act] : n.acts) act.releasing = true;
    for (auto key : keys_of(n.acts)) end_if_idle(i, key);
    flush(i);
  }

  // The node stops at once; the others suspect it, find it dead and at last remove it.
  void kill(std::size_t i, std::chrono::milliseconds suspect, std::chrono::milliseconds dead,
            std::chrono::milliseconds removed) {
    nodes[i]->running = false;
    later(suspect, [this, i] { set_status(i, Status::Suspect); });
    later(dead, [this, i] { set_status(i, Status::Dead); });
    later(removed, [this, i] { remove(i); });
  }

  void traffic(bool on) { traffic_ = on; if (on) tick(); }

  // Runs until `done` or until `limit` has passed; false when the time ran out.
  template <class Done>
  bool run_until(Done done, std::chrono::milliseconds limit) {
    const Instant end = now + limit;
    while (failure.empty() && !done()) {
      if (!step(end)) return done();
    }
    return failure.empty();
  }
  void run_for(std::chrono::milliseconds span) {
    run_until([] { return false; }, span);
  }

  // Every running node sees the same members, nobody is still pulling, owes keys or leaves.
  bool settled() const {
    const std::map<NodeId, Member>* view = nullptr;
    for (const auto& n : nodes) {
      if (!n->running) continue;
      if (n->view_changed || !n->handoff.holds().empty() || n->handoff.owing()) return false;
      if (n->leave != Node::Leave::None) return false;
      if (view && *view != n->view) return false;
      view = &n->view;
    }
    return pending_views_ == 0;
  }

  // Ends the activations that began before now and activates every key again, so that each read
  // is checked against everything confirmed so far.
  bool verify(std::chrono::milliseconds limit) {
    traffic_ = false;
    verify_since_ = seq_;
    unverified_.clear();
    for (const auto& [type, kind] : kinds()) {
      for (int k = 0; k < kKeys; ++k) unverified_.insert(Key{type, key_name(k)});
    }
    nudge();
    return run_until([&] { return unverified_.empty(); }, limit);
  }

  // After a run: nothing is still being handed anywhere, and every hand-off the observer was
  // told of has ended.
  void check_quiet() {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const auto& n = *nodes[i];
      if (!n.running) continue;
      for (const auto& [what, on] : n.reported) {
        if (on) fail(fmt::format("node {}: hand-off of {} never ended", i, what.first));
      }
    }
  }

  std::string describe() const {
    std::ostringstream out;
    out << "t=" << std::chrono::duration<double>(now - (Instant{} + 1000s)).count() << "s";
    for (const auto& key : unverified_) out << " " << key.first << "/" << key.second;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const auto& n = *nodes[i];
      out << fmt::format(" | n{}{} holds={} owed={} acts={}", i, n.running ? "" : "(stopped)", n.handoff.holds().size(),
                         n.handoff.owed().size(), n.acts.size());
      for (const auto& h : n.handoff.holds()) {
        auto names = [&](const std::set<NodeId>& s) {
          std::string t;
          for (const auto& x : s) t += fmt::format("{},", index(x));
          return t;
        };
        out << fmt::format(" [{} #{} from {} members asked {} finished {} answered {} asks {} next {}]", h.step.actor,
                           h.transfer.id, h.step.from.members().size(), names(h.transfer.asked),
                           names(h.transfer.finished), names(h.transfer.answered), h.asks,
                           std::chrono::duration<double>(h.next - now).count());
      }
      for (const auto& [id, m] : n.view) out << fmt::format(" {}:{}", index(id), core::membership::status_text(m.status));
    }
    return out.str();
  }

  std::size_t index(const NodeId& id) const {
    return static_cast<std::size_t>(
        std::find_if(nodes.begin(), nodes.end(), [&](const auto& n) { return n->id == id; }) - nodes.begin());
  }

  static constexpr int kKeys = 8;
  static constexpr std::uint64_t kBudget = 1800;

 private:
  struct Flight {
    Instant at;
    std::uint64_t seq;
    std::size_t to;
    core::Bytes payload;
    bool operator>(const Flight& o) const { return at != o.at ? at > o.at : seq > o.seq; }
  };
  struct Timer {
    Instant at;
    std::uint64_t seq;
    std::function<void()> run;
    bool operator>(const Timer& o) const { return at != o.at ? at > o.at : seq > o.seq; }
  };
  struct Record {
    std::vector<std::pair<std::uint64_t, std::string>> writes;  // (sequence, id)
    std::vector<std::uint64_t> deletes;
    // A deletion can take effect without its confirmation reaching its owner (or after it failed
    // short of its quorum): the writes before it need not be seen.
    std::vector<std::uint64_t> tried;
  };

  static inline const core::Backoff kBackoff{2.0, core::Duration{0, 100'000'000}, core::Duration{2, 0}};

  static std::map<std::string, core::Kind> kinds() {
    return {{kTriple, core::Kind{kTriple, std::nullopt, std::nullopt, 3, false, core::WriteLevel::Majority}},
            {kSolo, core::Kind{kSolo, std::nullopt, std::nullopt, 1, false, core::WriteLevel::Majority}}};
  }
  static std::string key_name(int k) { return "k" + std::to_string(k); }
  template <class Map>
  static std::vector<Key> keys_of(const Map& map) {
    std::vector<Key> out;
    for (const auto& [key, value] : map) out.push_back(key);
    return out;
  }

  void note(const Key& key, const std::string& line) {
    if (trace_ && *trace_ == key) {
      std::fprintf(stderr, "%9.3f %s\n", std::chrono::duration<double>(now - (Instant{} + 1000s)).count(), line.c_str());
    }
  }
  static std::string stamp_text(const std::optional<core::replication::Stamp>& s) {
    return s ? fmt::format("{}.{}.{}", s->epoch.round, s->epoch.node.incarnation[0], s->version) : "-";
  }
  // What a message says about the traced key, if anything.
  std::optional<std::string> about(const core::replication::wire::Message& m) const {
    if (!trace_) return std::nullopt;
    using namespace core::replication::messages;
    using namespace core::handoff::messages;
    if (const auto* r = std::get_if<Request>(&m.variant)) {
      if (Key{r->actor(), r->key()} != *trace_) return std::nullopt;
      if (const auto* a = std::get_if<Accept>(&r->variant)) return fmt::format("Accept {} part {}", stamp_text(a->stamp), a->part);
      if (const auto* p = std::get_if<Prepare>(&r->variant)) return fmt::format("Prepare {}.{}", p->epoch.round, p->epoch.node.incarnation[0]);
      return std::string("request");
    }
    if (const auto* r = std::get_if<Reply>(&m.variant)) {
      if (Key{r->actor(), r->key()} != *trace_) return std::nullopt;
      if (const auto* p = std::get_if<Promise>(&r->variant)) {
        return fmt::format("Promise {} recv {} sizes {} pages {}", stamp_text(p->accepted), p->receiving, p->sizes.size(),
                           p->pages.size());
      }
      if (const auto* a = std::get_if<Accepted>(&r->variant)) return fmt::format("Accepted {} recv {}", stamp_text(a->stamp), a->receiving);
      return fmt::format("reply {}", r->variant.index());
    }
    const auto& pull = std::get<Pull>(m.variant);
    auto copies = [&](const std::string& actor, const std::vector<Copy>& keys) -> std::optional<std::string> {
      if (actor != trace_->first) return std::nullopt;
      for (const auto& c : keys) {
        if (c.key == trace_->second) {
          std::size_t bytes = 0;
          for (const auto& [name, content] : c.pages) bytes += content.size();
          return fmt::format("{} part {} final {} pages {} bytes {}", stamp_text(c.accepted), c.part, c.final_,
                             c.pages.size(), bytes);
        }
      }
      return std::nullopt;
    };
    if (const auto* r = std::get_if<RangeKeys>(&pull.variant)) {
      if (auto c = copies(r->actor, r->keys)) return fmt::format("RangeKeys #{} {} recv {}", r->transfer, *c, r->receiving);
    } else if (const auto* h = std::get_if<HandKeys>(&pull.variant)) {
      if (auto c = copies(h->actor, h->keys)) return fmt::format("HandKeys {}", *c);
    } else if (const auto* t = std::get_if<TookKeys>(&pull.variant)) {
      if (t->actor == trace_->first && std::find(t->keys.begin(), t->keys.end(), trace_->second) != t->keys.end()) {
        return std::string("TookKeys");
      }
    } else if (const auto* p = std::get_if<PullRange>(&pull.variant)) {
      const auto token = core::placement::token(trace_->first, trace_->second);
      if (p->actor == trace_->first &&
          std::any_of(p->ranges.begin(), p->ranges.end(), [&](const auto& r) { return r.holds(token); })) {
        return fmt::format("PullRange #{}", p->transfer);
      }
    }
    return std::nullopt;
  }

  void fail(std::string what) {
    if (failure.empty()) failure = what + " at " + describe();
  }

  double chance() { return std::uniform_real_distribution<double>(0, 1)(rng_); }
  std::chrono::milliseconds between(std::chrono::milliseconds a, std::chrono::milliseconds b) {
    return std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(a.count(), b.count())(rng_));
  }
  void later(std::chrono::milliseconds after, std::function<void()> run) {
    timers_.push(Timer{now + after, seq_++, std::move(run)});
  }

  // ---- membership

  // Every running node but `i` learns the change at its own time, within `spread`, in the order
  // changes were made.
  void spread_with(std::size_t i, const std::function<void(std::map<NodeId, Member>&)>& change,
                   std::chrono::milliseconds spread = 300ms) {
    for (std::size_t j = 0; j < nodes.size(); ++j) {
      if (j == i || !nodes[j]->running) continue;
      auto& last = learn_at_[j];
      last = std::max(last, now + between(0ms, spread));
      ++pending_views_;
      timers_.push(Timer{last, seq_++, [this, j, change] {
                           --pending_views_;
                           auto& n = *nodes[j];
                           if (!n.running) return;
                           change(n.view);
                           n.view_changed = true;
                           flush(j);
                         }});
    }
  }
  void spread(std::size_t i, Status status) {
    const Member m = truth_.at(nodes[i]->id);
    spread_with(i, [m, status](auto& view) {
      auto copy = m;
      copy.status = status;
      view.insert_or_assign(copy.node, copy);
    });
  }
  void set_status(std::size_t i, Status status) {
    auto& n = *nodes[i];
    truth_.at(n.id).status = status;
    if (n.running) {
      n.view.at(n.id).status = status;
      n.view_changed = true;
    }
    spread(i, status);
  }
  // A departing node announces itself, so the others learn of it about as fast as of its last
  // messages; a dead one is removed by each member's own expiry, at more scattered times.
  void remove(std::size_t i, std::chrono::milliseconds spread = 300ms) {
    const auto id = nodes[i]->id;
    truth_.erase(id);
    nodes[i]->view.erase(id);
    nodes[i]->view_changed = true;
    spread_with(i, [id](auto& view) { view.erase(id); }, spread);
  }

  // ---- the event loop of one node

  std::optional<Around> around(const Node& n, const Key& key) const {
    auto replicas = n.placement.replicas(key.first, key.second, n.counts, n.handoff);
    if (replicas.empty()) return std::nullopt;
    Around a;
    a.wanted = 0;
    for (const auto& r : replicas) {
      auto it = n.view.find(r);
      if (it != n.view.end() && it->second.status != Status::Dead) ++a.wanted;
    }
    a.wanted = std::max<std::uint64_t>(a.wanted, 1);
    a.replicas = std::move(replicas);
    a.level = static_cast<core::replication::Level>(n.kinds.at(key.first).write);
    return a;
  }

  std::optional<NodeId> acting(const Node& n, const Key& key) const {
    return core::placement::acting(n.placement.owner(key.first, key.second, n.counts, n.handoff), key.second, n.id,
                                   true, true);
  }

  void operations(std::size_t i) {
    auto& n = *nodes[i];
    for (const auto& name : n.replication.fired(now)) {
      if (auto a = around(n, Key{name.actor, name.key})) n.replication.again(name.actor, name.key, *a, now);
    }
    for (const auto& name : n.replication.burying(now)) {
      if (n.handoff.arriving(name.actor, name.key)) continue;
      if (auto a = around(n, Key{name.actor, name.key})) n.replication.bury(name.actor, name.key, a->replicas, false);
    }
    n.handoff.fired(now, n.replication.replica);
    flush(i);
  }

  void received(std::size_t i, core::Bytes payload) {
    auto& n = *nodes[i];
    auto message = core::replication::wire::decode(payload);
    if (!message) return fail("a message did not decode");
    if (auto* request = std::get_if<core::replication::messages::Request>(&message->variant)) {
      const bool receiving = n.handoff.arriving(request->actor(), request->key());
      n.replication.request(std::move(*request), receiving);
    } else if (auto* reply = std::get_if<core::replication::messages::Reply>(&message->variant)) {
      n.replication.answer(std::move(*reply), now);
    } else {
      n.handoff.receive(std::get<core::handoff::messages::Pull>(std::move(message->variant)), n.replication.replica);
    }
    flush(i);
  }

  void flush(std::size_t i) {
    auto& n = *nodes[i];
    if (!n.running) return;
    for (const auto& name : std::exchange(n.replication.foreign, {})) {
      const Key key{name.actor, name.key};
      if (n.replication.replica.marked(name.actor, name.key) && acting(n, key) == n.id) attach(i, key);
    }
    n.replication.lay(now);
    const bool changed = std::exchange(n.view_changed, false);
    if (changed) {
      std::vector<Member> list;
      std::set<NodeId> live;
      for (const auto& [id, m] : n.view) {
        list.push_back(m);
        if (m.status == Status::Alive || m.status == Status::Leaving || m.status == Status::Suspect) live.insert(id);
      }
      if (trace_) {
        std::string v;
        for (const auto& [id, m] : n.view) v += fmt::format(" {}:{}", index(id), core::membership::status_text(m.status));
        note(*trace_, fmt::format("n{} view{}", i, v));
      }
      n.handoff.knows(std::move(live));
      for (auto& step : n.placement.update(list, n.counts)) {
        const auto* kind = &n.kinds.at(step.actor);
        n.handoff.begin(std::move(step), kind);
      }
    }
    if (changed || std::exchange(n.handoff.moved, false)) {
      for (const auto& step : std::exchange(n.handoff.released, {})) std::erase(n.placement.steps[step.actor], step);
      std::vector<core::handoff::sweep::Kept> kept;
      for (const auto& [type, count] : n.counts.entries()) {
        for (auto& key : n.replication.replica.keys(type)) {
          const bool marked = n.replication.replica.marked(type, key);
          kept.push_back({type, std::move(key), marked});
        }
      }
      std::set<Key> running;
      for (const auto& [key, act] : n.acts) running.insert(key);
      const core::handoff::sweep::Where where{n.placement, n.counts, n.handoff, n.id, true, true};
      auto swept = core::handoff::sweep::sweep(kept, running, where);
      for (const auto& key : swept.release) release(i, key);
      for (const auto& key : swept.attach) attach(i, key);
      n.handoff.give(n.handoff.leaving() ? service::departing(kept, n.placement, n.counts) : swept.handovers,
                     n.replication.replica, now);
    }
    for (auto& out : std::exchange(n.handoff.outgoing, {})) n.replication.outgoing.push_back(std::move(out));
    for (auto& out : std::exchange(n.replication.outgoing, {})) send(i, out);
    n.replication.events.clear();
    n.replication.store_requests.clear();
    for (const auto& e : n.handoff.observed()) observe(i, e);
    poll(i);
    if (n.leave == Node::Leave::Draining && n.acts.empty()) {
      // The drain is over: sweep once more, so that what the last writes left is handed too.
      n.leave = Node::Leave::Handing;
      n.handoff.leave();
      for (const auto& key : n.replication.replica.keys(kSolo)) {
        if (n.replication.replica.accepted(kSolo, key)) ++handed_solo;
      }
      return flush(i);
    }
    if (n.leave == Node::Leave::Handing && (!n.handoff.owing() || now >= n.leave_by)) {
      if (!n.handoff.owed().empty()) fail(fmt::format("node {} left with {} keys still owed", i, n.handoff.owed().size()));
      n.leave = Node::Leave::Departed;
      remove(i, 20ms);
      flush(i);
      later(20ms, [this, i] { nodes[i]->running = false; });
    }
  }

  void observe(std::size_t i, const events::Event& e) {
    auto& n = *nodes[i];
    auto note = [&](const std::string& actor, events::Direction d, bool start) {
      bool& on = n.reported[{actor, d}];
      if (on == start) fail(fmt::format("node {}: {} of {} out of order", i, start ? "HandoffStarted" : "HandoffEnded", actor));
      on = start;
    };
    if (const auto* s = std::get_if<events::HandoffStarted>(&e.variant)) note(s->actor, s->direction, true);
    if (const auto* s = std::get_if<events::HandoffEnded>(&e.variant)) note(s->actor, s->direction, false);
  }

  void send(std::size_t from, const replication::service::Outgoing& out) {
    const auto to = static_cast<std::size_t>(
        std::find_if(nodes.begin(), nodes.end(), [&](const auto& n) { return n->id == out.to; }) - nodes.begin());
    if (to >= nodes.size()) return fail("a message to an unknown node");
    auto payload = core::replication::wire::encode(out.message);
    if (auto what = about(out.message)) note(*trace_, fmt::format("n{} -> n{} {}", from, to, *what));
    if (to == from) {
      flights_.push(Flight{now, seq_++, to, std::move(payload)});
      return;
    }
    if (chance() < faults_.loss) return;
    const int copies = chance() < faults_.duplicate ? 2 : 1;
    auto& last = lane_[{from, to}];
    for (int c = 0; c < copies; ++c) {
      Instant at = now + between(faults_.min_delay, faults_.max_delay);
      if (chance() < faults_.reorder) {
        // Overtakes, or is overtaken by, what is already on its way.
        at = now + between(0ms, 2 * faults_.max_delay);
      } else {
        at = std::max(at, last);
        last = at;
      }
      flights_.push(Flight{at, seq_++, to, payload});
    }
  }

  // ---- activations, as the host runs them

  void attach(std::size_t i, const Key& key) {
    auto& n = *nodes[i];
    if (n.acts.contains(key) || n.leave != Node::Leave::None) return;
    auto a = around(n, key);
    if (!a) return;
    auto [tx, rx] = oneshot::channel<ActivateResult>();
    Activation act;
    act.began = seq_++;
    act.read = std::move(rx);
    n.acts.emplace(key, std::move(act));
    ++activations;
    if (trace_ && *trace_ == key) {
      std::string r;
      for (const auto& x : a->replicas) r += fmt::format("{},", index(x));
      note(key, fmt::format("n{} activates on {} (seq {})", i, r, seq_ - 1));
    }
    core::Pages initial;
    initial.emplace("log", core::Bytes{});
    n.replication.activate(key.first, key.second, std::move(initial), *a, std::move(tx), now);
  }

  void release(std::size_t i, const Key& key) {
    auto& n = *nodes[i];
    auto it = n.acts.find(key);
    if (it == n.acts.end()) return;
    if (it->second.phase == Activation::Phase::Activating) {
      n.acts.erase(it);
      return;
    }
    it->second.releasing = true;
    end_if_idle(i, key);
  }

  void end_if_idle(std::size_t i, const Key& key) {
    auto& act = nodes[i]->acts.at(key);
    if (act.phase == Activation::Phase::Ready) write(i, key, Activation::Write::End);
  }

  void write(std::size_t i, const Key& key, Activation::Write kind) {
    auto& n = *nodes[i];
    auto& act = n.acts.at(key);
    auto [tx, rx] = oneshot::channel<CommitResult>();
    act.phase = Activation::Phase::Writing;
    act.writing = kind;
    act.write = std::move(rx);
    act.next_log = act.log;
    act.id.clear();
    const auto a = around(n, key);
    if (kind == Activation::Write::Delete) {
      records_[key].tried.push_back(seq_++);
      n.replication.delete_(key.first, key.second, act.handle, false, a, std::move(tx), now);
      return;
    }
    if (kind == Activation::Write::Save) {
      act.id = fmt::format("w{}", next_id_++);
      act.next_log += (act.next_log.empty() ? "" : ",") + act.id;
    }
    core::Pages pages;
    pages.emplace("log", core::Bytes(act.next_log.begin(), act.next_log.end()));
    n.replication.commit(key.first, key.second, act.handle, std::move(pages), kind == Activation::Write::Save, a,
                         std::move(tx), now);
  }

  // Collects what the replication service answered the node's activations.
  void poll(std::size_t i) {
    auto& n = *nodes[i];
    for (const auto& key : keys_of(n.acts)) {
      auto it = n.acts.find(key);
      if (it == n.acts.end()) continue;
      auto& act = it->second;
      if (act.phase == Activation::Phase::Activating) {
        if (act.read.status() == oneshot::Status::Waiting) continue;
        auto got = act.read.take();
        if (!got || !got->has_value() || !**got) {
          n.acts.erase(it);
          continue;
        }
        const auto& held = ***got;
        auto log = held.pages.find("log");
        act.log = log == held.pages.end() ? "" : std::string(log->second.begin(), log->second.end());
        act.handle = held.generation;
        act.phase = Activation::Phase::Ready;
        note(key, fmt::format("n{} read [{}]", i, act.log));
        check_read(i, key, act);
        if (verify_since_ && act.began >= *verify_since_) unverified_.erase(key);
        // Attached to a key it no longer acts for: the host is told to let it go at once.
        if (acting(n, key) != n.id || n.leave != Node::Leave::None) act.releasing = true;
        if (act.releasing) end_if_idle(i, key);
        continue;
      }
      if (act.phase != Activation::Phase::Writing || act.write.status() == oneshot::Status::Waiting) continue;
      auto got = act.write.take();
      const bool ok = got && got->has_value();
      note(key, fmt::format("n{} {} {} {}", i, act.writing == Activation::Write::Save ? "write" : act.writing == Activation::Write::End ? "final write" : "delete", act.id, ok ? "confirmed" : "failed"));
      if (!ok) {
        n.replication.forget(key.first, key.second, act.handle);
        n.acts.erase(it);
        continue;
      }
      if (act.writing == Activation::Write::Save) {
        records_[key].writes.emplace_back(seq_++, act.id);
        ++confirmed;
        act.log = act.next_log;
        act.phase = Activation::Phase::Ready;
        if (act.releasing) end_if_idle(i, key);
        continue;
      }
      if (act.writing == Activation::Write::Delete) records_[key].deletes.push_back(seq_++);
      n.acts.erase(it);
    }
  }

  // A read sees every write confirmed before it began since the last deletion (unless a later
  // deletion was tried, which may have taken effect), and nothing confirmed before a deletion
  // that was confirmed before the read began.
  void check_read(std::size_t i, const Key& key, const Activation& act) {
    if (lossy_solo && key.first == kSolo) return;
    auto it = records_.find(key);
    if (it == records_.end()) return;
    const auto& r = it->second;
    std::uint64_t deleted = 0;
    for (auto d : r.deletes) {
      if (d < act.began) deleted = std::max(deleted, d);
    }
    std::set<std::string> seen;
    std::stringstream in(act.log);
    for (std::string id; std::getline(in, id, ',');) seen.insert(id);
    for (const auto& [at, id] : r.writes) {
      if (at > act.began) continue;
      // A deletion tried while the read was under way may be what it read.
      const bool excused = std::any_of(r.tried.begin(), r.tried.end(), [&](auto d) { return d > at; });
      if (at > deleted && !seen.contains(id) && !excused) {
        return fail(fmt::format("node {}: {}/{} activated without the confirmed write {}", i, key.first, key.second, id));
      }
      if (at < deleted && seen.contains(id)) {
        return fail(fmt::format("node {}: {}/{} brought back {} after its deletion", i, key.first, key.second, id));
      }
    }
  }

  // Once placement has settled, a key runs on one node at most.
  void check_single() {
    if (!settled()) return;
    std::map<Key, int> running;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!nodes[i]->running) continue;
      for (const auto& [key, act] : nodes[i]->acts) {
        if (act.live() && ++running[key] > 1) {
          return fail(fmt::format("{}/{} is active on two nodes after placement settled", key.first, key.second));
        }
      }
    }
  }

  // ---- traffic

  void tick() {
    if (!traffic_) return;
    later(between(5ms, 15ms), [this] {
      if (!traffic_) return;
      const auto& types = kinds();
      auto type = std::next(types.begin(), static_cast<std::ptrdiff_t>(rng_() % types.size()))->first;
      operate(Key{type, key_name(static_cast<int>(rng_() % kKeys))});
      tick();
    });
  }

  // The node that acts for the key, as a random running member routes to it.
  std::optional<std::size_t> owner(const Key& key) {
    std::vector<std::size_t> routers;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i]->running && nodes[i]->leave == Node::Leave::None) routers.push_back(i);
    }
    if (routers.empty()) return std::nullopt;
    const auto& r = *nodes[routers[rng_() % routers.size()]];
    auto to = r.placement.owner(key.first, key.second, r.counts, r.handoff);
    if (!to) return std::nullopt;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i]->id == *to && nodes[i]->running && acting(*nodes[i], key) == *to) return i;
    }
    return std::nullopt;
  }

  void operate(const Key& key) {
    auto at = owner(key);
    if (!at) return;
    auto& n = *nodes[*at];
    auto it = n.acts.find(key);
    if (it == n.acts.end()) {
      attach(*at, key);
    } else if (it->second.phase == Activation::Phase::Ready && !it->second.releasing) {
      const double r = chance();
      write(*at, key, r < 0.04 ? Activation::Write::Delete : r < 0.12 ? Activation::Write::End : Activation::Write::Save);
    }
    flush(*at);
  }

  // Moves every key not yet read again toward a fresh activation: an older activation ends, and
  // then the key is activated.
  void nudge() {
    if (unverified_.empty()) return;
    for (const auto& key : std::vector<Key>(unverified_.begin(), unverified_.end())) {
      auto at = owner(key);
      if (!at) continue;
      auto& n = *nodes[*at];
      auto it = n.acts.find(key);
      if (it == n.acts.end()) {
        attach(*at, key);
      } else if (it->second.phase == Activation::Phase::Ready && it->second.began < *verify_since_) {
        write(*at, key, Activation::Write::End);
      }
      flush(*at);
    }
    later(20ms, [this] { nudge(); });
  }

  // ---- the clock

  // One instant: messages, timers and deadlines due now. False when nothing is left before `end`.
  bool step(Instant end) {
    std::optional<Instant> next;
    auto consider = [&](std::optional<Instant> at) {
      if (at && (!next || *at < *next)) next = at;
    };
    if (!flights_.empty()) consider(flights_.top().at);
    if (!timers_.empty()) consider(timers_.top().at);
    for (const auto& n : nodes) {
      if (!n->running) continue;
      consider(n->replication.due());
      consider(n->handoff.due());
    }
    if (!next || *next > end) {
      now = end;
      return false;
    }
    if (*next > now) {
      now = *next;
      spins_ = 0;
    } else if (++spins_ > 100'000) {
      fail("no progress at one instant");
      return false;
    }
    while (!flights_.empty() && flights_.top().at <= now) {
      auto f = flights_.top();
      flights_.pop();
      if (nodes[f.to]->running) received(f.to, std::move(f.payload));
    }
    while (!timers_.empty() && timers_.top().at <= now) {
      auto t = timers_.top();
      timers_.pop();
      t.run();
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      auto& n = *nodes[i];
      if (!n.running) continue;
      auto a = n.replication.due();
      auto b = n.handoff.due();
      if ((a && *a <= now) || (b && *b <= now)) operations(i);
    }
    check_single();
    return true;
  }

  std::mt19937_64 rng_;
  Faults faults_;
  std::map<NodeId, Member> truth_;
  std::map<std::size_t, Instant> learn_at_;
  std::map<std::pair<std::size_t, std::size_t>, Instant> lane_;
  std::size_t pending_views_ = 0;
  std::priority_queue<Flight, std::vector<Flight>, std::greater<>> flights_;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  std::uint64_t seq_ = 0;
  std::uint64_t next_id_ = 0;
  std::uint64_t spins_ = 0;
  bool traffic_ = false;
  std::map<Key, Record> records_;
  std::optional<std::uint64_t> verify_since_;
  std::set<Key> unverified_;
  std::optional<Key> trace_;
};

}  // namespace vorel::node::handoff::simulation
