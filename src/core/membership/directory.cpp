#include "core/membership/directory.hpp"

#include <algorithm>
#include <utility>

namespace vorel::core::membership {

using table::Status;
using table::Transition;
using wire::Body;

Directory::Directory(NodeId id, std::vector<std::string> seeds, const Random& random)
    : seeds_(std::move(seeds)), id_(std::move(id)), rolls_(Rolls::seeded(random())) {}

bool Directory::listed(const NodeId& node) const {
  return std::any_of(listed_.begin(), listed_.end(), [&](const Member& m) { return m.node == node; });
}

std::vector<Member> Directory::members() const {
  std::vector<Member> out = listed_;
  for (auto& m : out) {
    if (unreached_.contains(m.node)) m.status = Status::Dead;
  }
  return out;
}

std::vector<Outgoing> Directory::take() { return std::exchange(outgoing_, {}); }

bool Directory::changed() { return std::exchange(changed_, false); }

std::vector<Transition> Directory::transitions() { return std::exchange(transitions_, {}); }

void Directory::question(const Destination& to) {
  outgoing_.push_back({to, wire::Message{wire::Sender{id_}, Body{Body::Sync{}}}});
}

void Directory::ask() {
  std::vector<NodeId> candidates;
  for (const auto& m : members()) {
    if (m.status == Status::Alive) candidates.push_back(m.node);
  }
  const std::uint64_t x = rolls_.draw();
  const bool to_member = may_ask_member_ && !candidates.empty();
  may_ask_member_ = false;
  if (to_member) {
    question(candidates[x % candidates.size()]);
  } else if (!seeds_.empty()) {
    // The client refuses an empty seed list before it builds a directory; an empty list here
    // only means no seed can be asked.
    question(seeds_[x % seeds_.size()]);
  }
  // A member the transport could not reach is asked directly, so that its return is noticed.
  for (const auto& node : unreached_) question(node);
}

void Directory::receive(ByteView bytes, double now) {
  auto decoded = wire::decode(bytes);
  if (!decoded) return;
  const auto* reply = std::get_if<Body::SyncReply>(&decoded->body.value);
  if (reply == nullptr) return;

  const std::vector<Member> before = members();
  may_ask_member_ = true;
  unreached_.erase(decoded->sender.node());
  std::vector<Member> fresh;
  for (const auto& r : reply->records) {
    if (r.status != Status::Left) fresh.push_back(Member{r.node, r.types, r.status});
  }
  // Gone, left or dead members need no watching; a member listed otherwise by another node stays
  // unreached until it answers itself.
  std::erase_if(unreached_, [&](const NodeId& node) {
    return std::none_of(fresh.begin(), fresh.end(),
                        [&](const Member& m) { return m.node == node && m.status != Status::Dead; });
  });
  listed_ = std::move(fresh);
  auto changes = diff(before, members());
  transitions_.insert(transitions_.end(), changes.begin(), changes.end());
  joined_ = true;
  changed_ = true;
}

bool Directory::unreached(const NodeId& node, double now) {
  for (const auto& m : members()) {
    if (m.node == node && m.status != Status::Dead && unreached_.insert(node).second) {
      transitions_.push_back({node, Status::Dead, m.status});
      changed_ = true;
    }
  }
  return true;
}

void Directory::lost(const NodeId& node, double now) {
  if (listed(node)) question(node);
}

std::vector<Transition> Directory::diff(const std::vector<Member>& before, const std::vector<Member>& after) {
  auto find = [](const std::vector<Member>& list, const NodeId& node) {
    return std::find_if(list.begin(), list.end(), [&](const Member& m) { return m.node == node; });
  };
  std::vector<Transition> out;
  for (const auto& m : after) {
    auto old = find(before, m.node);
    if (old == before.end()) {
      out.push_back({m.node, m.status, std::nullopt});
    } else if (old->status != m.status) {
      out.push_back({m.node, m.status, old->status});
    }
  }
  for (const auto& m : before) {
    if (find(after, m.node) == after.end()) out.push_back({m.node, Status::Left, m.status});
  }
  return out;
}

}  // namespace vorel::core::membership
