#include "py/node/schedule.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <span>
#include <utility>

#include "core/schedule.hpp"
#include "py/awaited.hpp"
#include "py/future.hpp"
#include "py/generic.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"
#include "py/node/body.hpp"
#include "py/node/steps.hpp"
#include "py/once.hpp"
#include "py/options.hpp"
#include "py/schema/failure.hpp"
#include "py/wall.hpp"

namespace vorel::py {
namespace {

constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMicros = 1'000'000;

// A duration in whole microseconds, saturating at `cap`.
std::uint64_t micros(core::Duration d, std::uint64_t cap) {
  const unsigned __int128 us = static_cast<unsigned __int128>(d.seconds) * kMicros + d.nanos / 1000;
  return us > cap ? cap : static_cast<std::uint64_t>(us);
}

std::int64_t saturated(__int128 v) {
  if (v > kLatest) return kLatest;
  if (v < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

core::Duration duration_of(std::uint64_t us) {
  return core::Duration{us / kMicros, static_cast<std::uint32_t>((us % kMicros) * 1000)};
}

// The str of the raised exception, which is taken out; `fallback` when str itself fails.
std::string taken_text(const char* fallback) {
  Object raised = Object::steal(PyErr_GetRaisedException());
  Object s = raised ? Object::steal(PyObject_Str(raised.get())) : Object();
  std::optional<std::string> t = s ? utf8(s.get()) : std::nullopt;
  if (!t) PyErr_Clear();
  return t.value_or(fallback);
}

}  // namespace

namespace schedule_class {

// A view of one live schedule, found by its number in the activation's list each time.
struct Record {
  std::string name;
  std::optional<core::Duration> interval;
  Object activation;
  Object message;
  std::uint64_t number = 0;
};

Object make(Record record);

namespace {

Record& of(PyObject* self) { return body::record<Record>(self); }

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

PyObject* name(PyObject* self, void*) { return text(of(self).name).release(); }
PyObject* message(PyObject* self, void*) { return Py_NewRef(of(self).message.get()); }

PyObject* interval(PyObject* self, void*) {
  const auto& i = of(self).interval;
  if (!i) Py_RETURN_NONE;
  Object datetime = import("datetime");
  Object cls = datetime ? attr(datetime.get(), "timedelta") : Object();
  if (!cls) return nullptr;
  Object days = Object::steal(PyLong_FromUnsignedLongLong(i->seconds / 86400));
  Object secs = Object::steal(PyLong_FromUnsignedLongLong(i->seconds % 86400));
  Object us = Object::steal(PyLong_FromUnsignedLong(i->nanos / 1000));
  if (!days || !secs || !us) return nullptr;
  return call(cls.get(), days.get(), secs.get(), us.get()).release();
}

PyObject* due(PyObject* self, void*) {
  Record& r = of(self);
  Activation& a = Activation::of(r.activation.get());
  std::optional<std::int64_t> at;
  {
    auto s = a.state.lock();
    if (const activation::Scheduled* live = s->schedules.find(r.number)) at = live->due;
  }
  if (!at) Py_RETURN_NONE;
  Object datetime = import("datetime");
  Object dt = datetime ? attr(datetime.get(), "datetime") : Object();
  Object tz = datetime ? attr(datetime.get(), "timezone") : Object();
  Object utc = tz ? attr(tz.get(), "utc") : Object();
  Object td = datetime ? attr(datetime.get(), "timedelta") : Object();
  Object zero = Object::steal(PyLong_FromLong(0));
  Object us = Object::steal(PyLong_FromLongLong(*at));
  if (!dt || !utc || !td || !zero || !us) return nullptr;
  Object epoch = call_method(dt.get(), "fromtimestamp", zero.get(), utc.get());
  Object delta = epoch ? call(td.get(), zero.get(), zero.get(), us.get()) : Object();
  if (!delta) return nullptr;
  return PyNumber_Add(epoch.get(), delta.get());
}

PyObject* cancel(PyObject* self, PyObject*) {
  Record& r = of(self);
  Activation& a = Activation::of(r.activation.get());
  std::optional<activation::Scheduled> gone;
  {
    auto s = a.state.lock();
    if (s->closed) {
      PyErr_SetString(PyExc_RuntimeError,
                      fmt::format("the activation of {}/{} is over, and its schedules with it", a.actor, a.key).c_str());
      return nullptr;
    }
    gone = s->schedules.take(r.number);
  }
  if (!gone) {
    Object answer = a.node->future();
    if (!answer || !call_method(answer.get(), "set_result", Py_None)) return nullptr;
    return awaited::make(std::move(answer)).release();
  }
  if (gone->timer && !call_method(gone->timer.get(), "cancel")) return nullptr;
  Object written = activation::rescheduled(r.activation);
  if (!written) return nullptr;
  if (!activation::unscheduled(r.activation)) return nullptr;
  return awaited::make(std::move(written)).release();
}

PyMethodDef methods[] = {
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {"cancel", cancel, METH_NOARGS,
     "cancel($self)\n--\n\nStop it, and return once the replicas no longer have it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"name", name, nullptr, "What the key calls it: no two of its schedules share a name.", nullptr},
    {"message", message, nullptr, "The message it tells the key.", nullptr},
    {"interval", interval, nullptr,
     "How long after each time it goes off it goes off again. `None` for one that goes off once.", nullptr},
    {"due", due, nullptr, "When it goes off next, or `None` once it is over or another of its name took its place.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A message a key tells itself at a time, once or on an interval, which its replicas keep.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Record>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Schedule", sizeof(body::Of<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

Once cell;

}  // namespace

PyObject* type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

Object make(Record record) {
  PyObject* t = type();
  if (t == nullptr) return Object();
  return body::make<Record>(t, std::move(record));
}

}  // namespace schedule_class

namespace activation {
namespace {

// The write of a new schedule landed: armed once the replicas have it, gone when they do not.
// A schedule it replaced comes back to its place when the write failed, since the key's stored page
// still has it: the live list never disagrees with what is kept.
bool made(const Object& self, PyObject* written, const Object& answer, const Object& schedule, std::uint64_t number,
          std::optional<Scheduled> replaced) {
  Object result = call_method(written, "result");
  if (result) {
    if (!arm(self, number)) return false;
    return future::resolve(answer.get(), schedule.get());
  }
  Object error = Object::steal(PyErr_GetRaisedException());
  Activation& a = the(self);
  std::optional<std::uint64_t> back;
  std::optional<Scheduled> gone, displaced;
  {
    auto s = a.state.lock();
    gone = s->schedules.take(number);
    const bool taken = replaced && s->schedules.named(replaced->name) != nullptr;
    if (gone && replaced && !taken && !s->closed) {
      back = replaced->number;
      replaced->timer = Object();
      displaced = s->schedules.put(*std::move(replaced));
    }
  }
  if (back && !arm(self, *back)) return false;
  if (!unscheduled(self)) return false;
  return future::fail(answer.get(), error.get());
}

}  // namespace

Scheduled* Schedules::find(std::uint64_t number) {
  auto it = list_.find(number);
  return it == list_.end() ? nullptr : &it->second;
}

Scheduled* Schedules::named(std::string_view name) {
  auto it = names_.find(name);
  return it == names_.end() ? nullptr : find(it->second);
}

std::optional<Scheduled> Schedules::put(Scheduled scheduled) {
  std::optional<Scheduled> replaced;
  if (auto it = names_.find(scheduled.name); it != names_.end()) replaced = take(it->second);
  const std::uint64_t number = scheduled.number;
  record_.put(number, core::schedule::Schedule{scheduled.name, scheduled.message, scheduled.due, scheduled.every});
  names_.insert_or_assign(scheduled.name, number);
  list_.insert_or_assign(number, std::move(scheduled));
  return replaced;
}

std::optional<Scheduled> Schedules::take(std::uint64_t number) {
  auto it = list_.find(number);
  if (it == list_.end()) return std::nullopt;
  std::optional<Scheduled> out(std::move(it->second));
  list_.erase(it);
  if (auto named = names_.find(out->name); named != names_.end() && named->second == number) names_.erase(named);
  record_.remove(number);
  return out;
}

void Schedules::redue(std::uint64_t number, std::int64_t due) {
  Scheduled* live = find(number);
  if (live == nullptr) return;
  live->due = due;
  record_.redue(number, due);
}

void Schedules::clear() {
  list_.clear();
  names_.clear();
  record_.clear();
}

std::optional<core::Page> Schedules::page() const {
  if (list_.empty()) return std::nullopt;
  return record_.page();
}

std::optional<core::Page> schedules_page(const Schedules& schedules) { return schedules.page(); }

std::vector<Object> unarmed(Schedules& schedules) {
  std::vector<Object> out;
  for (auto& [number, s] : schedules) {
    if (s.timer) out.push_back(std::exchange(s.timer, Object()));
  }
  return out;
}

bool cancel_all(const std::vector<Object>& handles) {
  for (const Object& h : handles) {
    if (!call_method(h.get(), "cancel")) return false;
  }
  return true;
}

bool arm(const Object& self, std::uint64_t number) {
  Activation& a = the(self);
  std::int64_t due = 0;
  {
    auto s = a.state.lock();
    if (s->closed) return true;
    const Scheduled* live = s->schedules.find(number);
    if (live == nullptr) return true;
    due = live->due;
  }
  const std::int64_t now = wall::micros();
  const std::uint64_t delay = due < now ? 0 : static_cast<std::uint64_t>(due - now);
  const double seconds =
      static_cast<double>(delay / kMicros) + static_cast<double>((delay % kMicros) * 1000) / 1e9;
  Object loop = a.node->running();
  if (!loop) return false;
  Object handle = steps::later(loop.get(), seconds, [self, number] { return fire(self, number); });
  if (!handle) return false;
  Object old;
  {
    auto s = a.state.lock();
    if (Scheduled* live = s->schedules.find(number)) old = std::exchange(live->timer, std::move(handle));
  }
  return !old || call_method(old.get(), "cancel");
}

bool fire(const Object& self, std::uint64_t number) {
  Activation& a = the(self);
  const std::int64_t now = wall::micros();
  core::Bytes message;
  bool repeats = false;
  Object spent;
  std::optional<Scheduled> over;
  {
    auto s = a.state.lock();
    if (s->releasing || s->draining || s->ending) return true;
    Scheduled* live = s->schedules.find(number);
    if (live == nullptr) return true;
    spent = std::exchange(live->timer, Object());
    message = live->message;
    repeats = live->every && static_cast<std::int64_t>(*live->every) > 0;
    if (repeats) {
      const __int128 every = static_cast<__int128>(*live->every);
      __int128 elapsed = static_cast<__int128>(now) - live->due;
      if (elapsed < 0) elapsed = 0;
      s->schedules.redue(number, saturated(static_cast<__int128>(live->due) + every * (elapsed / every + 1)));
    } else {
      over = s->schedules.take(number);
    }
  }
  spent = Object();
  over.reset();
  if (!a.node->hand(core::Command{core::Deliver{a.actor, a.key, std::move(message), std::nullopt, core::Chain()}})) {
    a.node->dropped(a.actor, a.key, taken_text("the scheduled message could not be told"));
  }
  if (repeats && !arm(self, number)) return false;
  Object written = rescheduled(self);
  if (!written) return false;
  // A failed rewrite changes nothing here: its outcome only has to count as retrieved.
  if (!steps::when_done(written.get(), [](PyObject* f) {
        if (!call_method(f, "exception")) PyErr_Clear();
        return true;
      })) {
    return false;
  }
  return repeats || unscheduled(self);
}

Object rescheduled(const Object& self) {
  Activation& a = the(self);
  Wrote wrote;
  {
    auto s = a.state.lock();
    for (const auto& [name, bytes] : s->written) {
      if (name != core::schedule::kPage) wrote.pages.emplace_hint(wrote.pages.end(), name, bytes);
    }
    if (auto page = schedules_page(s->schedules)) wrote.pages.emplace(std::string(core::schedule::kPage), *std::move(page));
  }
  return write(self, std::move(wrote));
}

bool unscheduled(const Object& self) {
  Activation& a = the(self);
  std::uint64_t number = 0;
  {
    auto s = a.state.lock();
    if (!s->schedules.empty()) return true;
    if (!s->run || !s->run->reading || s->run->idling) return true;
    number = s->run->number;
  }
  return idling(self, number);
}

bool restored(const Object& self) {
  Activation& a = the(self);
  std::optional<core::Page> page;
  std::shared_ptr<const Definition> definition;
  {
    auto s = a.state.lock();
    auto it = s->pages.find(std::string(core::schedule::kPage));
    if (it != s->pages.end()) page = it->second;
    definition = s->definition;
  }
  if (!page || definition->native) return true;
  auto decoded = core::schedule::decode(*page);
  if (!decoded) {
    a.node->dropped(a.actor, a.key, fmt::format("the schedules of the key do not read: {}", decoded.error().text()));
    return true;
  }
  for (core::schedule::Schedule& one : *decoded) {
    auto value = schema::Schema::read(definition->message.get(), definition->messages().tree.tagged_root, one.message,
                                      a.node);
    if (!value) {
      schema::raise(std::move(value.error()));
      a.node->dropped(a.actor, a.key,
                      fmt::format("the schedule {} of the key does not read as a message of its type: {}", one.name,
                                  taken_text("the message does not read")));
      continue;
    }
    std::uint64_t number = 0;
    std::optional<Scheduled> replaced;
    {
      auto s = a.state.lock();
      number = s->next_schedule++;
      // Names are unique among live schedules: a later one of a name takes the earlier's place,
      // as a new schedule does.
      replaced = s->schedules.put(Scheduled{one.every, std::move(one.name), std::move(one.message), one.due,
                                            *std::move(value), number, Object()});
    }
    if (replaced && replaced->timer && !call_method(replaced->timer.get(), "cancel")) return false;
    replaced.reset();
    if (!arm(self, number)) return false;
  }
  return true;
}

Object schedule(const Object& self, PyObject* name, PyObject* delay, PyObject* interval, PyObject* message) {
  Activation& a = the(self);
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "name is %R, not a str", name);
    return Object();
  }
  auto n = utf8(name);
  if (!n) return Object();
  auto wait = actor::period("delay", delay);
  if (!wait) return Object();
  std::optional<core::Duration> every;
  if (interval != Py_None) {
    every = actor::period("interval", interval);
    if (!every) return Object();
    if (*every == core::Duration{}) {
      Object shown = Object::steal(PyObject_Str(interval));
      auto t = shown ? utf8(shown.get()) : std::nullopt;
      if (t) actor::value_error(fmt::format("interval is {}, which is not positive", *t));
      return Object();
    }
  }
  std::shared_ptr<const Definition> definition = a.state.lock()->definition;
  const schema::Schema& messages = definition->messages();
  auto bytes = schema::Schema::write(messages, messages.tree.tagged_root, message);
  if (!bytes) {
    schema::raise(std::move(bytes.error()));
    return Object();
  }
  const std::int64_t now = wall::micros();
  const std::uint64_t wait_us = micros(*wait, static_cast<std::uint64_t>(kLatest));
  const std::int64_t due = saturated(static_cast<__int128>(now) + wait_us);
  std::optional<std::uint64_t> every_us;
  if (every) every_us = micros(*every, std::numeric_limits<std::uint64_t>::max());
  std::uint64_t number = 0;
  std::optional<Scheduled> replaced;
  {
    auto s = a.state.lock();
    number = s->next_schedule++;
    replaced = s->schedules.put(Scheduled{every_us, *n, *std::move(bytes), due, Object::borrow(message), number, Object()});
  }
  if (replaced && replaced->timer && !call_method(replaced->timer.get(), "cancel")) return Object();
  Object made_schedule = schedule_class::make(
      schedule_class::Record{*n, every, self, Object::borrow(message), number});
  if (!made_schedule) return Object();
  Object written = rescheduled(self);
  if (!written) return Object();
  Object answer = a.node->future();
  if (!answer) return Object();
  auto aside = std::make_shared<std::optional<Scheduled>>(std::move(replaced));
  if (!steps::when_done(written.get(), [self, answer, made_schedule, number, aside](PyObject* finished) {
        return made(self, finished, answer, made_schedule, number, std::move(*aside));
      })) {
    return Object();
  }
  return awaited::make(std::move(answer));
}

Object schedules(const Object& self) {
  Activation& a = the(self);
  struct Entry {
    std::string name;
    std::optional<std::uint64_t> every;
    Object value;
    std::uint64_t number;
  };
  std::vector<Entry> entries;
  {
    auto s = a.state.lock();
    entries.reserve(s->schedules.size());
    for (const auto& [number, l] : s->schedules) entries.push_back(Entry{l.name, l.every, l.value, l.number});
  }
  Object out = Object::steal(PyDict_New());
  if (!out) return out;
  for (Entry& e : entries) {
    std::optional<core::Duration> interval;
    if (e.every) interval = duration_of(*e.every);
    Object one = schedule_class::make(schedule_class::Record{e.name, interval, self, e.value, e.number});
    Object key = one ? text(e.name) : Object();
    if (!key || PyDict_SetItem(out.get(), key.get(), one.get()) < 0) return Object();
  }
  return out;
}

}  // namespace activation
}  // namespace vorel::py
