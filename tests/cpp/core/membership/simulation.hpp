// A deterministic cluster in one thread: membership services and client directories exchange
// their outgoing messages over a simulated network with virtual time, a seeded generator, loss,
// delay and partitions. The same seed replays the same run, message for message.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "core/membership/directory.hpp"
#include "core/membership/service.hpp"

namespace vorel::core::membership::simulation {

struct Options {
  double loss = 0.0;  // the chance that one message is dropped
  double delay_min = 0.001;
  double delay_max = 0.020;
  Periods periods{std::nullopt, 1.0, 5.0, 10.0, 10.0, 0.5, 10.0};
  Overlay overlay{5, 30, 6, 3};
};

// The kind of a message body, for the counts.
inline std::string kind(const wire::Body& body) {
  static const char* const views_[] = {"Join",       "ForwardJoin", "Neighbor",    "NeighborReply",
                                       "Disconnect", "Shuffle",     "ShuffleReply"};
  static const char* const tree[] = {"Gossip", "IHave", "Graft", "Prune"};
  static const char* const rest[] = {"Sync", "SyncReply", "Ping", "Ack"};
  if (const auto* v = std::get_if<views::View>(&body.value)) return views_[v->value.index()];
  if (const auto* b = std::get_if<Broadcast>(&body.value)) return tree[b->value.index()];
  return rest[body.value.index() - 2];
}

class Network {
 public:
  // Decides whether one message is lost on its way, beside the random loss and the partitions.
  using Drop = std::function<bool(int from, int to, const wire::Message&, double now)>;
  // Called after every event a node handled, with the node's index.
  using Watch = std::function<void(int node, double now)>;

  Network(std::uint64_t seed, Options options) : rng_(seed), options_(options) {}

  // A copy of the whole run as it stands, to go on from in several ways; watches and drops stay behind.
  Network(const Network& other)
      : rng_(other.rng_),
        options_(other.options_),
        by_id_(other.by_id_),
        by_address_(other.by_address_),
        events_(other.events_),
        order_(other.order_),
        now_(other.now_),
        group_of_(other.group_of_),
        sent_(other.sent_),
        lost_(other.lost_),
        false_suspicions_(other.false_suspicions_) {
    for (const auto& h : other.hosts_) {
      std::unique_ptr<Members> copy;
      if (const auto* m = dynamic_cast<const Membership*>(h.members.get())) {
        copy = std::make_unique<Membership>(*m);
      } else {
        copy = std::make_unique<Directory>(dynamic_cast<const Directory&>(*h.members));
      }
      hosts_.push_back(Host{h.id, std::move(copy), h.start, h.running});
    }
  }
  Network& operator=(const Network&) = delete;

  // Adds a member node; the first one added is every later member's seed.
  int add_member(double start) {
    const int i = static_cast<int>(hosts_.size());
    NodeId id = fresh_id(fmt::format("10.0.{}.{}:7000", i / 250, i % 250 + 1));
    std::vector<std::string> seeds{hosts_.empty() ? *id.address : *hosts_[0].id.address};
    auto random = draws();
    auto members = std::make_unique<Membership>(id, std::set<std::string>{"sim:Actor"}, seeds, options_.periods,
                                                options_.overlay, random);
    add(std::move(id), std::move(members), start);
    return i;
  }

  int add_client(double start) {
    const int i = static_cast<int>(hosts_.size());
    NodeId id = fresh_id(std::nullopt);
    auto members = std::make_unique<Directory>(id, std::vector<std::string>{*hosts_.at(0).id.address}, draws());
    add(std::move(id), std::move(members), start);
    return i;
  }

  // Runs every event due up to the time, then sets the clock to it.
  void run_until(double until) {
    while (!events_.empty() && events_.top().at <= until) {
      Event e = events_.top();
      events_.pop();
      now_ = e.at;
      handle(e);
    }
    now_ = until;
  }

  // Runs until the test holds (checked every step seconds) or the limit passes; the time it held.
  std::optional<double> run_until(const std::function<bool()>& test, double limit, double step = 0.1) {
    while (now_ < limit) {
      run_until(now_ + step);
      if (test()) return now_;
    }
    return std::nullopt;
  }

  // A crash: it sends and answers nothing from now on.
  void stop(int i) { hosts_.at(i).running = false; }
  void leave(int i) {
    hosts_.at(i).members->leave(local(i));
    flush(i);
  }
  void depart(int i) {
    hosts_.at(i).members->depart(local(i));
    flush(i);
  }
  void know(int i, const std::set<std::string>& types) {
    hosts_.at(i).members->know(types, local(i));
    flush(i);
  }
  void unreached(int i, int about) {
    hosts_.at(i).members->unreached(hosts_.at(about).id, local(i));
    flush(i);
  }
  // Nodes in different groups cannot reach each other; an empty list heals the partition.
  void partition(std::vector<int> group_of) { group_of_ = std::move(group_of); }

  void drop_when(Drop drop) { drop_ = std::move(drop); }
  void watch(Watch watch) { watch_ = std::move(watch); }

  double now() const { return now_; }
  double local(int i) const { return now_ - hosts_.at(i).start; }
  std::size_t size() const { return hosts_.size(); }
  const NodeId& id(int i) const { return hosts_.at(i).id; }
  bool running(int i) const { return hosts_.at(i).running; }
  Members& members(int i) { return *hosts_.at(i).members; }
  const Members& members(int i) const { return *hosts_.at(i).members; }
  const Membership& membership(int i) const { return dynamic_cast<const Membership&>(*hosts_.at(i).members); }

  // What node i lists about node j: none when it does not list it.
  std::optional<table::Status> status(int i, int j) const {
    // The member table answers without copying the whole list, which the watches ask after every event.
    if (const auto* service = dynamic_cast<const Membership*>(hosts_.at(i).members.get())) {
      const table::Record* r = service->table().find(hosts_.at(j).id);
      if (r == nullptr || r->status == table::Status::Left) return std::nullopt;
      return r->status;
    }
    for (const auto& m : hosts_.at(i).members->members()) {
      if (m.node == hosts_.at(j).id) return m.status;
    }
    return std::nullopt;
  }

  const std::map<std::string, std::uint64_t>& sent() const { return sent_; }
  std::uint64_t sent(const std::string& kind) const {
    auto it = sent_.find(kind);
    return it == sent_.end() ? 0 : it->second;
  }
  std::uint64_t total() const {
    std::uint64_t n = 0;
    for (const auto& [k, v] : sent_) n += v;
    return n;
  }
  std::uint64_t lost() const { return lost_; }
  // Every member's suspicion of a node that was running at the time.
  std::uint64_t false_suspicions() const { return false_suspicions_; }

  std::string counts() const {
    std::string out = fmt::format("{} messages ({} lost):", total(), lost_);
    for (const auto& [k, v] : sent_) out += fmt::format(" {} {}", k, v);
    return out;
  }

  // A digest of the whole run: the same seed must give the same one.
  std::uint64_t digest() const {
    std::uint64_t h = total() * 1000003 + lost_;
    for (const auto& host : hosts_) {
      for (const auto& m : host.members->members()) {
        h = hash_mix(h, m.node.hash());
        h = hash_mix(h, static_cast<std::size_t>(m.status));
      }
    }
    return h;
  }

 private:
  enum class Timer : std::uint8_t { Heartbeat, Graft, Shuffle, AntiEntropy };

  struct Host {
    NodeId id;
    std::unique_ptr<Members> members;
    double start = 0;
    bool running = true;
  };

  struct Event {
    double at;
    std::uint64_t order;
    int node;
    // A delivery (from the sender's index, with the payload) or a timer.
    int from = -1;
    Bytes payload;
    std::optional<Timer> timer;
    bool started = false;

    bool operator>(const Event& o) const { return at != o.at ? at > o.at : order > o.order; }
  };

  NodeId fresh_id(std::optional<std::string> address) {
    NodeId id{std::move(address), {}};
    for (auto& b : id.incarnation) b = static_cast<std::uint8_t>(rng_());
    return id;
  }

  Random draws() {
    auto engine = std::make_shared<std::mt19937_64>(rng_());
    return [engine] { return (*engine)(); };
  }

  void add(NodeId id, std::unique_ptr<Members> members, double start) {
    const int i = static_cast<int>(hosts_.size());
    by_id_.emplace(id, i);
    if (id.address) by_address_.emplace(*id.address, i);
    hosts_.push_back(Host{std::move(id), std::move(members), start, true});
    push(Event{start, 0, i, -1, {}, std::nullopt, true});
  }

  void push(Event e) {
    e.order = order_++;
    events_.push(std::move(e));
  }

  double period(Timer t) const {
    switch (t) {
      case Timer::Heartbeat: return options_.periods.heartbeat;
      case Timer::Graft: return options_.periods.graft_after;
      case Timer::Shuffle: return options_.periods.shuffle_every;
      case Timer::AntiEntropy: return options_.periods.anti_entropy;
    }
    return 1.0;
  }

  void handle(const Event& e) {
    Host& host = hosts_.at(e.node);
    if (!host.running) return;
    const double now = local(e.node);
    Members& m = *host.members;
    if (e.started) {
      m.join();
      m.mark();
      // Each timer fires at once, then at its period.
      for (auto t : {Timer::Heartbeat, Timer::Graft, Timer::Shuffle, Timer::AntiEntropy}) {
        push(Event{now_, 0, e.node, -1, {}, t, false});
      }
    } else if (e.timer) {
      switch (*e.timer) {
        case Timer::Heartbeat:
          m.probe(now);
          m.expire(now);
          break;
        case Timer::Graft: m.graft(now); break;
        case Timer::Shuffle: m.shuffle(now); break;
        case Timer::AntiEntropy: m.anti_entropy(); break;
      }
      push(Event{now_ + period(*e.timer), 0, e.node, -1, {}, e.timer, false});
    } else {
      if (cut(e.from, e.node)) {
        ++lost_;
        return;
      }
      // Every envelope from a peer is a sign of life, then its payload goes to the service.
      m.heard(hosts_.at(e.from).id, now);
      m.receive(e.payload, now);
    }
    flush(e.node);
    if (watch_) watch_(e.node, now_);
  }

  bool cut(int a, int b) const {
    return !group_of_.empty() && group_of_.at(static_cast<std::size_t>(a)) != group_of_.at(static_cast<std::size_t>(b));
  }

  void flush(int i) {
    for (const auto& t : hosts_.at(i).members->transitions()) {
      auto it = by_id_.find(t.node);
      if (t.status == table::Status::Suspect && it != by_id_.end() && hosts_.at(it->second).running) {
        ++false_suspicions_;
      }
    }
    hosts_.at(i).members->changed();
    for (auto& out : hosts_.at(i).members->take()) {
      int to = -1;
      if (const auto* node = std::get_if<NodeId>(&out.to)) {
        auto it = by_id_.find(*node);
        if (it != by_id_.end()) to = it->second;
      } else if (auto it = by_address_.find(std::get<std::string>(out.to)); it != by_address_.end()) {
        to = it->second;
      }
      sent_[kind(out.message.body)] += 1;
      if (to < 0 || !hosts_.at(i).running || cut(i, to) ||
          std::uniform_real_distribution<double>(0, 1)(rng_) < options_.loss ||
          (drop_ && drop_(i, to, out.message, now_))) {
        ++lost_;
        continue;
      }
      const double delay = std::uniform_real_distribution<double>(options_.delay_min, options_.delay_max)(rng_);
      push(Event{now_ + delay, 0, to, i, wire::encode(out.message), std::nullopt, false});
    }
  }

  std::mt19937_64 rng_;
  Options options_;
  std::vector<Host> hosts_;
  std::unordered_map<NodeId, int> by_id_;
  std::unordered_map<std::string, int> by_address_;
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
  std::uint64_t order_ = 0;
  double now_ = 0;
  std::vector<int> group_of_;
  Drop drop_;
  Watch watch_;
  std::map<std::string, std::uint64_t> sent_;
  std::uint64_t lost_ = 0;
  std::uint64_t false_suspicions_ = 0;
};

}  // namespace vorel::core::membership::simulation
