// The semaphore: permits handed out as leases that carry fencing tokens and lapse unless renewed,
// with a first-come-first-served queue of acquirers that may wait for a while or without limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/collections/native.hpp"

namespace vorel::core::collections {

namespace semaphore {

struct Lease {
  std::string lease_id;
  // Fencing token: grows with every grant and is never handed out twice.
  std::int64_t token = 0;
  std::int64_t count = 0;
  // Wall-clock time at which the lease lapses.
  double expires = 0.0;

  friend bool operator==(const Lease&, const Lease&) = default;
};

struct Pending {
  std::string lease_id;
  Target reply_to;
  std::int64_t count = 0;
  // Seconds the lease runs once granted.
  double ttl = 0.0;
  // Wall-clock time at which the wait ends; none waits without limit.
  std::optional<double> until;

  friend bool operator==(const Pending&, const Pending&) = default;
};

// Rebuilt from the parts at every input. Comparison is field by field, so a time that is not a
// number never compares equal.
struct State {
  std::int64_t capacity = 0;
  std::int64_t next_token = 1;
  std::vector<Lease> held;
  std::vector<Pending> pending;

  friend bool operator==(const State&, const State&) = default;
};

// Tolerant: a part that is missing or cannot be read takes its fresh value.
State of(const Parts& parts);
// The four parts "capacity", "held", "next_token", "pending".
Parts saved(const State& state);
// Drops the leases whose expiry has come, silently, and denies the waits whose end has come, in
// queue order. Whether anything went.
bool lapse(State& state, std::vector<Send>& sends, double now);
// Answers an "Acquire" at once or queues it.
void acquire(State& state, Pending request, std::vector<Send>& sends);
// ["Acquired", {"lease_id": ..., "token": ...}]
Bytes acquired(const Lease& lease);
// A fresh lease id: 32 lowercase hexadecimal digits.
std::string named(Namer& names);

}  // namespace semaphore

class Semaphore final : public Native {
 public:
  std::string_view fmt() const override { return "Semaphore"; }
  Parts initial(double now) const override;
  std::optional<Turn> turn(const Parts& parts, const Input& input, double now, Namer& names) const override;
  bool timed() const override { return true; }
  std::optional<double> deadline(const Parts& parts) const override;
};

}  // namespace vorel::core::collections
