// The durable road of a system without a cluster: a durable type's reads, writes and deletions go
// to the node's record table first and to the system's store object after, at once or after the
// type's period. The store calls under way and the saves planned for later are counted here, so
// that a graceful stop sends what is planned and waits for what is under way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/backoff.hpp"
#include "exec/gate.hpp"
#include "py/keyed.hpp"
#include "py/object.hpp"

namespace vorel::py {

class Node;
struct Definition;
struct Op;

namespace durable {

// A save planned for the end of a type's period.
struct Plan {
  Object timer;
  std::uint64_t number = 0;
  core::Duration period;
  double timeout = 0;
};

struct Pending {
  // Store calls handed to the store object and not yet answered; a graceful stop closes it.
  exec::Gate calls;
  std::uint64_t next = 0;
  std::unordered_map<Entity, Plan, Keyed, SameEntity> planned;
  // The timers of the drops that forget deleted keys, by number.
  std::unordered_map<std::uint64_t, Object> drops;
  // A graceful stop has begun: nothing is planned any more.
  bool closing = false;
};

// `persist` for a durable type: the future, or null with the error set.
Object persist(Node& node, std::string_view actor, std::string_view key, Op op, const Definition& type,
               Object future);

// A graceful stop: what is planned is saved now, and `then` runs once no store call is under way,
// or after `seconds` at the latest. False with the error set; `then` has not run.
bool closing(const std::shared_ptr<Node>& node, double seconds, std::move_only_function<void()> then);

}  // namespace durable
}  // namespace vorel::py
