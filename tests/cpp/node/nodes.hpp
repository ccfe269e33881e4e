// Stand-ins for what surrounds a node's loop state in the tests: a host that records every call,
// a member list the test sets, and a transport whose sends are kept for the test to deliver.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <optional>
#include <thread>

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include "core/membership/members.hpp"
#include "net/endpoint.hpp"
#include "net/pool.hpp"
#include "node/held.hpp"
#include "node/host.hpp"
#include "node/node.hpp"
#include "node/reach.hpp"
#include "exec/threads_asio.hpp"
#include "exec/waiting.hpp"

namespace vorel::node::testing {

using namespace std::chrono_literals;

// Every wait of these tests is bounded: a hang fails the test instead of the run.
inline constexpr std::chrono::seconds kBound{20};

// What a host was given, in order.
struct Seen {
  std::vector<core::Command> handed;
  std::vector<std::pair<std::int64_t, core::Outcome>> settled;
  std::vector<std::vector<core::membership::Member>> lists;
  std::vector<std::string> met;
  std::vector<Key> attached;
  std::vector<Key> released;
  std::vector<core::routing::wire::Cancel> cancelled;
  int removed = 0;
  std::vector<events::Event> events;
  std::vector<replication::service::Storing> stored;

  std::vector<std::pair<std::string, std::string>> dropped() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : events) {
      if (const auto* d = std::get_if<events::MessageDropped>(&e.variant)) out.emplace_back(d->key, d->reason);
    }
    return out;
  }
  template <class E>
  std::size_t count() const {
    std::size_t n = 0;
    for (const auto& e : events) n += std::holds_alternative<E>(e.variant);
    return n;
  }
};

// Records every call; may be called from the loop's threads while the test reads.
class Recorder : public Host {
 public:
  // Called outside the lock after a hand or a store request, as the embedding side would act.
  std::function<void(const Node&, const core::Command&)> on_hand;
  std::function<void(const Node&, const replication::service::Storing&)> on_store;

  void hand(const Node& node, core::Command command) override {
    record([&](Seen& s) { s.handed.push_back(command); });
    if (on_hand) on_hand(node, command);
  }
  void settle(std::int64_t id, core::Outcome outcome) override {
    record([&](Seen& s) { s.settled.emplace_back(id, std::move(outcome)); });
  }
  void members(std::vector<core::membership::Member> members) override {
    record([&](Seen& s) { s.lists.push_back(std::move(members)); });
  }
  void meet(const Node&, std::string name) override {
    record([&](Seen& s) { s.met.push_back(std::move(name)); });
  }
  void attach(const Node&, std::string actor, std::string key) override {
    record([&](Seen& s) { s.attached.emplace_back(std::move(actor), std::move(key)); });
  }
  void release(std::string actor, std::string key) override {
    record([&](Seen& s) { s.released.emplace_back(std::move(actor), std::move(key)); });
  }
  void cancel(std::string actor, std::string key, core::Target request) override {
    record([&](Seen& s) { s.cancelled.push_back({std::move(actor), std::move(key), std::move(request)}); });
  }
  void removed() override {
    record([](Seen& s) { ++s.removed; });
  }
  void observe(events::Event event) override {
    record([&](Seen& s) { s.events.push_back(std::move(event)); });
  }
  void store(const Node& node, replication::service::Storing request) override {
    record([&](Seen& s) { s.stored.push_back(request); });
    if (on_store) on_store(node, request);
  }

  template <class F>
  auto read(F f) {
    std::lock_guard lock(mutex_);
    return f(seen_);
  }
  // Until `done` holds of what was seen; false when the bound passed first.
  template <class F>
  bool wait(F done, std::chrono::nanoseconds bound = kBound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return done(seen_); });
  }

 private:
  template <class F>
  void record(F f) {
    {
      std::lock_guard lock(mutex_);
      f(seen_);
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Seen seen_;
};

// A member list the test sets; counts what the loop asks of it.
class Listed : public core::membership::Members {
 public:
  std::vector<core::membership::Member> list;
  bool is_joined = true;
  bool has_majority = true;
  bool unreached_gives_up = false;
  std::atomic<std::uint64_t> probes{0}, expiries{0}, grafts{0}, shuffles{0}, rounds{0}, joins{0}, refreshes{0},
      receipts{0}, heard_from{0}, losses{0};
  std::atomic<bool> leaving{false}, departed{false};

  void see(std::vector<core::membership::Member> members) {
    list = std::move(members);
    changed_ = true;
  }

  std::vector<core::membership::Member> members() const override { return list; }
  std::vector<core::membership::Outgoing> take() override { return {}; }
  void receive(core::ByteView, double) override { ++receipts; }
  bool changed() override { return std::exchange(changed_, false); }
  void mark() override { changed_ = true; }
  bool joined() const override { return is_joined; }
  std::vector<core::membership::table::Transition> transitions() override { return {}; }
  void join() override { ++joins; }
  void anti_entropy() override { ++rounds; }
  bool unreached(const core::NodeId&, double) override { return unreached_gives_up; }
  bool removed() const override { return false; }
  bool majority() const override { return has_majority; }
  void probe(double) override { ++probes; }
  void expire(double) override { ++expiries; }
  void graft(double) override { ++grafts; }
  void shuffle(double) override { ++shuffles; }
  void leave(double) override { leaving = true; }
  void depart(double) override { departed = true; }
  void heard(const core::NodeId&, double) override { ++heard_from; }
  void refresh() override { ++refreshes; }
  void lost(const core::NodeId&, double) override { ++losses; }

 private:
  bool changed_ = false;
};

// A transport that sends nothing: the pool runs on a context nobody runs, so every envelope for
// another node waits in the queue of its dial, and envelopes for this node in the inbound channel.
class Kept {
 public:
  struct Envelope {
    core::NodeId to;
    std::string name;
    core::Bytes payload;
  };

  Kept(core::NodeId own, std::uint64_t message = 4'194'304) : own_(std::move(own)) {
    auto [tx, rx] = net::IncomingChannel::make();
    rx_ = std::move(rx);
    net::Limits limits{262'144, message, 262'144};
    net::handshake::Hello hello{"test", own_, {}, limits.frame, limits.message, limits.window};
    pool_ = std::make_shared<net::Pool>(idle_.get_executor(), net::pool::Settings{std::move(hello), limits, 0, std::nullopt, nullptr, nullptr}, tx);
    sender_.emplace(own_, pool_, tx, message);
  }
  // A dial that never ran holds itself through its cancel flag until the flag is set.
  ~Kept() {
    pool_->held([](net::pool::State& state) {
      for (auto& [address, dial] : state.dials) dial.cancel->set();
    });
    pool_->close(true);
  }

  const net::endpoint::Sender& sender() const { return *sender_; }
  const std::shared_ptr<net::Pool>& pool() const { return pool_; }

  // Everything sent since the last call: this node's own envelopes first, then the others by
  // target address, each in the order sent.
  std::vector<Envelope> take() {
    std::vector<Envelope> out;
    while (auto local = rx_.try_recv()) {
      auto& l = std::get<net::Incoming::Local>(local->value);
      out.push_back(Envelope{own_, std::move(l.name), std::move(l.payload)});
    }
    pool_->held([&](net::pool::State& state) {
      for (auto& [address, dial] : state.dials) {
        for (auto& q : dial.queue) out.push_back(Envelope{*q.target.as_node(), std::move(q.name), std::move(q.payload)});
        dial.queue.clear();
      }
    });
    return out;
  }

 private:
  // First, so that it goes last: the dials queued on it hold the pool.
  asio::io_context idle_;
  core::NodeId own_;
  net::IncomingChannel::Receiver rx_;
  std::shared_ptr<net::Pool> pool_;
  std::optional<net::endpoint::Sender> sender_;
};

// A handle for a node whose commands the test applies itself; what is sent on it is dropped.
inline Node handle(const core::NodeId& id, std::shared_ptr<net::Pool> pool, std::uint64_t message = 4'194'304) {
  auto [asks, receiving] = Asks::make();
  auto [publish, reading] = watch::channel<std::vector<core::membership::Member>>({});
  return Node(std::make_shared<Reach>(Reach{id, std::make_shared<Door>(Door{std::move(asks), std::make_shared<Bell>()}),
                                            std::move(reading), std::move(pool),
                                            std::make_shared<replication::service::Written>(), message}));
}

// Polls `done` until it holds or `bound` passes.
template <class F>
bool eventually(F done, std::chrono::nanoseconds bound = kBound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace vorel::node::testing
