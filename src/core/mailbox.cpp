#include "core/mailbox.hpp"

#include <algorithm>
#include <iterator>

namespace vorel::core {

using mailbox::Drained;
using mailbox::Put;
using mailbox::Took;
using mailbox::Withdrawn;

Put Mailbox::put(Deliver delivery) {
  if (!bound_ || queue_.size() < *bound_) {
    queue_.push_back(std::move(delivery));
    numbers_.push_back(next_++);
    return {Put::Queued{}};
  }
  if (wait_ && delivery.reply) {
    parked_.push_back(std::move(*delivery.reply));
    return {Put::Parked{}};
  }
  return {Put::Refused{std::move(delivery)}};
}

void Mailbox::release_one(std::vector<Target>& released) {
  if (parked_.empty()) return;
  released.push_back(std::move(parked_.front()));
  parked_.pop_front();
}

Took Mailbox::take() {
  Took took;
  if (!queue_.empty()) {
    took.delivery = std::move(queue_.front());
    queue_.pop_front();
    numbers_.pop_front();
    release_one(took.released);
    return took;
  }
  // Nothing is queued, so there is room for every parked asker.
  took.released.assign(std::make_move_iterator(parked_.begin()), std::make_move_iterator(parked_.end()));
  parked_.clear();
  return took;
}

Drained Mailbox::drain() {
  Drained drained;
  drained.queue.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
  drained.parked.assign(std::make_move_iterator(parked_.begin()), std::make_move_iterator(parked_.end()));
  queue_.clear();
  numbers_.clear();
  parked_.clear();
  return drained;
}

Withdrawn Mailbox::withdraw(const Target& target) {
  auto queued = std::find_if(queue_.begin(), queue_.end(),
                             [&](const Deliver& d) { return d.reply && *d.reply == target; });
  if (queued != queue_.end()) {
    numbers_.erase(numbers_.begin() + (queued - queue_.begin()));
    queue_.erase(queued);
    Withdrawn::Queued result;
    release_one(result.released);
    return {std::move(result)};
  }
  auto parked = std::find(parked_.begin(), parked_.end(), target);
  if (parked != parked_.end()) {
    parked_.erase(parked);
    return {Withdrawn::Parked{}};
  }
  return {Withdrawn::Absent{}};
}

}  // namespace vorel::core
