#include "core/replication/owner.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "core/debug_form.hpp"
#include "core/invariant.hpp"
#include "core/replication/parts.hpp"

namespace vorel::core::replication {

using messages::Reply;
using messages::Request;
using owner::Outcome;
using owner::Step;

namespace {

Pages without_active(Pages pages) {
  pages.erase(std::string(kActive));
  return pages;
}

Step only(std::vector<Send> requests) { return Step{std::nullopt, std::move(requests), std::nullopt}; }

template <class T>
T* phase_as(std::optional<owner::Phase>& phase) {
  return phase ? std::get_if<T>(&*phase) : nullptr;
}

template <class T>
const T* phase_as(const std::optional<owner::Phase>& phase) {
  return phase ? std::get_if<T>(&*phase) : nullptr;
}

}  // namespace

namespace owner {

Quorums quorums(Level level, std::uint64_t replicas) {
  switch (level) {
    case Level::One: return {1, 1};
    case Level::Majority: return {replicas / 2 + 1, replicas / 2 + 1};
    case Level::All: return {replicas, 1};
  }
  return {replicas / 2 + 1, replicas / 2 + 1};
}

std::optional<Stamp> latest_of(const std::map<NodeId, Promised>& promises) {
  std::optional<Stamp> latest;
  for (const auto& [replica, promise] : promises) {
    if (!promise.accepted) continue;
    if (!latest || Stamp::before(*latest, *promise.accepted)) latest = promise.accepted;
  }
  return latest;
}

std::string Outcome::debug() const {
  struct Visit {
    std::string operator()(const Activated& a) const {
      std::string names;
      for (const auto& [name, content] : a.state) names += (names.empty() ? "" : ", ") + debug_form(name);
      return fmt::format("Activated {{ state: [{}], created: {} }}", names, a.created);
    }
    std::string operator()(const Missing&) const { return "Missing"; }
    std::string operator()(const Saved&) const { return "Saved"; }
    std::string operator()(const Fenced&) const { return "Fenced"; }
    std::string operator()(const Insufficient&) const { return "Insufficient"; }
  };
  return std::visit(Visit{}, value);
}

}  // namespace owner

Owner::Owner(std::string actor, std::string key, NodeId node, std::vector<NodeId> replicas, Level level,
             std::uint64_t budget, std::uint64_t round, Durable durable)
    : actor(std::move(actor)),
      key(std::move(key)),
      replicas(std::move(replicas)),
      epoch{round, std::move(node)},
      highest(round),
      budget(budget),
      durable(durable) {
  const auto q = owner::quorums(level, this->replicas.size());
  write_quorum = q.write;
  read_quorum = q.read;
}

std::optional<owner::TooLarge> Owner::check(const Pages& pages) const {
  for (const auto& [name, content] : pages) {
    if (budget < name.size() + parts::kEntry + 1) {
      return owner::TooLarge{fmt::format(
          "{}/{}: the field {} has a name of {} bytes, which leaves no room for its data in the {} bytes a message "
          "has for the state; raise `Limits.message` on every node and client",
          actor, key, debug_form(name), name.size(), budget)};
    }
  }
  return std::nullopt;
}

owner::Sends Owner::activate(std::optional<Pages> initial, std::uint64_t wanted) {
  if (initial) {
    if (auto refused = check(*initial)) return std::unexpected(std::move(*refused));
  }
  reprepare.reset();
  return prepare(std::move(initial), wanted, owner::Lookup{owner::Lookup::ToAsk{}}, std::nullopt);
}

std::vector<Send> Owner::prepare(std::optional<Pages> initial, std::uint64_t wanted, owner::Lookup lookup,
                                 std::optional<owner::Pending> pending) {
  highest += 1;
  epoch.round = highest;
  phase = owner::Promising{std::move(initial), std::move(pending), std::move(lookup), {}, wanted};
  std::vector<Send> out;
  out.reserve(replicas.size());
  for (const auto& replica : replicas) out.push_back(Send{replica, Request{messages::Prepare{actor, key, epoch}}});
  return out;
}

Step Owner::receive(Reply reply) {
  struct Visit {
    Owner& self;

    Step operator()(messages::Promise& r) {
      auto* promising = phase_as<owner::Promising>(self.phase);
      if (!promising || r.epoch != self.epoch) return {};
      promising->promises.insert_or_assign(
          r.replica, owner::Promised{r.replica, r.accepted, std::move(r.sizes), std::move(r.pages), r.receiving});
      if (promising->promises.size() < std::min<std::uint64_t>(self.replicas.size(), promising->wanted)) return {};
      return self.decide(false);
    }

    Step operator()(messages::Rejected& r) {
      self.highest = std::max(self.highest, r.promised.round);
      // A replica answering a repeated Prepare of this very term changes nothing.
      if (self.phase && self.epoch.lower_than(r.promised)) return self.end(Outcome{Outcome::Fenced{}});
      return {};
    }

    Step operator()(messages::Pages& r) {
      auto* fetching = phase_as<owner::Fetching>(self.phase);
      if (!fetching || r.epoch != self.epoch || r.part != fetching->part) return {};
      // Another write reached the source while its pages were read: the parts would not fit together.
      if (!r.accepted || *r.accepted != fetching->accepted) return self.end(Outcome{Outcome::Fenced{}});
      parts::append(fetching->pages, std::move(r.pages));
      if (!r.final_) {
        fetching->part += 1;
        return only(self.fetch());
      }
      Pages pages = std::move(fetching->pages);
      const Stamp base = fetching->accepted;
      const bool save = fetching->save;
      return self.commit(std::move(pages), base, owner::Report::Activated, save);
    }

    Step operator()(messages::Accepted& r) {
      auto* writing = phase_as<owner::Writing>(self.phase);
      if (!writing || r.stamp != writing->written.stamp) return {};
      writing->accepted.insert(r.replica);
      if (!r.receiving) writing->confirmed.insert(r.replica);
      if (writing->confirmed.size() >= self.write_quorum) return self.confirmed();
      if (writing->accepted.size() >= self.replicas.size()) return self.end(Outcome{Outcome::Insufficient{}});
      return {};
    }

    Step operator()(messages::NeedFull& r) {
      if (!self.inflight || r.stamp != self.inflight->stamp) return {};
      std::vector<Send> out;
      for (auto& request : self.parts(*self.inflight, true)) out.push_back(Send{r.replica, std::move(request)});
      return only(std::move(out));
    }

    // Burials belong to the service.
    Step operator()(messages::Buried&) { return {}; }
  };
  return std::visit(Visit{*this}, reply.variant);
}

Step Owner::confirmed() {
  auto& writing = std::get<owner::Writing>(*phase);
  last = writing.written;
  const auto& pages = last->pages;
  Step step;
  if (save_) {
    std::optional<Pages> state;
    if (!messages::is_tombstone(pages)) state = without_active(pages);
    step.storage = Storage{Storage::Save{Stored{std::move(state), last->stamp}}};
  }
  switch (report) {
    case owner::Report::Saved: step.outcome = Outcome{Outcome::Saved{}}; break;
    case owner::Report::Activated: step.outcome = Outcome{Outcome::Activated{without_active(pages), false}}; break;
    case owner::Report::Created: step.outcome = Outcome{Outcome::Activated{without_active(pages), true}}; break;
  }
  phase.reset();
  return step;
}

Step Owner::decide(bool forced) {
  auto* promising = phase_as<owner::Promising>(phase);
  if (!promising) return {};

  std::uint64_t ok = 0;
  for (const auto& [replica, promise] : promising->promises) ok += promise.receiving ? 0 : 1;
  if (ok < read_quorum) {
    const bool nobody_left = ok == promising->promises.size() && promising->promises.size() == replicas.size();
    if (forced || nobody_left) return end(Outcome{Outcome::Insufficient{}});
    return {};
  }

  const auto latest = owner::latest_of(promising->promises);
  if (promising->pending) {
    if (!last) broken("a write before the activation");
    if (latest && Stamp::before(last->stamp, *latest)) return end(Outcome{Outcome::Fenced{}});
    owner::Pending pending = std::move(*promising->pending);
    if (auto* w = std::get_if<owner::Pending::Write>(&pending.value)) return only(following(std::move(w->pages)));
    return only(delete_());
  }
  return activation(*promising, latest);
}

Step Owner::activation(owner::Promising& promising, const std::optional<Stamp>& latest) {
  auto& lookup = promising.lookup.value;
  if (std::holds_alternative<owner::Lookup::Asked>(lookup)) return {};
  if (std::holds_alternative<owner::Lookup::ToAsk>(lookup)) {
    if (durable.any()) {
      lookup = owner::Lookup::Asked{};
      return Step{Storage{Storage::Load{}}, {}, std::nullopt};
    }
    lookup = owner::Lookup::Loaded{};
  }
  const auto& record = std::get<owner::Lookup::Loaded>(lookup).record;

  auto created = [&](bool save) -> Step {
    if (!promising.initial) return end(Outcome{Outcome::Missing{}});
    Pages initial = std::move(*promising.initial);
    return commit(std::move(initial), std::nullopt, owner::Report::Created, save);
  };

  // A stored version carries no address: it is ordered against the replicas' stamps by round,
  // incarnation and version alone, so a newer record of the same term wins.
  if (record && (!latest || Stamp::stored_before(*latest, record->version))) {
    if (!record->state) return created(false);
    Pages state = *record->state;
    return commit(std::move(state), std::nullopt, owner::Report::Activated, false);
  }
  if (!latest) return created(false);

  const bool save = durable.any() && (!record || Stamp::stored_before(record->version, *latest));
  std::vector<const owner::Promised*> sources;
  for (const auto& [replica, promise] : promising.promises) {
    if (promise.accepted == latest) sources.push_back(&promise);
  }
  if (sources.empty()) broken("a source of the latest write");
  for (const auto* source : sources) {
    for (const auto& [name, size] : source->sizes) {
      if (name == kDeleted) return created(save);
    }
  }
  for (const auto* source : sources) {
    const bool whole = source->pages.size() == source->sizes.size() &&
                       std::equal(source->sizes.begin(), source->sizes.end(), source->pages.begin(),
                                  [](const auto& size, const auto& page) { return size.first == page.first; });
    if (whole) {
      Pages state = source->pages;
      return commit(std::move(state), *latest, owner::Report::Activated, save);
    }
  }

  const auto* source = sources.front();
  messages::Names names;
  names.reserve(source->sizes.size());
  for (const auto& [name, size] : source->sizes) names.push_back(name);
  std::sort(names.begin(), names.end());
  phase = owner::Fetching{source->replica, *latest, std::move(names), 0, {}, save};
  return only(fetch());
}

Step Owner::loaded(std::optional<Stored> answer) {
  auto* promising = phase_as<owner::Promising>(phase);
  if (!promising || !std::holds_alternative<owner::Lookup::Asked>(promising->lookup.value)) return {};
  if (!answer || Epoch::order(answer->version.epoch, epoch) < 0) {
    promising->lookup = owner::Lookup{owner::Lookup::Loaded{std::move(answer)}};
    return decide(false);
  }
  // The store holds a write of this term or a later one: only a round above it can write after it.
  highest = std::max(highest, answer->version.epoch.round);
  auto initial = std::move(promising->initial);
  auto pending = std::move(promising->pending);
  const auto wanted = promising->wanted;
  return only(prepare(std::move(initial), wanted, owner::Lookup{owner::Lookup::Loaded{std::move(answer)}},
                      std::move(pending)));
}

Step Owner::commit(Pages pages, std::optional<Stamp> base, owner::Report report, bool save) {
  version = base ? base->version + 1 : 1;
  Pages base_pages = base ? pages : Pages{};
  pages.insert_or_assign(std::string(kActive), Bytes{});
  return only(write(std::move(pages), base, base_pages, report, save));
}

owner::Sends Owner::save(Pages pages) {
  pages.insert_or_assign(std::string(kActive), Bytes{});
  return next(std::move(pages));
}

owner::Sends Owner::next(Pages pages) {
  if (auto refused = check(pages)) return std::unexpected(std::move(*refused));
  if (reprepare) {
    const auto wanted = *reprepare;
    reprepare.reset();
    return prepare(std::nullopt, wanted, owner::Lookup{owner::Lookup::Loaded{}},
                   owner::Pending{owner::Pending::Write{std::move(pages)}});
  }
  return following(std::move(pages));
}

std::vector<Send> Owner::following(Pages pages) {
  if (!last) broken("a write before the activation");
  version += 1;
  const Stamp base = last->stamp;
  const Pages base_pages = last->pages;
  return write(std::move(pages), base, base_pages, owner::Report::Saved, durable.any());
}

std::vector<Send> Owner::delete_() {
  if (reprepare) {
    const auto wanted = *reprepare;
    reprepare.reset();
    return prepare(std::nullopt, wanted, owner::Lookup{owner::Lookup::Loaded{}},
                   owner::Pending{owner::Pending::Delete{}});
  }
  version += 1;
  return write(messages::tombstone(), std::nullopt, {}, owner::Report::Saved, durable.any());
}

std::vector<Send> Owner::write(Pages pages, std::optional<Stamp> base, const Pages& base_pages, owner::Report report,
                               bool save) {
  Pages changed;
  for (const auto& [name, content] : pages) {
    auto it = base_pages.find(name);
    if (it == base_pages.end() || it->second != content) changed.emplace(name, content);
  }
  messages::Names dropped;
  for (const auto& [name, content] : base_pages) {
    if (!pages.contains(name)) dropped.push_back(name);
  }
  owner::Written written{Stamp{epoch, version}, base, std::move(pages), std::move(changed), std::move(dropped)};
  const auto requests = parts(written, !base);
  inflight = written;
  phase = owner::Writing{std::move(written), {}, {}};
  this->report = report;
  save_ = save;

  std::vector<Send> out;
  out.reserve(replicas.size() * requests.size());
  for (const auto& replica : replicas) {
    for (const auto& request : requests) out.push_back(Send{replica, request});
  }
  return out;
}

std::vector<Request> Owner::parts(const owner::Written& written, bool full) const {
  auto pieces = parts::split(full ? written.pages : written.changed, budget);
  const std::size_t n = pieces.size();
  std::vector<Request> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const bool last_part = i + 1 == n;
    out.push_back(Request{messages::Accept{actor, key, written.stamp, full ? std::nullopt : written.base,
                                           static_cast<std::uint32_t>(i), last_part, std::move(pieces[i]),
                                           !full && last_part ? written.dropped : messages::Names{}}});
  }
  return out;
}

std::vector<Send> Owner::fetch() const {
  const auto* fetching = phase_as<owner::Fetching>(phase);
  if (!fetching) return {};
  return {Send{fetching->source,
               Request{messages::Fetch{actor, key, epoch, fetching->names, fetching->part}}}};
}

Step Owner::end(Outcome outcome) {
  phase.reset();
  return Step{std::nullopt, {}, std::move(outcome)};
}

std::vector<Send> Owner::resend() const {
  const auto* writing = phase_as<owner::Writing>(phase);
  if (!writing) return {};
  const auto requests = parts(writing->written, !writing->written.base);
  std::vector<Send> out;
  for (const auto& replica : replicas) {
    if (writing->confirmed.contains(replica)) continue;
    for (const auto& request : requests) out.push_back(Send{replica, request});
  }
  return out;
}

bool Owner::receiving() const {
  if (const auto* promising = phase_as<owner::Promising>(phase)) {
    return std::any_of(promising->promises.begin(), promising->promises.end(),
                       [](const auto& entry) { return entry.second.receiving; });
  }
  if (const auto* writing = phase_as<owner::Writing>(phase)) return writing->confirmed.size() < writing->accepted.size();
  return false;
}

}  // namespace vorel::core::replication
