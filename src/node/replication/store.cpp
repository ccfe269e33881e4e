// The replication service's side of the durable store: requests handed out as values, what each
// open request waits for, write-through saves that hold a write's outcome back, delayed saves.
#include <fmt/format.h>

#include "node/replication/service.hpp"

namespace vorel::node::replication::service {

using core::replication::Durable;

std::uint64_t Replication::ask(const std::string& actor, const std::string& key, core::Storage operation,
                               core::Duration timeout, Awaited awaited) {
  const auto id = ++next_request_;
  awaited_.insert_or_assign(id, std::move(awaited));
  store_requests.push_back(Storing{id, actor, key, std::move(operation), timeout});
  return id;
}

std::uint64_t Replication::save(const std::string& actor, const std::string& key, const core::Stored& record,
                                std::optional<core::Duration> period, core::Duration timeout) {
  return ask(actor, key, core::Storage{core::Storage::Save{record}}, timeout,
             Awaited{Awaited::Save{record, actor, key, period}});
}

Replication::Kept Replication::keep(const std::string& actor, const std::string& key, core::Stored record, bool force,
                                    Instant now) {
  const Name name{actor, key};
  auto it = owners_.find(name);
  if (it == owners_.end()) return {};
  const Durable durable = it->second.durable;
  switch (durable.mode) {
    case Durable::Mode::None: return {};
    case Durable::Mode::Write: {
      auto op = operations_.find(name);
      const auto timeout = op == operations_.end() ? write_timeout_ : left(now, op->second.answer_by);
      const auto id = save(actor, key, record, std::nullopt, timeout);
      return {op != operations_.end(), id};
    }
    case Durable::Mode::Delay: break;
  }
  // The last write of an activation and a deletion do not wait: nothing later would carry them.
  if (force || !record.state) {
    unsaved_.erase(name);
    save(actor, key, record, durable.delay, write_timeout_);
    return {};
  }
  if (auto u = unsaved_.find(name); u != unsaved_.end()) {
    u->second.stored = std::move(record);
  } else {
    unsaved_.emplace(name, Unsaved{std::move(record), later(now, durable.delay), durable.delay});
  }
  return {};
}

void Replication::save_due(Instant now) {
  std::vector<Name> due;
  for (const auto& [name, unsaved] : unsaved_) {
    if (unsaved.due <= now) due.push_back(name);
  }
  std::sort(due.begin(), due.end());
  for (const auto& name : due) {
    auto node = unsaved_.extract(name);
    save(name.actor, name.key, node.mapped().stored, node.mapped().period, write_timeout_);
  }
}

void Replication::reported(const std::string& actor, const std::string& key, Failure failure) {
  events.push_back(events::Event{events::WriteFailed{std::move(failure), actor, key, true}});
}

void Replication::stored(std::uint64_t request, StoreResult result, Instant now) {
  auto entry = awaited_.extract(request);
  if (entry.empty()) return;
  Awaited awaited = std::move(entry.mapped());

  if (auto* forget = std::get_if<Awaited::Forget>(&awaited.value)) return forgotten(*forget, result);

  const std::string& actor =
      std::visit([](const auto& a) -> const std::string& { return a.actor; }, awaited.value);
  const std::string& key = std::visit([](const auto& a) -> const std::string& { return a.key; }, awaited.value);
  const Name name{actor, key};
  auto op = operations_.find(name);
  const bool waiting = op != operations_.end() && op->second.storing && op->second.request == request;

  if (std::holds_alternative<Awaited::Load>(awaited.value)) {
    // A load answer that nobody waits for any more (the operation ended, or was retried and asks
    // again when its owner needs the store) is dropped.
    if (!waiting) return;
    op->second.storing = false;
    if (!result) {
      return abort(actor, key,
                   Failure{Failure::Kind::Unavailable,
                           core::store::unread(actor, key, result.error())});
    }
    auto owner = owners_.find(name);
    if (owner == owners_.end()) return;
    return apply(actor, key, owner->second.loaded(std::move(*result)), now);
  }

  auto& save = std::get<Awaited::Save>(awaited.value);
  if (waiting) {
    if (!result) {
      return abort(actor, key,
                   Failure{Failure::Kind::Unavailable,
                           fmt::format("{}/{}: the replicas confirmed the write and the store did not keep it: {}",
                                       actor, key, result.error())});
    }
    Operation removed = std::move(op->second);
    operations_.erase(op);
    if (removed.held) {
      auto held = std::move(*removed.held);
      removed.held.reset();
      settled(actor, key, std::move(removed), std::move(held));
    }
    return;
  }
  if (result) return;
  reported(actor, key,
           Failure{Failure::Kind::Unavailable,
                   fmt::format("{}/{}: the store did not keep a confirmed write: {}", actor, key, result.error())});
  // A delayed save is tried again one period later, unless a newer state already waits.
  if (!save.period || !owners_.contains(name)) return;
  if (auto u = unsaved_.find(name); u != unsaved_.end()) {
    if (core::replication::Stamp::before(u->second.stored.version, save.stored.version)) {
      u->second.stored = std::move(save.stored);
    }
  } else {
    unsaved_.emplace(name, Unsaved{std::move(save.stored), later(now, *save.period), *save.period});
  }
}

}  // namespace vorel::node::replication::service
