#include "core/replication/replica.hpp"

#include <limits>

#include "core/replication/parts.hpp"

namespace vorel::core::replication {

using namespace messages;

namespace replica {

std::size_t NameHash::operator()(const Name& n) const {
  return hash_mix(std::hash<std::string>{}(n.actor), std::hash<std::string>{}(n.key));
}

std::vector<std::string> Arriving::take(Replica& replica, std::string_view actor, std::uint64_t stream_id,
                                        std::uint32_t part, std::vector<Copy> copies) {
  if (stream != stream_id) {
    copy.reset();
    stream = stream_id;
    next = 0;
    gap = part != 0;
  } else if (part != next) {
    gap = true;
    copy.reset();
  }
  next = part == std::numeric_limits<std::uint32_t>::max() ? part : part + 1;

  std::vector<std::string> installed;
  for (auto& incoming : copies) {
    if (copy && copy->key == incoming.key && std::uint64_t{incoming.part} == std::uint64_t{copy->part} + 1) {
      parts::append(copy->pages, std::move(incoming.pages));
      copy->accepted = incoming.accepted;
      copy->promised = incoming.promised;
      copy->part = incoming.part;
      copy->final_ = incoming.final_;
    } else {
      if (copy || incoming.part != 0) gap = true;
      copy.reset();
      if (incoming.part == 0) copy = std::move(incoming);
    }
    if (copy && copy->final_) {
      installed.push_back(copy->key);
      replica.install(actor, std::move(*copy));
      copy.reset();
    }
  }
  return installed;
}

}  // namespace replica

namespace {

replica::Name name_of(std::string_view actor, std::string_view key) {
  return replica::Name{std::string(actor), std::string(key)};
}

// Whether the whole state fits the budget of one message, as the Promise would carry it.
bool fits(const core::Pages& pages, std::uint64_t budget) {
  std::uint64_t total = 0;
  for (const auto& [name, content] : pages) {
    total += name.size() + content.size() + parts::kEntry;
    if (total > budget) return false;
  }
  return true;
}

}  // namespace

replica::Entry& Replica::record(const std::string& actor, const std::string& key) {
  return records[replica::Name{actor, key}];
}

const replica::Entry* Replica::entry(std::string_view actor, std::string_view key) const {
  auto it = records.find(name_of(actor, key));
  return it == records.end() ? nullptr : &it->second;
}

std::optional<Reply> Replica::receive(Request request, bool receiving) {
  struct Visit {
    Replica& self;
    bool receiving;
    std::optional<Reply> operator()(Prepare& r) { return self.prepare(std::move(r), receiving); }
    std::optional<Reply> operator()(Accept& r) { return self.accept(std::move(r), receiving); }
    std::optional<Reply> operator()(Fetch& r) { return self.fetch(std::move(r)); }
    std::optional<Reply> operator()(Bury& r) { return self.bury(std::move(r), receiving); }
  };
  return std::visit(Visit{*this, receiving}, request.variant);
}

std::optional<Reply> Replica::prepare(Prepare request, bool receiving) {
  auto& rec = record(request.actor, request.key);
  // The same term asking again is refused too: a promise is given once per term.
  if (rec.promised && !rec.promised->lower_than(request.epoch)) {
    return Reply{Rejected{std::move(request.actor), std::move(request.key), node, *rec.promised}};
  }
  rec.promised = request.epoch;
  Promise promise{std::move(request.actor), std::move(request.key), std::move(request.epoch), node, rec.accepted,
                  parts::sizes(rec.pages), {}, receiving};
  if (!rec.pages.empty() && fits(rec.pages, budget)) promise.pages = rec.pages;
  return Reply{std::move(promise)};
}

std::optional<Reply> Replica::accept(Accept request, bool receiving) {
  auto& rec = record(request.actor, request.key);
  if (rec.promised && request.stamp.epoch.lower_than(*rec.promised)) {
    return Reply{Rejected{std::move(request.actor), std::move(request.key), node, *rec.promised}};
  }
  rec.promised = request.stamp.epoch;

  if (request.part == 0) {
    if (request.base && !(rec.accepted && *rec.accepted == *request.base)) {
      rec.staged.reset();
      return Reply{NeedFull{std::move(request.actor), std::move(request.key), request.stamp, node}};
    }
    rec.staged = replica::Staged{request.stamp, !request.base, {}, {}, 0};
  } else if (rec.staged && rec.staged->stamp == request.stamp && rec.staged->full == request.base.has_value()) {
    // One write travels in two forms under one stamp, its change and the whole state a NeedFull
    // asked for, and their parts are numbered alike: a part of the other form would splice
    // foreign bytes into the staged state. It is passed over; the staged write goes on.
    return std::nullopt;
  } else if (!rec.staged || rec.staged->stamp != request.stamp || rec.staged->next != request.part) {
    // A part without the parts before it cannot be applied; the owner sends the write again.
    rec.staged.reset();
    return std::nullopt;
  }

  auto& staged = *rec.staged;
  parts::append(staged.pages, std::move(request.pages));
  for (auto& name : request.dropped) staged.dropped.push_back(std::move(name));
  ++staged.next;
  if (!request.final_) return std::nullopt;

  replica::Staged write = std::move(*rec.staged);
  rec.staged.reset();
  // A late write that an accepted one already follows must not take the state back.
  if (rec.accepted && Stamp::before(write.stamp, *rec.accepted)) return std::nullopt;
  if (write.full) {
    rec.pages = std::move(write.pages);
  } else {
    for (auto& [name, content] : write.pages) rec.pages.insert_or_assign(name, std::move(content));
    for (const auto& name : write.dropped) rec.pages.erase(name);
  }
  rec.accepted = write.stamp;
  if (is_tombstone(rec.pages)) tombstones.push_back(replica::Tombstone{request.actor, request.key, write.stamp});
  return Reply{Accepted{std::move(request.actor), std::move(request.key), write.stamp, node, receiving}};
}

Reply Replica::fetch(Fetch request) {
  auto& rec = record(request.actor, request.key);
  Sizes wanted;
  for (const auto& name : request.names) {
    auto it = rec.pages.find(name);
    if (it != rec.pages.end()) wanted.emplace_back(name, it->second.size());
  }
  const auto plan = parts::plan(wanted, budget);
  const bool last = request.part >= plan.size() - 1;
  core::Pages pages = request.part < plan.size() ? parts::cut(rec.pages, plan[request.part]) : core::Pages{};
  return Reply{messages::Pages{std::move(request.actor), std::move(request.key), std::move(request.epoch),
                               rec.accepted, request.part, last, std::move(pages)}};
}

Reply Replica::bury(Bury request, bool receiving) {
  auto it = records.find(name_of(request.actor, request.key));
  if (it != records.end()) {
    auto& rec = it->second;
    if (rec.accepted && Stamp::before(*rec.accepted, request.stamp)) {
      rec.accepted = request.stamp;
      rec.pages = tombstone();
      rec.staged.reset();
      if (!rec.promised || rec.promised->lower_than(request.stamp.epoch)) rec.promised = request.stamp.epoch;
      tombstones.push_back(replica::Tombstone{request.actor, request.key, request.stamp});
    }
  }
  return Reply{Buried{std::move(request.actor), std::move(request.key), request.stamp, node, receiving}};
}

std::vector<std::string> Replica::keys(std::string_view actor) const {
  std::vector<std::string> out;
  for (const auto& [name, rec] : records) {
    if (name.actor == actor) out.push_back(name.key);
  }
  return out;
}

std::vector<replica::Kept> Replica::kept() const {
  std::vector<replica::Kept> out;
  out.reserve(records.size());
  for (const auto& [name, rec] : records) {
    out.push_back(replica::Kept{name.actor, name.key, rec.accepted.has_value() && is_tombstone(rec.pages)});
  }
  return out;
}

bool Replica::marked(std::string_view actor, std::string_view key) const {
  const auto* rec = entry(actor, key);
  return rec && is_marked(rec->pages);
}

std::optional<Stamp> Replica::accepted(std::string_view actor, std::string_view key) const {
  const auto* rec = entry(actor, key);
  return rec ? rec->accepted : std::nullopt;
}

std::optional<Epoch> Replica::promised(std::string_view actor, std::string_view key) const {
  const auto* rec = entry(actor, key);
  return rec ? rec->promised : std::nullopt;
}

std::optional<Stamp> Replica::deleted(std::string_view actor, std::string_view key) const {
  const auto* rec = entry(actor, key);
  if (!rec || !rec->accepted || !is_tombstone(rec->pages)) return std::nullopt;
  return rec->accepted;
}

std::vector<Copy> Replica::copies(std::string_view actor, std::string_view key) const {
  std::vector<Copy> out;
  const auto* rec = entry(actor, key);
  if (!rec) return out;
  auto pieces = parts::split(rec->pages, budget);
  const std::size_t n = pieces.size();
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(Copy{std::string(key), rec->accepted, rec->promised, std::move(pieces[i]),
                       static_cast<std::uint32_t>(i), i + 1 == n});
  }
  return out;
}

void Replica::install(std::string_view actor, Copy copy) {
  auto& rec = records[name_of(actor, copy.key)];
  if (copy.accepted && (!rec.accepted || Stamp::before(*rec.accepted, *copy.accepted))) {
    rec.accepted = copy.accepted;
    rec.pages = std::move(copy.pages);
    rec.staged.reset();
    if (is_tombstone(rec.pages)) tombstones.push_back(replica::Tombstone{std::string(actor), copy.key, *copy.accepted});
  }
  if (copy.promised && (!rec.promised || rec.promised->lower_than(*copy.promised))) rec.promised = copy.promised;
}

void Replica::drop(std::string_view actor, std::string_view key) { records.erase(name_of(actor, key)); }

void Replica::purge(std::string_view actor, std::string_view key, const Stamp& stamp) {
  auto it = records.find(name_of(actor, key));
  if (it == records.end()) return;
  const auto& rec = it->second;
  if (rec.accepted && *rec.accepted == stamp && is_tombstone(rec.pages)) records.erase(it);
}

}  // namespace vorel::core::replication
