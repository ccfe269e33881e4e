#include "py/node/stats.hpp"

#include <algorithm>
#include <map>

#include "net/pool.hpp"
#include "py/node.hpp"
#include "py/node/activation.hpp"

namespace vorel::py::stats {
namespace {

// The messages waiting in the activation's mailbox, read under its own lock; parked senders and
// the message its body handles now are not in the queue.
std::uint64_t waiting(const Object& activation) {
  return Activation::of(activation.get()).state.lock()->mailbox.queue().size();
}

Object unsigned_(std::uint64_t n) { return Object::steal(PyLong_FromUnsignedLongLong(n)); }

Object actors_dict(const std::map<std::string, Activations, std::less<>>& tallies) {
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "ActorStats") : Object();
  Object out = cls ? Object::steal(PyDict_New()) : Object();
  if (!out) return out;
  for (const auto& [name, t] : tallies) {
    Object count = unsigned_(t.count);
    Object queued = unsigned_(t.queued);
    Object largest = unsigned_(t.largest);
    if (!count || !queued || !largest) return Object();
    Object made = call(cls.get(), count.get(), queued.get(), largest.get());
    Object key = made ? text(name) : Object();
    if (!key || PyDict_SetItem(out.get(), key.get(), made.get()) < 0) return Object();
  }
  return out;
}

}  // namespace

Object snapshot(Node& node) {
  std::map<std::string, Activations, std::less<>> tallies;
  for (const core::Kind& kind : node.catalog.lock()->kinds()) tallies.try_emplace(kind.name);
  for (const Object& a : node.census()) {
    const std::uint64_t queued = waiting(a);
    Activations& t = tallies[Activation::of(a.get()).actor];
    t.count += 1;
    t.queued += queued;
    t.largest = std::max(t.largest, queued);
  }
  const std::uint64_t asks = node.replies.lock()->size();
  // Without a node runtime there is no pool and no replication: the local table's own count.
  std::uint64_t confirmed = node.writes_confirmed.load();
  std::uint64_t failed = 0, connections = 0, sent = 0, received = 0;
  if (auto clustered = node.cluster()) {
    const vorel::node::Node& runtime = clustered->runtime;
    if (runtime.pool()) {
      const net::Pool::Traffic traffic = runtime.pool()->traffic();
      connections = traffic.connections;
      sent = traffic.sent;
      received = traffic.received;
    }
    if (runtime.written()) {
      confirmed = runtime.written()->confirmed.load(std::memory_order_relaxed);
      failed = runtime.written()->failed.load(std::memory_order_relaxed);
    }
  }

  Object actors = actors_dict(tallies);
  if (!actors) return actors;
  Object kwargs = Object::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "actors", actors.get()) < 0) return Object();
  const std::pair<const char*, std::uint64_t> numbers[] = {
      {"asks_in_flight", asks}, {"writes_confirmed", confirmed}, {"writes_failed", failed},
      {"connections", connections}, {"bytes_sent", sent}, {"bytes_received", received}};
  for (const auto& [name, n] : numbers) {
    Object value = unsigned_(n);
    if (!value || PyDict_SetItemString(kwargs.get(), name, value.get()) < 0) return Object();
  }
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "Stats") : Object();
  Object empty = cls ? Object::steal(PyTuple_New(0)) : Object();
  if (!empty) return empty;
  return Object::steal(PyObject_Call(cls.get(), empty.get(), kwargs.get()));
}

Object activations(Node& node) {
  std::vector<Row> rows;
  for (const Object& a : node.census()) {
    const Activation& record = Activation::of(a.get());
    rows.push_back(Row{record.actor, record.key, std::max(record.since, 0.0), waiting(a)});
  }
  // std::string compares its bytes as unsigned chars, a prefix first: the order the listing promises.
  std::ranges::stable_sort(rows, [](const Row& a, const Row& b) {
    if (a.actor != b.actor) return a.actor < b.actor;
    return a.key < b.key;
  });
  Object vorel = import("vorel");
  Object cls = vorel ? attr(vorel.get(), "Activation") : Object();
  Object datetime = cls ? import("datetime") : Object();
  Object datetime_cls = datetime ? attr(datetime.get(), "datetime") : Object();
  Object fromtimestamp = datetime_cls ? attr(datetime_cls.get(), "fromtimestamp") : Object();
  Object timezone = fromtimestamp ? attr(datetime.get(), "timezone") : Object();
  Object utc = timezone ? attr(timezone.get(), "utc") : Object();
  if (!utc) return utc;
  return listing(rows, cls.get(), fromtimestamp.get(), utc.get());
}

Object listing(const std::vector<Row>& rows, PyObject* cls, PyObject* fromtimestamp, PyObject* utc) {
  Object out = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
  for (std::size_t i = 0; out && i < rows.size(); ++i) {
    const Row& row = rows[i];
    Object seconds = Object::steal(PyFloat_FromDouble(row.start));
    Object moment = seconds ? call(fromtimestamp, seconds.get(), utc) : Object();
    Object actor = moment ? text(row.actor) : Object();
    Object key = actor ? text(row.key) : Object();
    Object queued = key ? unsigned_(row.queued) : Object();
    Object made = queued ? call(cls, actor.get(), key.get(), moment.get(), queued.get()) : Object();
    if (!made) return made;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), made.release());
  }
  return out;
}

}  // namespace vorel::py::stats
