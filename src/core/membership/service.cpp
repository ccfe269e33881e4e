#include "core/membership/service.hpp"

#include <algorithm>
#include <utility>

namespace vorel::core::membership {

using table::Record;
using table::Status;
using views::Effect;
using views::View;
using wire::Body;

namespace {

std::vector<std::string> without(std::vector<std::string> seeds, const std::optional<std::string>& own) {
  if (own) std::erase(seeds, *own);
  return seeds;
}

}  // namespace

Membership::Membership(NodeId id, std::set<std::string> types, std::vector<std::string> seeds, Periods periods,
                       Overlay overlay, const Random& random)
    : table_(id, std::move(types), periods.dead_after, periods.remove_after),
      views_(id, overlay, random()),
      broadcaster_(id, periods.graft_after),
      seeds_(without(std::move(seeds), id.address)),
      id_(id),
      periods_(periods),
      rolls_(Rolls::seeded(random())),
      // A node without seeds is a cluster of one from the start.
      joined_(seeds_.empty()) {}

// ---- helpers

void Membership::send(const Destination& to, Body body) {
  outgoing_.push_back({to, wire::Message{wire::Sender{table_.own()}, std::move(body)}});
}

void Membership::send_any(const std::vector<NodeId>& candidates, const Body& body) {
  std::vector<NodeId> others;
  for (const auto& c : candidates) {
    if (c != id_) others.push_back(c);
  }
  if (others.empty()) return;
  send(others[rolls_.pick(others.size())], body);
}

std::vector<Record> Membership::known() const {
  std::vector<Record> out;
  out.reserve(table_.records().size());
  for (const auto& [node, r] : table_.records()) out.push_back(r);
  return out;
}

void Membership::learn(const std::vector<Record>& records, const Record* skip, double now) {
  std::vector<Record> changed;
  for (const auto& r : records) {
    if (auto stored = table_.merge(r, now)) changed.push_back(std::move(*stored));
  }
  publish(changed, skip, now);
}

void Membership::tree(const std::vector<Send>& messages) {
  for (const auto& m : messages) send(m.to, Body{m.message});
}

void Membership::publish(const std::vector<Record>& changed, const Record* skip, double now) {
  for (const auto& r : changed) {
    // The gossip that delivered the skip record was already passed on down the tree.
    if (skip == nullptr || r != *skip) tree(broadcaster_.broadcast(r, now));
    if (r.node != id_) {
      if (table::live(r.status)) {
        views_.add_passive(r.node);
      } else {
        forget(r.node);
        apply(views_.remove(r.node, false), now);
      }
    }
    changed_ = true;
  }
}

void Membership::apply(const views::Effects& effects, double now) {
  for (const auto& effect : effects) {
    std::visit(
        [&](const auto& e) {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, Effect::Send>) {
            send(e.to, Body{e.message});
          } else if constexpr (std::is_same_v<E, Effect::Up>) {
            heard_.try_emplace(e.node, now);
            broadcaster_.neighbor_up(e.node);
            send(e.node, Body{Body::Sync{known()}});
          } else {
            forget(e.node);
            broadcaster_.neighbor_down(e.node);
          }
        },
        effect.value);
  }
}

void Membership::settle() {
  if (table_.own().status == Status::Left && !leaving_) {
    removed_ = true;
  } else if (!joined_ && members().size() >= 2) {
    joined_ = true;
  }
}

// ---- operations

std::vector<Member> Membership::members() const {
  std::vector<Member> out;
  for (const auto& [node, r] : table_.records()) {
    if (r.status != Status::Left) out.push_back(Member{r.node, r.types, r.status});
  }
  return out;
}

std::vector<Outgoing> Membership::take() { return std::exchange(outgoing_, {}); }

bool Membership::changed() { return std::exchange(changed_, false); }

bool Membership::majority() const {
  std::size_t alive = 0, left = 0;
  for (const auto& [node, r] : table_.records()) {
    alive += r.status == Status::Alive;
    left += r.status == Status::Left;
  }
  return 2 * alive > table_.records().size() - left;
}

void Membership::receive(ByteView bytes, double now) {
  auto decoded = wire::decode(bytes);
  if (!decoded) return;
  const wire::Message& message = *decoded;
  const NodeId& from = message.sender.node();
  const Record* sender = message.sender.record();
  if (sender != nullptr) {
    sign(from, now);
    // A member broadcasts every change of its own record itself, so the copy that each of its
    // messages carries is not broadcast again: that would start one more broadcast of the same
    // change at every neighbour. A joiner has no broadcast peers yet, so its record is the one
    // this node spreads for it.
    const auto* view = std::get_if<View>(&message.body.value);
    const bool joining = view != nullptr && std::holds_alternative<View::Join>(view->value);
    learn({*sender}, joining ? nullptr : sender, now);
  }

  std::visit(
      [&](const auto& body) {
        using B = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<B, View>) {
          // A bare NodeId has no record, so nothing could ever suspect or age it out of the views:
          // taken into the active view it would be pinged and gossiped to for good. Clients never
          // send view messages, so the views hear only from members.
          if (sender == nullptr) return;
          if (std::holds_alternative<View::Join>(body.value)) {
            publish(table_.admit(*sender, now), nullptr, now);
            send(from, Body{Body::Sync{known()}});
          }
          apply(views_.receive(from, body), now);
        } else if constexpr (std::is_same_v<B, Broadcast>) {
          auto [out, delivered] = broadcaster_.receive(from, body, now);
          if (delivered) learn({*delivered}, &*delivered, now);
          tree(out);
        } else if constexpr (std::is_same_v<B, Body::Sync>) {
          if (sender != nullptr) learn(body.records, nullptr, now);
          send(from, Body{Body::SyncReply{known()}});
        } else if constexpr (std::is_same_v<B, Body::SyncReply>) {
          // Like every other message of a bare NodeId, a reply from one changes no table.
          if (sender != nullptr) learn(body.records, nullptr, now);
        } else if constexpr (std::is_same_v<B, Body::Ping>) {
          if (views_.is_active(from)) {
            send(from, Body{Body::Ack{}});
          } else {
            send(from, Body{View{View::Disconnect{}}});
          }
        }
      },
      message.body.value);
  settle();
}

void Membership::join() {
  for (const auto& seed : seeds_) send(seed, Body{View{View::Join{}}});
  send_any(nodes([](const Record& r) { return r.status == Status::Alive; }), Body{View{View::Join{}}});
}

void Membership::expire(double now) {
  publish(table_.expire(now), nullptr, now);
  settle();
}

void Membership::graft(double now) { tree(broadcaster_.tick(now)); }

void Membership::shuffle(double now) { apply(views_.shuffle(), now); }

void Membership::know(const std::set<std::string>& types, double now) {
  if (auto r = table_.know(types, now)) publish({*r}, nullptr, now);
}

void Membership::leave(double now) {
  if (leaving_) return;
  leaving_ = true;
  publish({table_.mark(Status::Leaving, now)}, nullptr, now);
}

void Membership::depart(double now) { publish({table_.mark(Status::Left, now)}, nullptr, now); }

}  // namespace vorel::core::membership
