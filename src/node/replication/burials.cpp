// Tombstones go away one burial interval after the local replica stored them: the other replicas
// are asked to bury them each interval until every one has answered, a durable type's store drops
// the key, and then the tombstone is forgotten.
#include <algorithm>

#include <fmt/format.h>

#include "node/replication/service.hpp"

namespace vorel::node::replication::service {

void Replication::lay(Instant now) {
  auto tombstones = std::exchange(replica.tombstones, {});
  for (auto& t : tombstones) {
    Name name{t.actor, t.key};
    auto b = burials_.find(name);
    if (b != burials_.end() && b->second.stamp == t.stamp) continue;
    burial_queue_.push_back(Interment{later(now, burial_interval_), t.actor, t.key, t.stamp});
    burials_.insert_or_assign(std::move(name), Burial{t.stamp, {}, false});
  }
}

std::vector<Name> Replication::burying(Instant now) {
  std::vector<Interment> aside;
  std::vector<Name> out;
  while (!burial_queue_.empty() && burial_queue_.front().due <= now) {
    Interment entry = std::move(burial_queue_.front());
    burial_queue_.pop_front();
    auto b = burials_.find(Name{entry.actor, entry.key});
    if (b == burials_.end() || b->second.stamp != entry.stamp) continue;
    if (replica.deleted(entry.actor, entry.key) != entry.stamp) {
      // A later write replaced the tombstone, or it was purged: nothing is left to bury.
      burials_.erase(b);
      continue;
    }
    entry.due = later(now, burial_interval_);
    out.push_back(Name{entry.actor, entry.key});
    aside.push_back(std::move(entry));
  }
  for (auto& entry : aside) burial_queue_.push_back(std::move(entry));
  return out;
}

void Replication::bury(const std::string& actor, const std::string& key, const std::vector<core::NodeId>& replicas,
                       bool durable) {
  if (std::find(replicas.begin(), replicas.end(), own_id_) == replicas.end()) return;
  std::set<core::NodeId> others(replicas.begin(), replicas.end());
  others.erase(own_id_);
  auto b = burials_.find(Name{actor, key});
  if (b == burials_.end()) return;
  Burial& burial = b->second;
  const bool all = std::includes(burial.answered.begin(), burial.answered.end(), others.begin(), others.end());
  if (all) {
    if (!durable) return forget_tombstone(actor, key);
    if (burial.asked) return;
    burial.asked = true;
    ask(actor, key, core::Storage{core::Storage::Drop{burial.stamp}}, write_timeout_,
        Awaited{Awaited::Forget{actor, key, burial.stamp}});
    return;
  }
  for (const auto& other : others) {
    if (burial.answered.contains(other)) continue;
    outgoing.push_back(Outgoing{other, core::replication::wire::Message{core::replication::messages::Request{
                                           core::replication::messages::Bury{actor, key, burial.stamp, own_id_}}}});
  }
}

void Replication::buried(const core::replication::messages::Buried& reply) {
  auto b = burials_.find(Name{reply.actor, reply.key});
  // A replica still receiving the key by hand-off may not hold the tombstone yet: ask it again.
  if (b == burials_.end() || b->second.stamp != reply.stamp || reply.receiving) return;
  b->second.answered.insert(reply.replica);
}

void Replication::forgotten(const Awaited::Forget& forget, const StoreResult& result) {
  auto b = burials_.find(Name{forget.actor, forget.key});
  if (b == burials_.end() || b->second.stamp != forget.stamp) return;
  b->second.asked = false;
  if (!result) {
    return reported(forget.actor, forget.key,
                    Failure{Failure::Kind::Unavailable,
                            core::store::unforgotten(forget.actor, forget.key, result.error())});
  }
  forget_tombstone(forget.actor, forget.key);
}

void Replication::forget_tombstone(const std::string& actor, const std::string& key) {
  auto b = burials_.find(Name{actor, key});
  if (b == burials_.end()) return;
  const auto stamp = b->second.stamp;
  burials_.erase(b);
  replica.purge(actor, key, stamp);
}

}  // namespace vorel::node::replication::service
