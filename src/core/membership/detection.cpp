// Failure detection and anti-entropy of the membership service: silent members are suspected (the
// member table then ages them), and whole tables are exchanged to repair what gossip missed.
#include "core/membership/service.hpp"

namespace vorel::core::membership {

using table::Record;
using table::Status;
using wire::Body;

std::optional<double> Membership::heard_at(const NodeId& node) const {
  auto it = heard_.find(node);
  if (it == heard_.end()) return std::nullopt;
  return it->second;
}

void Membership::sign(const NodeId& node, double now) {
  heard_.insert_or_assign(node, now);
  if (probing_ && probing_->first == node) probing_.reset();
}

void Membership::forget(const NodeId& node) {
  heard_.erase(node);
  if (probing_ && probing_->first == node) probing_.reset();
}

void Membership::heard(const NodeId& node, double now) {
  // A suspect member is not revived by traffic on its connection: only its own refutation does.
  if (const Record* r = table_.find(node); r != nullptr && table::live(r->status)) sign(node, now);
}

void Membership::probe(double now) {
  // One member outside the active view at a time, so that every live member is watched by
  // someone: the one still being probed, else the least recently heard.
  auto outside = [&](const NodeId& node) {
    const Record* r = table_.find(node);
    return r != nullptr && table::live(r->status) && node != id_ && !views_.is_active(node);
  };
  if (probing_ && !outside(probing_->first)) probing_.reset();
  if (!probing_) {
    std::optional<NodeId> extra;
    double oldest = 0.0;
    for (const auto& [node, r] : table_.records()) {
      if (!outside(node)) continue;
      const double at = heard_at(node).value_or(0.0);
      if (!extra || at < oldest) {
        extra = node;
        oldest = at;
      }
    }
    if (extra) probing_.emplace(std::move(*extra), now);
  }
  std::vector<NodeId> targets = views_.active();
  if (probing_) targets.push_back(probing_->first);

  for (const auto& node : targets) {
    const double last = heard_.try_emplace(node, now).first->second;
    bool silent = now - last >= periods_.suspect_after;
    // An active member is pinged every round, so an old heard time means unanswered pings; the
    // member outside the view must also have been probed for as long.
    if (probing_ && probing_->first == node) silent = silent && now - probing_->second >= periods_.suspect_after;
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
