#include "py/node/durable.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/observe.hpp"
#include "py/node/steps.hpp"
#include "py/node/storage.hpp"
#include "py/node/taken.hpp"

namespace vorel::py {

inline constexpr const char kNoStore[] =
    "this system has no store, which a durable type needs: pass store= to its ActorSystem";

void Node::reported(std::string_view actor, std::string_view key, bool write, std::string_view reason) {
  Object loop = event_loop.get();
  if (!loop || !(wanted.load() & observe::bit(observe::Event::WriteFailed))) return;
  observe::deliver(loop.get(), observer.get(), observe::Event::WriteFailed,
                   {text(actor), text(key), text(write ? "write" : "activate"), text("unavailable"), text(reason)});
}

namespace durable {
namespace {

using Shared = std::shared_ptr<Node>;

bool raised(Raised r) {
  if (!r) return true;
  rethrow(std::move(*r));
  return false;
}

bool fail(PyObject* future, const std::string& reason) {
  return future::fail(future, errors::make(errors::Class::Unavailable, reason).get());
}

// The gate of the store calls under way. It keeps its own lock, so it is used outside the
// node's: the last call to leave a closed gate answers the close right there.
exec::Gate& calls(Node& node) { return node.stowing.lock()->calls; }

// No store call is under way any more: the stop that waits for that is told.
void answered(const Object& w) {
  if (!future::resolve(w.get(), Py_None)) PyErr_Clear();
}

double seconds_of(core::Duration d) { return d.as_seconds(); }

bool stow(const Shared& node, std::string_view actor, std::string_view key, double timeout, core::Storage request,
          storage::Done handler) {
  Token token = Token::assume();
  if (!node->store_object) return raised(handler(token, std::unexpected(std::string(kNoStore))));
  // A call made once a graceful stop waits for the calls under way gets no pass: the stop does
  // not wait for it, and its own timeout reports it. A call the store object never took leaves
  // with its handler, dropped unrun.
  std::optional<exec::Gate::Pass> pass = calls(*node).enter();
  Raised r = storage::perform(
      token, node->store_object.get(), actor, key, timeout, std::move(request),
      [handler = std::move(handler), pass = std::move(pass)](Token t, storage::Result result) mutable -> Raised {
        Raised out = handler(t, std::move(result));
        pass.reset();
        return out;
      });
  return raised(std::move(r));
}

bool plan(const Shared& node, const std::string& actor, const std::string& key, double timeout, core::Duration period);

// A key that is not active, saved as it stands, needs no record here: the store has it.
void settled(const Shared& node, const std::string& actor, const std::string& key, const core::replication::Stamp& stamp) {
  node->store()->saved(actor, key, stamp);
}


bool flush(const Shared& node, const std::string& actor, const std::string& key, double timeout, core::Stored record,
           core::Duration period) {
  const core::replication::Stamp stamp = record.version;
  return stow(node, actor, key, timeout, core::Storage{core::Storage::Save{std::move(record)}},
              [node, actor, key, timeout, period, stamp](Token, storage::Result result) -> Raised {
                if (result) {
                  settled(node, actor, key, stamp);
                  return std::nullopt;
                }
                node->reported(actor, key, true,
                               core::store::unkept(actor, key, result.error()));
                bool again = false;
                {
                  auto records = node->store();
                  again = records->unsaved(actor, key);
                }
                if (again && !plan(node, actor, key, timeout, period)) return caught();
                return std::nullopt;
              });
}

// The planned save of a key going off: whatever is due then is saved.
bool planned(const Shared& node, const std::string& actor, const std::string& key, std::uint64_t number) {
  std::optional<Plan> plan;
  {
    auto p = node->stowing.lock();
    auto at = p->planned.find(std::pair<std::string_view, std::string_view>(actor, key));
    if (at == p->planned.end() || at->second.number != number) return true;
    plan = std::move(at->second);
    p->planned.erase(at);
  }
  std::optional<core::Stored> due;
  {
    auto records = node->store();
    due = records->due(actor, key);
  }
  if (!due) return true;
  return flush(node, actor, key, plan->timeout, *std::move(due), plan->period);
}

// The number of a new timer, or none once a graceful stop has begun: the mark stays set and
// nothing fires after the stop.
std::optional<std::uint64_t> numbered(const Shared& node) {
  auto p = node->stowing.lock();
  if (p->closing) return std::nullopt;
  return ++p->next;
}

bool plan(const Shared& node, const std::string& actor, const std::string& key, double timeout, core::Duration period) {
  const std::optional<std::uint64_t> number = numbered(node);
  if (!number) return true;
  Object loop = node->running();
  if (!loop) return false;
  Object handle = steps::later(loop.get(), seconds_of(period),
                               [node, actor, key, number = *number] { return planned(node, actor, key, number); });
  if (!handle) return false;
  Object replaced;
  {
    auto p = node->stowing.lock();
    Plan& slot = p->planned[Entity(actor, key)];
    replaced = std::exchange(slot.timer, handle);
    slot.number = *number;
    slot.period = period;
    slot.timeout = timeout;
  }
  return !replaced || call_method(replaced.get(), "cancel");
}

// The wait before drop number `attempt` of a deletion: the leave timeout, and after failures no
// less than the node's backoff, so that a store that keeps failing is not called in a tight loop.
double drop_delay(const Node& node, std::uint32_t attempt) {
  const double delay = seconds_of(node.config.leave_timeout);
  if (attempt == 0) return delay;
  return std::max(delay, node.config.backoff.delay(attempt - 1).as_seconds());
}

bool forgetting(const Shared& node, const std::string& actor, const std::string& key, double timeout,
                core::replication::Stamp stamp, std::uint32_t attempt);

bool dropped_due(const Shared& node, const std::string& actor, const std::string& key, double timeout,
                 core::replication::Stamp stamp, std::uint32_t attempt, std::uint64_t number) {
  Object timer;
  {
    auto p = node->stowing.lock();
    auto at = p->drops.find(number);
    if (at == p->drops.end()) return true;
    timer = std::move(at->second);
    p->drops.erase(at);
  }
  return stow(node, actor, key, timeout, core::Storage{core::Storage::Drop{stamp}},
              [node, actor, key, timeout, stamp, attempt](Token, storage::Result result) -> Raised {
                if (result) {
                  auto records = node->store();
                  records->purge(actor, key, stamp);
                  return std::nullopt;
                }
                node->reported(actor, key, true,
                               core::store::unforgotten(actor, key, result.error()));
                const std::uint32_t next = attempt == UINT32_MAX ? attempt : attempt + 1;
                if (!forgetting(node, actor, key, timeout, stamp, next)) return caught();
                return std::nullopt;
              });
}

bool forgetting(const Shared& node, const std::string& actor, const std::string& key, double timeout,
                core::replication::Stamp stamp, std::uint32_t attempt) {
  if (!node->store_object) return true;
  const std::optional<std::uint64_t> number = numbered(node);
  if (!number) return true;
  Object loop = node->running();
  if (!loop) return false;
  Object handle = steps::later(loop.get(), drop_delay(*node, attempt),
                               [node, actor, key, timeout, stamp, attempt, number = *number] {
                                 return dropped_due(node, actor, key, timeout, stamp, attempt, number);
                               });
  if (!handle) return false;
  Object replaced = std::exchange(node->stowing.lock()->drops[*number], handle);
  return true;
}

// The answer of a write's save: the writer hears of a failure.
storage::Done kept(const Shared& node, std::string actor, std::string key, Object future,
                   core::replication::Stamp stamp) {
  return [node, actor = std::move(actor), key = std::move(key), future, stamp](Token, storage::Result result) -> Raised {
    if (result) settled(node, actor, key, stamp);
    auto d = future::done(future.get());
    if (!d) return caught();
    if (*d) return std::nullopt;
    if (result) return call_method(future.get(), "set_result", Py_None) ? Raised() : caught();
    std::string reason = fmt::format("{}/{}: the store did not keep the write: {}", actor, key, result.error());
    node->reported(actor, key, true, reason);
    return fail(future.get(), reason) ? Raised() : caught();
  };
}

bool resolved(PyObject* future, PyObject* value) { return static_cast<bool>(call_method(future, "set_result", value)); }

}  // namespace

Object persist(Node& node_ref, std::string_view actor_view, std::string_view key_view, Op op, const Definition& type,
               Object future) {
  Shared node = node_ref.shared_from_this();
  const std::string actor(actor_view), key(key_view);
  const double timeout = seconds_of(type.options.write_timeout.value_or(node->config.write_timeout));
  const core::Durability& durable = *type.options.durable;
  const auto* after = std::get_if<core::Durability::After>(&durable.value);

  if (op.kind == Op::Kind::Read) {
    bool known = false;
    {
      auto records = node->store();
      known = records->knows(actor, key);
    }
    if (known) {
      std::optional<core::store::Held> held;
      {
        auto records = node->store();
        held = records->restore(actor, key, std::nullopt, op.initial);
      }
      Object taken = taken::make(std::move(held));
      if (!taken || !resolved(future.get(), taken.get())) return Object();
      return future;
    }
    auto initial = std::make_shared<std::optional<core::Pages>>(std::move(op.initial));
    bool ok = stow(node, actor, key, timeout, core::Storage{core::Storage::Load{}},
                   [node, actor, key, future, initial](Token, storage::Result result) -> Raised {
                     auto d = future::done(future.get());
                     if (!d) return caught();
                     if (*d) return std::nullopt;
                     if (!result) {
                       std::string reason =
                           core::store::unread(actor, key, result.error());
                       node->reported(actor, key, false, reason);
                       return fail(future.get(), reason) ? Raised() : caught();
                     }
                     std::optional<core::store::Held> held;
                     {
                       auto records = node->store();
                       held = records->restore(actor, key, *result, *initial);
                     }
                     Object taken = taken::make(std::move(held));
                     if (!taken || !resolved(future.get(), taken.get())) return caught();
                     return std::nullopt;
                   });
    return ok ? future : Object();
  }

  const bool deletion = op.kind == Op::Kind::Delete;
  core::Stored record;
  {
    auto records = node->store();
    if (deletion) {
      record.version = records->write(actor, key, core::Pages{}, false, true);
    } else {
      record.version = records->write(actor, key, op.pages, op.active, false);
      record.state = std::move(op.pages);
    }
  }
  node->writes_confirmed.fetch_add(1);
  if (deletion && !forgetting(node, actor, key, timeout, record.version, 0)) return Object();
  if (!after) {
    const core::replication::Stamp stamp = record.version;
    bool ok = stow(node, actor, key, timeout, core::Storage{core::Storage::Save{std::move(record)}},
                   kept(node, actor, key, future, stamp));
    return ok ? future : Object();
  }
  if (!deletion && op.active) {
    bool fresh = false;
    {
      auto records = node->store();
      fresh = records->unsaved(actor, key);
    }
    if (fresh && !plan(node, actor, key, timeout, after->period)) return Object();
  } else {
    {
      // The save goes out now: a planned one finds nothing due.
      auto records = node->store();
      std::optional<core::Stored> gone = records->due(actor, key);
    }
    if (!flush(node, actor, key, timeout, std::move(record), after->period)) return Object();
  }
  if (!resolved(future.get(), Py_None)) return Object();
  return future;
}

bool closing(const std::shared_ptr<Node>& node, double seconds, std::move_only_function<void()> then) {
  std::unordered_map<Entity, Plan, Keyed, SameEntity> planned;
  std::unordered_map<std::uint64_t, Object> drops;
  {
    auto p = node->stowing.lock();
    p->closing = true;
    planned.swap(p->planned);
    drops.swap(p->drops);
  }
  // A drop only tidies the store: the deletion it forgets is saved already.
  for (auto& [number, timer] : drops) {
    if (!call_method(timer.get(), "cancel")) PyErr_Clear();
  }
  for (auto& [entity, plan] : planned) {
    if (!call_method(plan.timer.get(), "cancel")) PyErr_Clear();
    std::optional<core::Stored> due;
    {
      auto records = node->store();
      due = records->due(entity.first, entity.second);
    }
    if (!due || flush(node, entity.first, entity.second, plan.timeout, *std::move(due), plan.period)) continue;
    Object error = Object::steal(PyErr_GetRaisedException());
    std::string reason = storage::described(error.get(), plan.timeout);
    node->reported(entity.first, entity.second, true,
                   core::store::unkept(entity.first, entity.second, reason));
  }
  Object waiter = node->future();
  if (!waiter) return false;
  if (calls(*node).close([waiter] { answered(waiter); })) {
    then();
    return true;
  }
  if (!steps::when_done(waiter.get(), [then = std::move(then)](PyObject*) mutable {
        then();
        return true;
      })) {
    return false;
  }
  // Calls still under way at the end of the leave timeout are reported by their own timeouts.
  Object loop = node->running();
  return loop && steps::later(loop.get(), std::max(0.0, seconds), [waiter] {
           return future::resolve(waiter.get(), Py_None);
         });
}

}  // namespace durable
}  // namespace vorel::py
