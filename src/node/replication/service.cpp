#include "node/replication/service.hpp"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "core/invariant.hpp"

namespace vorel::node::replication::service {

using core::replication::Owner;
using core::replication::Send;
using core::replication::messages::Reply;
using core::replication::messages::Request;
using core::replication::owner::Outcome;
using core::replication::owner::Step;

namespace {

constexpr auto kCheck = std::chrono::milliseconds(200);
constexpr auto kRetry = std::chrono::milliseconds(50);

template <class T>
const T* phase_as(const Owner& owner) {
  return owner.phase ? std::get_if<T>(&*owner.phase) : nullptr;
}

Failure failure(Failure::Kind kind, std::string text) { return Failure{kind, std::move(text)}; }

}  // namespace

Instant later(Instant at, core::Duration span) {
  using Rep = Instant::duration::rep;
  const auto room = Instant::max() - at;
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(room).count();
  if (span.seconds >= static_cast<std::uint64_t>(whole)) return Instant::max();
  const auto step = std::chrono::duration_cast<Instant::duration>(std::chrono::seconds(static_cast<Rep>(span.seconds)) +
                                                                  std::chrono::nanoseconds(span.nanos));
  return step >= room ? Instant::max() : at + step;
}

core::Duration left(Instant now, Instant until) {
  if (until <= now) return {};
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
  return core::Duration{static_cast<std::uint64_t>(nanos / core::Duration::kNanosPerSecond),
                        static_cast<std::uint32_t>(nanos % core::Duration::kNanosPerSecond)};
}

Failure Waiting::fail(Failure failure) {
  if (auto* c = std::get_if<Commit>(&value)) {
    c->answer.send(std::unexpected(failure));
  } else {
    auto& a = std::get<Activate>(value);
    a.answer.send(std::unexpected(failure));
    a.initial.reset();
  }
  return failure;
}

std::string Waiting::debug() const {
  if (const auto* c = std::get_if<Commit>(&value)) {
    return fmt::format("Commit {{ answer: Sender {{ .. }}, ending: {} }}", c->ending);
  }
  const auto& a = std::get<Activate>(value);
  return fmt::format("Activate {{ initial: {}, answer: Sender {{ .. }} }}", a.initial ? "Some(..)" : "None");
}

Replication::Replication(core::NodeId own_id, std::uint64_t budget, core::Duration write_timeout,
                         core::Duration burial_interval)
    : replica(own_id, budget),
      own_id_(std::move(own_id)),
      write_timeout_(write_timeout),
      burial_interval_(burial_interval),
      budget_(budget) {}

Owner& Replication::owner(const std::string& actor, const std::string& key, const Around& around) {
  const Name name{actor, key};
  auto it = owners_.find(name);
  if (it != owners_.end() && it->second.replicas == around.replicas && it->second.durable == around.durable) {
    return it->second;
  }
  // A new owner opens its rounds above every term this node has promised or opened for the key.
  std::uint64_t round = 0;
  if (auto promised = replica.promised(actor, key)) round = promised->round;
  if (it != owners_.end()) round = std::max(round, it->second.epoch.round);
  Owner made(actor, key, own_id_, around.replicas, around.level, budget_, round, around.durable);
  return owners_.insert_or_assign(name, std::move(made)).first->second;
}

void Replication::queue(std::vector<Send> sends) {
  for (auto& send : sends) {
    outgoing.push_back(Outgoing{std::move(send.to), core::replication::wire::Message{std::move(send.request)}});
  }
}

void Replication::activate(const std::string& actor, const std::string& key, std::optional<core::Pages> initial,
                           const Around& around, oneshot::Sender<ActivateResult> answer, Instant now) {
  const Name name{actor, key};
  Operation op{false,
               0,
               Waiting{Waiting::Activate{initial, std::move(answer)}},
               later(now, around.write_timeout.value_or(write_timeout_)),
               now + kCheck,
               std::nullopt,
               std::nullopt};
  replace(name, std::move(op),
          fmt::format("{}/{} moved: a later activation of the key on this node took over its state", actor, key));
  handles_[name] = ++next_handle_;
  auto sends = owner(actor, key, around).activate(std::move(initial), around.wanted);
  if (!sends) return abort(actor, key, failure(Failure::Kind::TooLarge, std::move(sends.error().text)));
  queue(std::move(*sends));
}

void Replication::commit(const std::string& actor, const std::string& key, std::uint64_t handle, core::Pages pages,
                         bool active, const std::optional<Around>& around, oneshot::Sender<CommitResult> answer,
                         Instant now) {
  start(actor, key, handle, active, around, std::move(answer), now, &pages);
}

void Replication::delete_(const std::string& actor, const std::string& key, std::uint64_t handle, bool active,
                          const std::optional<Around>& around, oneshot::Sender<CommitResult> answer, Instant now) {
  start(actor, key, handle, active, around, std::move(answer), now, nullptr);
}

void Replication::start(const std::string& actor, const std::string& key, std::uint64_t handle, bool active,
                        const std::optional<Around>& around, oneshot::Sender<CommitResult> answer, Instant now,
                        const core::Pages* pages) {
  const Name name{actor, key};
  auto it = owners_.find(name);
  if (it == owners_.end()) {
    auto f = failure(Failure::Kind::Unavailable, fmt::format("{}/{} is not held by this node", actor, key));
    answer.send(std::unexpected(f));
    return failed(actor, key, true, std::move(f));
  }
  auto h = handles_.find(name);
  if (h == handles_.end() || h->second != handle) {
    auto f = failure(Failure::Kind::Fenced,
                     fmt::format("{}/{} was taken over by a later activation on this node", actor, key));
    answer.send(std::unexpected(f));
    return failed(actor, key, true, std::move(f));
  }
  Owner& owner = it->second;
  bool changed = false;
  if (around && around->replicas != owner.replicas) {
    owner.replicas = around->replicas;
    const auto q = core::replication::owner::quorums(around->level, owner.replicas.size());
    owner.write_quorum = q.write;
    owner.read_quorum = q.read;
    owner.reprepare = around->wanted;
    changed = true;
  }
  core::replication::owner::Sends sends;
  if (!pages) {
    sends = owner.delete_();
  } else if (active) {
    sends = owner.save(*pages);
  } else {
    sends = owner.next(*pages);
  }
  const auto timeout = around && around->write_timeout ? *around->write_timeout : write_timeout_;
  Operation op{false,
               0,
               Waiting{Waiting::Commit{std::move(answer), !active}},
               later(now, timeout),
               changed ? std::optional(now + kCheck) : std::nullopt,
               std::nullopt,
               std::nullopt};
  replace(name, std::move(op),
          fmt::format("{}/{}: a later write of the key took this one's place before it was confirmed", actor, key));
  if (!sends) return abort(actor, key, failure(Failure::Kind::TooLarge, std::move(sends.error().text)));
  queue(std::move(*sends));
  retry_check(name, now);
}

void Replication::replace(const Name& name, Operation op, std::string why) {
  auto it = operations_.find(name);
  if (it == operations_.end()) {
    operations_.emplace(name, std::move(op));
    return;
  }
  // The waiter of the operation put aside learns why, instead of finding its channel closed as if
  // the node had stopped.
  Operation replaced = std::exchange(it->second, std::move(op));
  replaced.waiting.fail(failure(Failure::Kind::Unavailable, std::move(why)));
}

void Replication::forget(const std::string& actor, const std::string& key, std::uint64_t handle) {
  const Name name{actor, key};
  auto h = handles_.find(name);
  if (h != handles_.end() && h->second == handle) drop_owner(name);
}

void Replication::drop_owner(const Name& name) {
  owners_.erase(name);
  handles_.erase(name);
  unsaved_.erase(name);
}

void Replication::answer(Reply reply, Instant now) {
  if (const auto* b = std::get_if<core::replication::messages::Buried>(&reply.variant)) return buried(*b);
  const std::string actor = reply.actor();
  const std::string key = reply.key();
  auto it = owners_.find(Name{actor, key});
  if (it == owners_.end()) return;
  apply(actor, key, it->second.receive(std::move(reply)), now);
}

void Replication::request(Request request, bool receiving) {
  const core::NodeId origin = request.origin();
  auto reply = replica.receive(std::move(request), receiving);
  if (!reply) return;
  if (const auto* a = std::get_if<core::replication::messages::Accepted>(&reply->variant)) {
    // The key's activation may be running under that node's owner: if this node acts for it
    // now, the event loop continues it here.
    if (a->stamp.epoch.node != own_id_) foreign.push_back(Name{a->actor, a->key});
  }
  outgoing.push_back(Outgoing{origin, core::replication::wire::Message{std::move(*reply)}});
}

void Replication::retry_check(const Name& name, Instant now) {
  auto op = operations_.find(name);
  auto it = owners_.find(name);
  if (op == operations_.end() || it == owners_.end() || op->second.retry_at) return;
  // A write in flight is retried as well as a key held back by hand-off: an Accept or its answer
  // lost on the way would otherwise leave the write waiting until its deadline.
  if (it->second.receiving() || phase_as<core::replication::owner::Writing>(it->second)) {
    op->second.retry_at = now + kRetry;
  }
}

void Replication::apply(const std::string& actor, const std::string& key, Step step, Instant now) {
  const Name name{actor, key};
  queue(std::move(step.requests));
  auto op = operations_.find(name);
  const auto* save = step.storage ? std::get_if<core::Storage::Save>(&step.storage->value) : nullptr;
  if (!step.outcome) {
    if (step.storage && std::holds_alternative<core::Storage::Load>(step.storage->value)) {
      if (op == operations_.end()) return;
      const auto id = ask(actor, key, core::Storage{core::Storage::Load{}}, left(now, op->second.answer_by),
                          Awaited{Awaited::Load{actor, key}});
      op->second.storing = true;
      op->second.request = id;
      return;
    }
    retry_check(name, now);
    return;
  }
  if (op == operations_.end()) {
    if (save) keep(actor, key, save->record, false, now);
    return;
  }
  auto* activate = std::get_if<Waiting::Activate>(&op->second.waiting.value);
  if (activate && std::holds_alternative<Outcome::Fenced>(step.outcome->value)) {
    // Another owner holds a higher round: activate again above it, until the deadline.
    op->second.check_at.reset();
    op->second.retry_at = now + kRetry;
    return;
  }
  if (save) {
    const auto* commit = std::get_if<Waiting::Commit>(&op->second.waiting.value);
    const auto kept = keep(actor, key, save->record, commit && commit->ending, now);
    if (kept.wait) {
      auto again = operations_.find(name);
      if (again == operations_.end()) core::broken("the operation was just there");
      again->second.storing = true;
      again->second.request = kept.request;
      again->second.held = std::move(step.outcome);
      return;
    }
    op = operations_.find(name);
    if (op == operations_.end()) core::broken("the operation was just there");
  }
  Operation removed = std::move(op->second);
  operations_.erase(op);
  settled(actor, key, std::move(removed), std::move(*step.outcome));
}

void Replication::settled(const std::string& actor, const std::string& key, Operation operation, Outcome outcome) {
  auto unreachable = [&] {
    const auto text = fmt::format("internal error: entered unreachable code: {}/{}: {} is not an outcome of {}", actor,
                                  key, outcome.debug(), operation.waiting.debug());
    core::broken(text.c_str());
  };
  if (auto* commit = std::get_if<Waiting::Commit>(&operation.waiting.value)) {
    if (std::holds_alternative<Outcome::Saved>(outcome.value)) {
      commit->answer.send({});
      written->confirmed.fetch_add(1, std::memory_order_relaxed);
    } else if (std::holds_alternative<Outcome::Fenced>(outcome.value)) {
      auto f = failure(Failure::Kind::Fenced, fmt::format("{}/{} moved to another owner", actor, key));
      failed(actor, key, true, operation.waiting.fail(std::move(f)));
    } else if (std::holds_alternative<Outcome::Insufficient>(outcome.value)) {
      auto f = failure(Failure::Kind::Unavailable,
                       fmt::format("{}/{}: too few replicas confirmed the write", actor, key));
      failed(actor, key, true, operation.waiting.fail(std::move(f)));
    } else {
      unreachable();
    }
    if (commit->ending) drop_owner(Name{actor, key});
    return;
  }
  auto& activate = std::get<Waiting::Activate>(operation.waiting.value);
  if (auto* a = std::get_if<Outcome::Activated>(&outcome.value)) {
    auto h = handles_.find(Name{actor, key});
    activate.answer.send(core::store::Held{std::move(a->state), h == handles_.end() ? 0 : h->second, a->created});
  } else if (std::holds_alternative<Outcome::Missing>(outcome.value)) {
    activate.answer.send(std::optional<core::store::Held>{});
  } else if (std::holds_alternative<Outcome::Fenced>(outcome.value)) {
    // The sender goes with the operation: the channel closes without a result.
  } else if (std::holds_alternative<Outcome::Insufficient>(outcome.value)) {
    auto f = failure(Failure::Kind::Unavailable, fmt::format("{}/{}: too few replicas answered", actor, key));
    failed(actor, key, false, operation.waiting.fail(std::move(f)));
  } else {
    unreachable();
  }
}

void Replication::abort(const std::string& actor, const std::string& key, Failure failure) {
  const Name name{actor, key};
  auto op = operations_.find(name);
  if (op == operations_.end()) return;
  Operation removed = std::move(op->second);
  operations_.erase(op);
  const bool write = removed.waiting.commit();
  failed(actor, key, write, removed.waiting.fail(std::move(failure)));
  if (const auto* c = std::get_if<Waiting::Commit>(&removed.waiting.value); c && c->ending) drop_owner(name);
}

void Replication::failed(const std::string& actor, const std::string& key, bool write, Failure failure) {
  if (write) written->failed.fetch_add(1, std::memory_order_relaxed);
  events.push_back(events::Event{events::WriteFailed{std::move(failure), actor, key, write}});
}

std::vector<Name> Replication::fired(Instant now) {
  std::vector<Name> expired;
  std::vector<Name> retry;
  std::vector<Name> check;
  for (auto& [name, op] : operations_) {
    if (op.answer_by <= now) {
      expired.push_back(name);
    } else if (op.retry_at && *op.retry_at <= now) {
      op.retry_at.reset();
      retry.push_back(name);
    } else if (op.check_at && *op.check_at <= now) {
      op.check_at.reset();
      check.push_back(name);
    }
  }
  // The map's order is arbitrary; a fixed one keeps the messages and events of a run reproducible.
  for (auto* list : {&expired, &retry, &check}) std::sort(list->begin(), list->end());

  for (const auto& name : expired) {
    auto op = operations_.find(name);
    if (op == operations_.end()) continue;
    const char* reason = op->second.storing          ? "the store did not answer in time"
                         : op->second.waiting.commit() ? "the replicas did not confirm in time"
                                                       : "the replicas did not answer in time";
    abort(name.actor, name.key,
          failure(Failure::Kind::Unavailable, fmt::format("{}/{}: {}", name.actor, name.key, reason)));
  }
  save_due(now);
  for (const auto& name : check) {
    auto it = owners_.find(name);
    if (it == owners_.end()) continue;
    if (it->second.receiving()) {
      if (auto op = operations_.find(name); op != operations_.end()) op->second.retry_at = now + kRetry;
      continue;
    }
    if (phase_as<core::replication::owner::Promising>(it->second)) {
      apply(name.actor, name.key, it->second.decide(true), now);
    } else {
      apply(name.actor, name.key, Step{}, now);
    }
  }
  return retry;
}

void Replication::again(const std::string& actor, const std::string& key, const Around& around, Instant now) {
  const Name name{actor, key};
  auto op = operations_.find(name);
  if (op == operations_.end()) return;
  auto it = owners_.find(name);
  const bool same = it != owners_.end() && it->second.replicas == around.replicas &&
                    it->second.durable == around.durable;
  if (same && phase_as<core::replication::owner::Writing>(it->second)) {
    // The write in flight goes again to the replicas that have not confirmed it.
    return apply(actor, key, Step{std::nullopt, it->second.resend(), std::nullopt}, now);
  }
  if (op->second.waiting.commit()) {
    if (it == owners_.end()) return;
    auto* promising = it->second.phase ? std::get_if<core::replication::owner::Promising>(&*it->second.phase)
                                       : nullptr;
    if (!promising || !promising->pending) return;
    auto pending = std::move(promising->pending);
    const auto wanted = promising->wanted;
    queue(it->second.prepare(std::nullopt, wanted,
                             core::replication::owner::Lookup{core::replication::owner::Lookup::Loaded{}},
                             std::move(pending)));
    return;
  }
  op->second.storing = false;
  auto initial = std::get<Waiting::Activate>(op->second.waiting.value).initial;
  auto sends = owner(actor, key, around).activate(std::move(initial), around.wanted);
  if (!sends) return abort(actor, key, failure(Failure::Kind::TooLarge, std::move(sends.error().text)));
  queue(std::move(*sends));
}

std::optional<Instant> Replication::due() const {
  std::optional<Instant> earliest;
  auto consider = [&](const std::optional<Instant>& at) {
    if (at && (!earliest || *at < *earliest)) earliest = at;
  };
  if (!burial_queue_.empty()) consider(burial_queue_.front().due);
  for (const auto& [name, op] : operations_) {
    consider(op.answer_by);
    consider(op.check_at);
    consider(op.retry_at);
  }
  for (const auto& [name, unsaved] : unsaved_) consider(unsaved.due);
  return earliest;
}

const Owner* Replication::owner_of(const std::string& actor, const std::string& key) const {
  auto it = owners_.find(Name{actor, key});
  return it == owners_.end() ? nullptr : &it->second;
}

const Operation* Replication::operation(const std::string& actor, const std::string& key) const {
  auto it = operations_.find(Name{actor, key});
  return it == operations_.end() ? nullptr : &it->second;
}

const Burial* Replication::burial(const std::string& actor, const std::string& key) const {
  auto it = burials_.find(Name{actor, key});
  return it == burials_.end() ? nullptr : &it->second;
}

bool Replication::unsaved_of(const std::string& actor, const std::string& key) const {
  return unsaved_.contains(Name{actor, key});
}

}  // namespace vorel::node::replication::service
