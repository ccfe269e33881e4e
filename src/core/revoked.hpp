// The asks withdrawn before their message reached its key: each is remembered until its ask
// timeout, so that the message, arriving late, is dropped instead of handled. Entries leave in
// deadline order, so a withdrawal costs the same however many are remembered.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vorel::core {

template <class Key, class Hash = std::hash<Key>>
class Revoked {
 public:
  Revoked() = default;
  explicit Revoked(Hash hash) : deadlines_(0, std::move(hash)) {}

  // Remembers `key` until `deadline`, after letting go of every entry whose deadline is `now` or
  // earlier. A key remembered already takes the new deadline.
  void add(const Key& key, double deadline, double now) {
    expire(now);
    deadlines_[key] = deadline;
    order_.push(Due{deadline, key});
  }

  // The deadline of `key`, which is forgotten; none when it is not remembered.
  std::optional<double> take(const Key& key) {
    auto at = deadlines_.find(key);
    if (at == deadlines_.end()) return std::nullopt;
    const double deadline = at->second;
    deadlines_.erase(at);
    return deadline;
  }

  std::size_t size() const { return deadlines_.size(); }
  // Entries looked at by expiry since this was made: at most one more per call than it let go.
  std::size_t examined() const { return examined_; }

 private:
  struct Due {
    double deadline;
    Key key;
    bool operator>(const Due& other) const { return deadline > other.deadline; }
  };

  // An entry of the order whose key was taken, or given a later deadline since, is stale: it is
  // dropped when it comes up, and leaves the map alone.
  void expire(double now) {
    while (!order_.empty()) {
      ++examined_;
      const Due& first = order_.top();
      if (first.deadline > now) break;
      auto at = deadlines_.find(first.key);
      if (at != deadlines_.end() && at->second == first.deadline) deadlines_.erase(at);
      order_.pop();
    }
  }

  std::unordered_map<Key, double, Hash> deadlines_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> order_;
  std::size_t examined_ = 0;
};

}  // namespace vorel::core
