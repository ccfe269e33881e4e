// Several replication services on an in-memory network with a virtual clock: each message goes
// through the wire format, may be delayed or dropped by a rule of the test, and every service is
// driven the way the node's event loop drives it (deadlines, retries, burials, flushes). A fake
// durable store answers the store requests, or holds them for the test to answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/replication/wire.hpp"
#include "node/replication/service.hpp"
#include "testing/ids.hpp"

namespace vorel::node::replication::testing {

using namespace std::chrono_literals;
using service::Around;
using service::Instant;
using service::Replication;

inline core::Bytes text(std::string_view s) { return core::Bytes(s.begin(), s.end()); }

inline core::Pages pages(std::initializer_list<std::pair<const char*, const char*>> items) {
  core::Pages out;
  for (const auto& [name, content] : items) out.emplace(name, text(content));
  return out;
}

constexpr std::uint64_t kBudget = 4096;
const core::Duration kWriteTimeout{5, 0};
const core::Duration kBurialInterval{30, 0};

class Network {
 public:
  explicit Network(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      ids.push_back(core::testing::id(static_cast<std::uint8_t>(i + 1)));
      nodes.push_back(std::make_unique<Replication>(ids.back(), kBudget, kWriteTimeout, kBurialInterval));
      events.emplace_back();
    }
    around.replicas = ids;
    around.wanted = n;
  }

  // Drops a message from node `from` to node `to` when it answers true.
  std::function<bool(std::size_t from, std::size_t to, const core::replication::wire::Message&)> drop;
  std::chrono::milliseconds delay = 5ms;

  // The fake store: records by (actor, key); requests answered at once unless `hold` is set.
  bool hold = false;
  std::optional<std::string> store_fails;
  std::map<std::pair<std::string, std::string>, core::Stored> records;
  std::vector<std::pair<std::size_t, service::Storing>> asked;  // every request seen, in order
  std::vector<std::pair<std::size_t, service::Storing>> held;   // those not answered yet

  Instant now = Instant{} + 1000s;
  std::vector<core::NodeId> ids;
  std::vector<std::unique_ptr<Replication>> nodes;
  std::vector<std::vector<events::Event>> events;
  Around around;
  std::size_t sent = 0;

  Replication& at(std::size_t i) { return *nodes[i]; }

  oneshot::Receiver<service::ActivateResult> activate(std::size_t i, const std::string& key,
                                                       std::optional<core::Pages> initial) {
    auto [tx, rx] = oneshot::channel<service::ActivateResult>();
    at(i).activate("t", key, std::move(initial), around, std::move(tx), now);
    flush(i);
    return std::move(rx);
  }

  oneshot::Receiver<service::CommitResult> commit(std::size_t i, const std::string& key, std::uint64_t handle,
                                                  core::Pages state, bool active = true) {
    auto [tx, rx] = oneshot::channel<service::CommitResult>();
    at(i).commit("t", key, handle, std::move(state), active, around, std::move(tx), now);
    flush(i);
    return std::move(rx);
  }

  oneshot::Receiver<service::CommitResult> delete_(std::size_t i, const std::string& key, std::uint64_t handle,
                                                   bool active = true) {
    auto [tx, rx] = oneshot::channel<service::CommitResult>();
    at(i).delete_("t", key, handle, active, around, std::move(tx), now);
    flush(i);
    return std::move(rx);
  }

  // Runs the clock forward in steps of 1 ms until `done` or `limit` passes.
  template <class Done>
  void run_until(Done done, std::chrono::milliseconds limit = 20s) {
    const Instant end = now + limit;
    while (now < end && !done()) step();
  }
  void run_for(std::chrono::milliseconds span) {
    const Instant end = now + span;
    while (now < end) step();
  }

  template <class T>
  std::optional<T> settle(oneshot::Receiver<T>& rx, std::chrono::milliseconds limit = 20s) {
    run_until([&] { return rx.status() != oneshot::Status::Waiting; }, limit);
    return rx.take();
  }

  void answer_store(std::size_t index, service::StoreResult result) {
    auto [i, storing] = held.at(index);
    held.erase(held.begin() + static_cast<std::ptrdiff_t>(index));
    at(i).stored(storing.request, std::move(result), now);
    flush(i);
  }

  void flush(std::size_t i) {
    auto& node = at(i);
    node.lay(now);
    for (auto& out : std::exchange(node.outgoing, {})) {
      auto to = std::find(ids.begin(), ids.end(), out.to) - ids.begin();
      ASSERT_LT(static_cast<std::size_t>(to), ids.size());
      if (static_cast<std::size_t>(to) != i && drop && drop(i, to, out.message)) continue;
      ++sent;
      flights_.push_back(Flight{now + (static_cast<std::size_t>(to) == i ? 0ms : delay), seq_++,
                                static_cast<std::size_t>(to), core::replication::wire::encode(out.message)});
    }
    for (auto& e : std::exchange(node.events, {})) events[i].push_back(std::move(e));
    for (auto& s : std::exchange(node.store_requests, {})) {
      asked.emplace_back(i, s);
      held.emplace_back(i, std::move(s));
    }
    node.foreign.clear();
  }

 private:
  struct Flight {
    Instant at;
    std::uint64_t seq;
    std::size_t to;
    core::Bytes payload;
  };

  void step() {
    now += 1ms;
    std::stable_sort(flights_.begin(), flights_.end(),
                     [](const Flight& a, const Flight& b) { return a.at != b.at ? a.at < b.at : a.seq < b.seq; });
    while (!flights_.empty() && flights_.front().at <= now) {
      Flight f = std::move(flights_.front());
      flights_.erase(flights_.begin());
      auto message = core::replication::wire::decode(f.payload);
      ASSERT_TRUE(message.has_value());
      if (auto* request = std::get_if<core::replication::messages::Request>(&message->variant)) {
        at(f.to).request(std::move(*request), false);
      } else {
        at(f.to).answer(std::move(std::get<core::replication::messages::Reply>(message->variant)), now);
      }
      flush(f.to);
    }
    if (!hold) {
      while (!held.empty()) answer_store(0, carry_out(held.front().second));
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      auto& node = at(i);
      auto due = node.due();
      if (!due || *due > now) continue;
      for (const auto& name : node.fired(now)) node.again(name.actor, name.key, around, now);
      for (const auto& name : node.burying(now)) node.bury(name.actor, name.key, around.replicas, around.durable.any());
      flush(i);
    }
  }

  service::StoreResult carry_out(const service::Storing& s) {
    if (store_fails) return std::unexpected(*store_fails);
    const auto name = std::make_pair(s.actor, s.key);
    if (std::holds_alternative<core::Storage::Load>(s.operation.value)) {
      auto it = records.find(name);
      return it == records.end() ? std::optional<core::Stored>{} : std::optional(it->second);
    }
    if (const auto* save = std::get_if<core::Storage::Save>(&s.operation.value)) {
      records.insert_or_assign(name, save->record);
    } else {
      records.erase(name);
    }
    return std::optional<core::Stored>{};
  }

  std::vector<Flight> flights_;
  std::uint64_t seq_ = 0;
};

inline std::string failure_text(const events::Event& e) {
  const auto* w = std::get_if<events::WriteFailed>(&e.variant);
  return w ? w->failure.text : std::string();
}

}  // namespace vorel::node::replication::testing
