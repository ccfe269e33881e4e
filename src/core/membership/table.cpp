#include "core/membership/table.hpp"

#include <utility>

#include "core/invariant.hpp"

namespace vorel::core::membership {

using table::Record;
using table::Status;

namespace {

// Whether a received record i wins over the held record h of the same node.
bool wins(const Record& i, const Record& h) {
  const bool i_left = i.status == Status::Left;
  const bool h_left = h.status == Status::Left;
  if (h_left && !i_left) return false;
  if (i_left && !h_left) return true;
  if (i.incarnation != h.incarnation) return i.incarnation > h.incarnation;
  return static_cast<std::uint8_t>(i.status) > static_cast<std::uint8_t>(h.status);
}

}  // namespace

MemberTable::MemberTable(NodeId id, std::set<std::string> types, double dead_after, std::optional<double> remove_after)
    : id_(std::move(id)), dead_after_(dead_after), remove_after_(remove_after) {
  records_.emplace(id_, Record{id_, 0, std::move(types), Status::Alive});
  changed_at_.emplace(id_, 0.0);
}

void MemberTable::set(Record record, double now) {
  auto held = records_.find(record.node);
  if (held != records_.end()) {
    if (held->second.status != record.status) {
      transitions_.push_back({record.node, record.status, held->second.status});
    }
  } else if (record.status != Status::Left) {
    // A node first learned of as already left is never reported.
    transitions_.push_back({record.node, record.status, std::nullopt});
  }
  changed_at_[record.node] = now;
  const NodeId node = record.node;
  records_.insert_or_assign(node, std::move(record));
}

std::optional<Record> MemberTable::merge(const Record& record, double now) {
  if (departed_.contains(record.node)) return std::nullopt;
  if (const Record* held = find(record.node); held != nullptr && !wins(record, *held)) return std::nullopt;
  if (record.node != id_) {
    set(record, now);
    return record;
  }
  switch (record.status) {
    case Status::Alive:
    case Status::Leaving:
      // The own live record changes only through know and mark.
      return std::nullopt;
    case Status::Left:
      set(record, now);
      return record;
    case Status::Suspect:
    case Status::Dead:
      break;
  }
  // A rumour about this node: outbid it. The rumour won the precedence test, so its incarnation
  // is at least the own one and the refutation outbids both.
  const Record& mine = own();
  Record refuted{id_, record.incarnation + 1, mine.types, mine.status};
  set(refuted, now);
  return refuted;
}

std::vector<Record> MemberTable::admit(const Record& joiner, double now) {
  std::vector<Record> earlier;
  for (const auto& [node, held] : records_) {
    if (node.address == joiner.node.address && node.incarnation != joiner.node.incarnation) {
      Record copy = held;
      copy.status = Status::Left;
      earlier.push_back(std::move(copy));
    }
  }
  std::vector<Record> changed;
  if (auto r = merge(joiner, now)) changed.push_back(std::move(*r));
  for (const auto& copy : earlier) {
    if (auto r = merge(copy, now)) changed.push_back(std::move(*r));
  }
  return changed;
}

std::optional<Record> MemberTable::know(const std::set<std::string>& types, double now) {
  const Record& mine = own();
  bool fresh = false;
  for (const auto& t : types) fresh = fresh || !mine.types.contains(t);
  if (!fresh) return std::nullopt;
  Record next = mine;
  next.types.insert(types.begin(), types.end());
  next.incarnation += 1;
  set(next, now);
  return next;
}

Record MemberTable::mark(Status status, double now) {
  Record next = own();
  next.status = status;
  set(next, now);
  return next;
}

std::vector<Record> MemberTable::expire(double now) {
  std::size_t alive = 0, left = 0;
  for (const auto& [node, r] : records_) {
    alive += r.status == Status::Alive;
    left += r.status == Status::Left;
  }
  const std::size_t standing = records_.size() - left;
  // Without a strict majority of alive members this side may be the cut-off one, and turning the
  // others left would be final.
  const bool majority = 2 * alive > standing;

  std::vector<Record> changed;
  std::vector<NodeId> forgotten;
  for (const auto& [node, r] : records_) {
    const double elapsed = now - changed_at_.at(node);
    if (r.status == Status::Suspect && elapsed >= dead_after_) {
      changed.push_back(r);
      changed.back().status = Status::Dead;
    } else if (r.status == Status::Dead && majority && remove_after_ && elapsed >= *remove_after_) {
      changed.push_back(r);
      changed.back().status = Status::Left;
    } else if (r.status == Status::Left && elapsed >= table::kForgetAfter && node != id_) {
      forgotten.push_back(node);
    }
  }
  for (const auto& node : forgotten) {
    records_.erase(node);
    changed_at_.erase(node);
    departed_.insert(node);
  }
  for (const auto& r : changed) set(r, now);
  return changed;
}

const Record* MemberTable::find(const NodeId& node) const {
  auto it = records_.find(node);
  return it == records_.end() ? nullptr : &it->second;
}

std::optional<double> MemberTable::changed_at(const NodeId& node) const {
  auto it = changed_at_.find(node);
  if (it == changed_at_.end()) return std::nullopt;
  return it->second;
}

const Record& MemberTable::own() const {
  const Record* mine = find(id_);
  if (mine == nullptr) broken("membership: the member table lost its own record");
  return *mine;
}

std::vector<table::Transition> MemberTable::take_transitions() { return std::exchange(transitions_, {}); }

}  // namespace vorel::core::membership
