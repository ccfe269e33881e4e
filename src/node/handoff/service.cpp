#include "node/handoff/service.hpp"

#include <algorithm>
#include <limits>

#include "core/placement/pin.hpp"
#include "core/replication/parts.hpp"

namespace vorel::node::handoff::service {

using core::NodeId;
using core::handoff::messages::HandKeys;
using core::handoff::messages::Pull;
using core::handoff::messages::PullRange;
using core::handoff::messages::RangeKeys;
using core::handoff::messages::TookKeys;
using core::handoff::ranges::Arc;
using core::replication::Replica;
using core::replication::Stamp;
using core::replication::messages::Copy;
using replication::service::later;

namespace {

std::uint32_t part_number(std::size_t i) {
  return static_cast<std::uint32_t>(std::min<std::size_t>(i, std::numeric_limits<std::uint32_t>::max()));
}

bool holds_token(const std::vector<core::placement::Range>& ranges, std::uint64_t token) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const core::placement::Range& r) { return r.holds(token); });
}

// Whether some token lies in both lists of ranges.
bool overlap(const std::vector<core::placement::Range>& a, const std::vector<core::placement::Range>& b) {
  auto solid = [](std::vector<Arc> arcs) {
    std::erase_if(arcs, [](const Arc& arc) { return arc.upper <= arc.lower; });
    return arcs;
  };
  const auto x = solid(core::handoff::ranges::arcs(a));
  const auto y = solid(core::handoff::ranges::arcs(b));
  // Both are sorted by lower bound: an arc that ends before the other begins can meet no later arc
  // of the other list.
  for (std::size_t i = 0, j = 0; i < x.size() && j < y.size();) {
    if (x[i].upper <= y[j].lower) {
      ++i;
    } else if (y[j].upper <= x[i].lower) {
      ++j;
    } else {
      return true;
    }
  }
  return false;
}

// The asked nodes whose whole answer, not given while they were receiving themselves, has not
// arrived yet.
std::set<NodeId> unanswered(const core::handoff::ranges::Transfer& t) {
  std::set<NodeId> out;
  std::set_difference(t.asked.begin(), t.asked.end(), t.answered.begin(), t.answered.end(),
                      std::inserter(out, out.end()));
  return out;
}

}  // namespace

Instant steady_now() { return std::chrono::steady_clock::now(); }

bool Handing::owing(const std::set<NodeId>& live) const {
  return std::any_of(targets.begin(), targets.end(),
                     [&](const NodeId& t) { return !took.contains(t) && live.contains(t); });
}

void reconcile(std::set<std::string>& reported, const std::set<std::string>& now, events::Direction direction,
               std::vector<events::Event>& events) {
  for (const auto& type : now) {
    if (!reported.contains(type)) events.push_back(events::Event{events::HandoffStarted{type, direction}});
  }
  for (const auto& type : reported) {
    if (!now.contains(type)) events.push_back(events::Event{events::HandoffEnded{type, direction}});
  }
  reported = now;
}

Handoff::Handoff(NodeId node, std::uint64_t budget, core::Backoff backoff, Clock clock)
    : node_(std::move(node)), budget_(budget), backoff_(backoff), clock_(std::move(clock)) {}

std::optional<Instant> Handoff::due() const {
  std::optional<Instant> earliest;
  auto consider = [&](Instant at) {
    if (!earliest || at < *earliest) earliest = at;
  };
  for (const auto& hold : holds_) consider(hold.next);
  // A node that is not live is neither sent to nor rescheduled, so its past deadline would wake
  // the loop on every round until the member set changes.
  for (const auto& [to, entry] : giving_) {
    if (live_.contains(to.second)) consider(entry.next);
  }
  return earliest;
}

void Handoff::begin(core::placement::Step step, const core::Kind* kind) {
  // A pinned key runs on the node its text names, whatever the ring says: nothing to pull.
  if (kind && kind->pinned) {
    released.push_back(std::move(step));
    return;
  }
  changed_ = true;
  const std::uint64_t m = step.from.members().size();
  std::uint64_t n = m;
  std::uint64_t a = m / 2 + 1;
  if (kind) {
    n = std::min(m, kind->replicas);
    a = kind->write == core::WriteLevel::Majority ? n / 2 + 1 : 1;
  }
  // Enough previous replicas that their answers meet every write quorum of the previous ring.
  const std::uint64_t threshold = std::max(a, n + 1 - a);

  core::handoff::ranges::Transfer transfer;
  transfer.actor = step.actor;
  transfer.previous = step.from;
  transfer.ranges = step.ranges;
  transfer.id = ++transfers_;
  transfer.n = n;
  transfer.threshold = threshold;
  for (const auto& member : step.from.members()) {
    if (!(member == node_) && live_.contains(member)) transfer.asked.insert(member);
  }
  if (transfer.pending().empty()) {
    released.push_back(std::move(step));
    moved = true;
    return;
  }
  holds_.push_back(Hold{std::move(step), std::move(transfer), clock_(), backoff_.first});
}

void Handoff::fired(Instant now, Replica& replica) {
  changed_ = true;
  std::vector<std::size_t> done;
  std::vector<std::pair<NodeId, PullRange>> queued;
  for (std::size_t i = 0; i < holds_.size(); ++i) {
    auto& hold = holds_[i];
    if (hold.next > now) continue;
    auto& t = hold.transfer;
    std::erase_if(t.asked, [&](const NodeId& n) { return !live_.contains(n); });
    std::erase_if(t.finished, [&](const NodeId& n) { return !t.asked.contains(n); });
    std::erase_if(t.answered, [&](const NodeId& n) { return !t.asked.contains(n); });
    // A node that answered while it was receiving itself may have sent incomplete copies: it is
    // asked again, and the Hold waits for it.
    const auto ask = unanswered(t);
    if (ask.empty()) {
      done.push_back(i);
      continue;
    }
    hold.next = later(now, hold.delay);
    hold.delay = backoff_.next(hold.delay);
    if (hold.asks < kPatience) ++hold.asks;
    for (const auto& to : ask) queued.emplace_back(to, PullRange{t.actor, node_, t.id, t.ranges});
  }
  for (auto it = done.rbegin(); it != done.rend(); ++it) fill(*it);
  for (auto& [to, message] : queued) send(to, std::move(message));
  give_due(now, replica);
}

void Handoff::fill(std::size_t index) {
  Hold hold = std::move(holds_.at(index));
  holds_.erase(holds_.begin() + static_cast<std::ptrdiff_t>(index));
  std::erase_if(pulled_, [&](const auto& entry) { return entry.first.first == hold.transfer.id; });
  released.push_back(std::move(hold.step));
  moved = true;
}

void Handoff::receive(Pull message, Replica& replica) {
  changed_ = true;
  std::visit(
      [&](auto&& m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, PullRange>) {
          pull_range(m, replica);
        } else if constexpr (std::is_same_v<T, RangeKeys>) {
          range_keys(std::move(m), replica);
        } else if constexpr (std::is_same_v<T, HandKeys>) {
          hand_keys(std::move(m), replica);
        } else {
          took_keys(m, replica);
        }
      },
      std::move(message.variant));
}

void Handoff::pull_range(const PullRange& m, const Replica& replica) {
  // An asker this node does not know as a member yet has joined a ring this node has not seen:
  // this node may still act for the keys asked and confirm writes the answer would miss. Said to
  // be receiving, it is asked again once it knows the asker, by when those keys have moved.
  // A Hold that waits for nobody but the asker lacks only what the asker has itself: two nodes
  // that pull from each other (as every pair does when a cluster forms) answer each other whole.
  const bool receiving = !live_.contains(m.node) || std::any_of(holds_.begin(), holds_.end(), [&](const Hold& h) {
                           if (h.transfer.actor != m.actor || !overlap(h.transfer.ranges, m.ranges)) return false;
                           const auto waits = unanswered(h.transfer);
                           return std::any_of(waits.begin(), waits.end(), [&](const NodeId& n) { return !(n == m.node); });
                         });
  std::vector<std::string> keys;
  for (auto& key : replica.keys(m.actor)) {
    if (!core::placement::pinned(key) && holds_token(m.ranges, core::placement::token(m.actor, key))) {
      keys.push_back(std::move(key));
    }
  }
  auto [stream, groups] = packed(m.actor, keys, replica);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    send(m.node, RangeKeys{m.actor, node_, m.transfer, stream, part_number(i), i + 1 == groups.size(), receiving,
                           std::move(groups[i])});
  }
}

void Handoff::range_keys(RangeKeys m, Replica& replica) {
  auto hold = std::find_if(holds_.begin(), holds_.end(), [&](const Hold& h) {
    return h.transfer.id == m.transfer && h.transfer.asked.contains(m.replica);
  });
  if (hold == holds_.end()) return;
  const auto name = std::make_pair(m.transfer, m.replica);
  Stream stream;
  if (auto it = pulled_.find(name); it != pulled_.end()) {
    stream = std::move(it->second);
    pulled_.erase(it);
  }
  // A pull is not acknowledged: the keys installed are not reported back.
  stream.take(replica, m.actor, m.stream, m.part, std::move(m.keys));
  if (!m.final_) {
    pulled_.insert_or_assign(name, std::move(stream));
    return;
  }
  // A copy cut short or a missed part: the node is asked again and answers with a whole stream.
  if (stream.copy || stream.gap) return;
  auto& t = hold->transfer;
  t.finished.insert(m.replica);
  if (!m.receiving || hold->asks >= kPatience) t.answered.insert(m.replica);
  // Only answers given by nodes that were not receiving themselves make the copies final.
  if (unanswered(t).empty()) {
    fill(static_cast<std::size_t>(hold - holds_.begin()));
  } else if (!m.receiving) {
    moved = true;
  }
}

void Handoff::hand_keys(HandKeys m, Replica& replica) {
  // A leaving node takes nothing: what it took would leave with it, and its giver, still
  // unaware of the leave, would forget its own copy on the confirmation. Unconfirmed, the giver
  // keeps its copy until this node has departed and the key's replicas are known again.
  if (leaving_) return;
  const auto name = std::make_pair(m.actor, m.node);
  Stream stream;
  if (auto it = arriving_.find(name); it != arriving_.end()) {
    stream = std::move(it->second);
    arriving_.erase(it);
  }
  // The stamp each completed copy carries is that of its final part.
  std::map<std::string, std::optional<Stamp>, std::less<>> stamps;
  for (const auto& copy : m.keys) {
    if (copy.final_) stamps.insert_or_assign(copy.key, copy.accepted);
  }
  auto installed = stream.take(replica, m.actor, m.stream, m.part, std::move(m.keys));
  if (!m.final_) arriving_.insert_or_assign(name, std::move(stream));
  if (installed.empty()) return;
  moved = true;
  // The giver forgets its copy on this word: confirm only what this node now holds, the copy's
  // state or one that supersedes it. A copy that lost to an unordered state of the same term is
  // not confirmed, and the giver keeps it.
  std::erase_if(installed, [&](const std::string& key) {
    auto sent = stamps.find(key);
    if (sent == stamps.end()) return true;
    if (!sent->second) return false;
    const auto held = replica.accepted(m.actor, key);
    return !held || !(*held == *sent->second || Stamp::before(*sent->second, *held));
  });
  if (installed.empty()) return;
  send(m.node, TookKeys{m.actor, node_, std::move(installed)});
}

void Handoff::took_keys(const TookKeys& m, Replica& replica) {
  std::vector<std::string> drop;
  std::vector<std::string> again;
  for (const auto& key : m.keys) {
    const auto current = replica.accepted(m.actor, key);
    auto it = handing_.find(Key{m.actor, key});
    if (it == handing_.end()) continue;
    auto& entry = it->second;
    if (!entry.sent.contains(m.replica)) continue;
    entry.took.insert(m.replica);
    if (entry.owing(live_)) continue;
    if (entry.stamp == current) {
      drop.push_back(key);
    } else {
      // Written again while it was being handed: the confirmations are for an older state.
      entry.stamp = current;
      entry.took.clear();
      entry.sent.clear();
      again.push_back(key);
    }
  }
  for (const auto& key : drop) {
    handing_.erase(Key{m.actor, key});
    replica.drop(m.actor, key);
  }
  if (again.empty()) return;
  const Instant now = clock_();
  for (const auto& key : again) {
    auto it = handing_.find(Key{m.actor, key});
    if (it == handing_.end()) continue;
    for (const auto& target : it->second.targets) {
      giving_.insert_or_assign(std::make_pair(m.actor, target), Giving{now, backoff_.first});
    }
  }
}

void Handoff::give_due(Instant now, const Replica& replica) {
  std::vector<std::pair<std::pair<std::string, NodeId>, std::vector<std::string>>> noted;
  for (auto it = giving_.begin(); it != giving_.end();) {
    const auto& [actor, to] = it->first;
    std::vector<std::string> keys;
    for (auto h = handing_.lower_bound(Key{actor, ""}); h != handing_.end() && h->first.first == actor; ++h) {
      if (h->second.targets.contains(to) && !h->second.took.contains(to)) keys.push_back(h->first.second);
    }
    if (keys.empty()) {
      it = giving_.erase(it);
      continue;
    }
    auto& entry = it->second;
    if (live_.contains(to) && entry.next <= now) {
      entry.next = later(now, entry.delay);
      entry.delay = backoff_.next(entry.delay);
      noted.emplace_back(it->first, std::move(keys));
    }
    ++it;
  }
  for (auto& [to, keys] : noted) {
    for (const auto& key : keys) handing_.at(Key{to.first, key}).sent.insert(to.second);
    auto [stream, groups] = packed(to.first, keys, replica);
    for (std::size_t i = 0; i < groups.size(); ++i) {
      send(to.second, HandKeys{to.first, node_, stream, part_number(i), i + 1 == groups.size(), std::move(groups[i])});
    }
  }
}

std::pair<std::uint64_t, std::vector<std::vector<Copy>>> Handoff::packed(std::string_view actor,
                                                                         const std::vector<std::string>& keys,
                                                                         const Replica& replica) {
  std::vector<Copy> copies;
  for (const auto& key : keys) {
    auto parts = replica.copies(actor, key);
    std::move(parts.begin(), parts.end(), std::back_inserter(copies));
  }
  return {++streams_, core::replication::parts::packed(std::move(copies), budget_)};
}

void Handoff::send(const NodeId& to, Pull::Variant message) {
  outgoing.push_back(Outgoing{to, core::replication::wire::Message{Pull{std::move(message)}}});
}

void Handoff::knows(std::set<NodeId> live) {
  live_ = std::move(live);
  std::erase_if(arriving_, [&](const auto& entry) { return !live_.contains(entry.first.second); });
  changed_ = true;
}

std::vector<events::Event> Handoff::observed() {
  std::vector<events::Event> out;
  if (!changed_) return out;
  changed_ = false;
  std::set<std::string> in;
  for (const auto& hold : holds_) in.insert(hold.step.actor);
  std::set<std::string> handing_out;
  for (const auto& [key, entry] : handing_) {
    if (entry.owing(live_)) handing_out.insert(key.first);
  }
  reconcile(reported_in_, in, events::Direction::In, out);
  reconcile(reported_out_, handing_out, events::Direction::Out, out);
  return out;
}

bool Handoff::receiving(const core::placement::Step& step, std::string_view key) const {
  auto it = std::find_if(holds_.begin(), holds_.end(), [&](const Hold& h) { return h.step == step; });
  if (it == holds_.end()) return false;
  return it->transfer.receiving(core::placement::token(step.actor, key));
}

bool Handoff::arriving(std::string_view actor, std::string_view key) const {
  if (core::placement::pinned(key)) return false;
  const auto token = core::placement::token(actor, key);
  return std::any_of(holds_.begin(), holds_.end(),
                     [&](const Hold& h) { return h.step.actor == actor && h.transfer.receiving(token); });
}

void Handoff::give(const std::vector<core::handoff::sweep::Handover>& handovers, const Replica& replica,
                   Instant now) {
  changed_ = true;
  std::map<Key, std::set<NodeId>> wanted;
  for (const auto& h : handovers) {
    // Placement puts a key still arriving here by the ring before the change, where this node is
    // no replica; but it is the ring this node is leaving behind. Handed back there, the copy
    // just received would be forgotten on both sides once each confirmed the other's. A leaving
    // node gains nothing: what it is still pulling goes too.
    if (!leaving_ && arriving(h.actor, h.key)) continue;
    wanted.insert_or_assign(Key{h.actor, h.key}, std::set<NodeId>(h.replicas.begin(), h.replicas.end()));
  }
  std::erase_if(handing_, [&](const auto& entry) { return !wanted.contains(entry.first); });
  for (auto& [key, targets] : wanted) {
    auto it = handing_.find(key);
    if (it != handing_.end() && it->second.targets == targets) continue;
    for (const auto& target : targets) giving_.try_emplace(std::make_pair(key.first, target), Giving{now, backoff_.first});
    handing_.insert_or_assign(key, Handing{replica.accepted(key.first, key.second), std::move(targets), {}, {}});
  }
}

std::vector<Key> Handoff::owed() const {
  std::vector<Key> out;
  for (const auto& [key, entry] : handing_) {
    if (entry.owing(live_)) out.push_back(key);
  }
  return out;
}

bool Handoff::owing() const {
  return std::any_of(handing_.begin(), handing_.end(), [&](const auto& entry) { return entry.second.owing(live_); });
}

void Handoff::leave() {
  leaving_ = true;
  moved = true;
  changed_ = true;
}

std::vector<core::handoff::sweep::Handover> departing(std::span<const core::handoff::sweep::Kept> kept,
                                                      const core::placement::Placement& placement,
                                                      const core::placement::Counts& counts) {
  std::vector<core::handoff::sweep::Handover> out;
  if (!placement.ring) return out;
  const auto& ring = *placement.ring;
  std::set<NodeId> gone;
  for (const auto& member : ring.members()) {
    auto it = placement.members.find(member);
    const bool leaving = it != placement.members.end() && it->second.status == core::membership::Status::Leaving;
    if (leaving || (placement.me && member == *placement.me)) gone.insert(member);
  }
  const std::uint64_t staying = ring.members().size() - gone.size();
  for (const auto& k : kept) {
    if (core::placement::pinned(k.key)) continue;
    std::uint64_t n = staying;
    if (auto count = counts.known(k.actor)) n = std::min(n, *count);
    if (n == 0) continue;
    // Walking the ring while skipping the leaving members meets the same owners, in the same
    // order, as walking the ring built without them.
    auto replicas = ring.replicas(core::placement::token(k.actor, k.key), n + gone.size());
    std::erase_if(replicas, [&](const NodeId& r) { return gone.contains(r); });
    if (replicas.size() > n) replicas.resize(n);
    out.push_back(core::handoff::sweep::Handover{k.actor, k.key, std::move(replicas)});
  }
  return out;
}

}  // namespace vorel::node::handoff::service
