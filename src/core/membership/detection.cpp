// Failure detection and anti-entropy of the membership service: silent members are suspected (the
// member table then ages them), and whole tables are exchanged to repair what gossip missed.
#include "core/membership/service.hpp"

namespace vorel::core::membership {

using table::Record;
using table::Status;
using views::View;
using wire::Body;

std::optional<double> Membership::heard_at(const NodeId& node) const {
  auto it = heard_.find(node);
  if (it == heard_.end()) return std::nullopt;
  return it->second;
}

void Membership::sign(const NodeId& node, double now) {
  heard_.insert_or_assign(node, now);
  pinged_.erase(node);
}

void Membership::forget(const NodeId& node) {
  heard_.erase(node);
  pinged_.erase(node);
}

void Membership::heard(const NodeId& node, double now) {
  // A suspect member is not revived by traffic on its connection: only its own refutation does.
  if (const Record* r = table_.find(node); r != nullptr && table::live(r->status)) sign(node, now);
}

void Membership::probe(double now) {
  // One member outside the active view per round, the least recently heard, so that every live
  // member is watched by someone.
  std::optional<NodeId> extra;
  double oldest = 0.0;
  for (const auto& [node, r] : table_.records()) {
    if (!table::live(r.status) || node == id_ || views_.is_active(node)) continue;
    const double at = heard_at(node).value_or(0.0);
    if (!extra || at < oldest) {
      extra = node;
      oldest = at;
    }
  }
  std::vector<NodeId> targets = views_.active();
  if (extra) targets.push_back(*extra);

  for (const auto& node : targets) {
    const double last = heard_.try_emplace(node, now).first->second;
    bool silent = now - last >= periods_.suspect_after;
    if (!views_.is_active(node)) {
      // An active member is pinged every round, so its old heard time means unanswered pings. A
      // member outside the view may just have had nothing to say to this node: it is suspected
      // only once a ping has gone unanswered for as long.
      const double asked = pinged_.try_emplace(node, now).first->second;
      silent = silent && now - asked >= periods_.suspect_after;
    }
    if (silent) {
      suspect(node, now);
    } else {
      send(node, Body{Body::Ping{}});
    }
  }

  if (views_.active().empty()) {
    join();
  } else {
    apply(views_.promote(), now);
  }
}

void Membership::suspect(const NodeId& node, double now) {
  forget(node);
  if (const Record* held = table_.find(node)) {
    Record copy = *held;
    copy.status = Status::Suspect;
    learn({copy}, nullptr, now);
  }
  // The table takes the suspicion only over a live record. A silent node whose record is already
  // suspect, dead or left, or which has none, would otherwise stay in the views and be pinged
  // forever; a suspected node always leaves them.
  if (views_.is_active(node) || views_.is_passive(node)) apply(views_.remove(node, false), now);
}

bool Membership::unreached(const NodeId& node, double now) {
  const Record* r = table_.find(node);
  if (r != nullptr && r->status == Status::Alive && node != id_) suspect(node, now);
  return false;
}

void Membership::anti_entropy() {
  send_any(nodes([](const Record& r) { return r.status != Status::Left; }), Body{Body::Sync{known()}});
}

}  // namespace vorel::core::membership
