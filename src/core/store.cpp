#include "core/store.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>

#include "core/tagged.hpp"
#include "core/wire.hpp"

namespace vorel::core {

std::string store::unanswered(double seconds) { return fmt::format("it did not answer within {} s", seconds); }

std::string store::unreadable(std::string_view why) {
  return fmt::format("load answered a record this version of vorel cannot read: {}", why);
}

std::string store::unread(std::string_view actor, std::string_view key, std::string_view why) {
  return fmt::format("{}/{}: the store could not be read: {}", actor, key, why);
}

std::string store::unkept(std::string_view actor, std::string_view key, std::string_view why) {
  return fmt::format("{}/{}: the store did not keep a write: {}", actor, key, why);
}

std::string store::unforgotten(std::string_view actor, std::string_view key, std::string_view why) {
  return fmt::format("{}/{}: the store did not forget the deletion: {}", actor, key, why);
}

using msgpack::Malformed;
using msgpack::Result;
using replication::Epoch;
using replication::Stamp;

namespace {

constexpr std::string_view kStateTag = "State";
constexpr std::string_view kPages = "pages";

void put_u64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * (7 - i)));
}

std::uint64_t get_u64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
  return value;
}

}  // namespace

namespace store {

Version version_of(const Stamp& stamp) {
  Version out{};
  put_u64(out.data(), stamp.epoch.round);
  std::copy(stamp.epoch.node.incarnation.begin(), stamp.epoch.node.incarnation.end(), out.begin() + 8);
  put_u64(out.data() + 24, stamp.version);
  return out;
}

}  // namespace store

std::optional<Bytes> Stored::state_bytes() const {
  if (!state) return std::nullopt;
  Bytes out;
  // The headers take at most 11 bytes a page and 19 for the record: one allocation for the state.
  std::size_t size = 32;
  for (const auto& [name, content] : *state) size += name.size() + content.size() + 12;
  out.reserve(size);
  msgpack::write_array(out, 2);
  msgpack::write_str(out, kStateTag);
  msgpack::write_map(out, 1);
  msgpack::write_str(out, kPages);
  wire::Writer pages(std::move(out));
  pages.pages(*state);
  return pages.take();
}

Result<Stored> Stored::read(ByteView version, std::optional<ByteView> state) {
  if (version.size() != std::tuple_size_v<store::Version>) return std::unexpected(Malformed::truncated());
  Stored record;
  record.version.epoch.round = get_u64(version.data());
  std::copy(version.begin() + 8, version.begin() + 24, record.version.epoch.node.incarnation.begin());
  record.version.version = get_u64(version.data() + 24);
  if (!state) return record;

  // A repeated "pages" key replaces the earlier page map whole.
  auto pages = tagged_field<Pages>(*state, kStateTag, kPages, [](wire::Reading& r) { return r.pages(); });
  if (!pages) return std::unexpected(pages.error());
  record.state = std::move(*pages);
  return record;
}

std::size_t LocalStore::Hash::operator()(NameView name) const {
  return hash_mix(std::hash<std::string_view>{}(name.actor), std::hash<std::string_view>{}(name.key));
}

Stamp LocalStore::stamp(const store::Entry& entry) {
  return Stamp{Epoch{entry.round, NodeId{}}, entry.version};
}

Stamp LocalStore::write(std::string_view actor, std::string_view key, Pages pages, bool open, bool deleted) {
  auto it = records_.find(NameView{actor, key});
  if (it == records_.end()) it = records_.emplace(Name{std::string(actor), std::string(key)}, store::Entry{}).first;
  store::Entry& entry = it->second;
  entry.pages = std::move(pages);
  entry.open = open;
  entry.deleted = deleted;
  ++entry.version;
  return stamp(entry);
}

std::optional<store::Held> LocalStore::restore(std::string_view actor, std::string_view key,
                                               const std::optional<Stored>& stored,
                                               const std::optional<Pages>& initial) {
  if (auto it = records_.find(NameView{actor, key}); it != records_.end()) {
    store::Entry& entry = it->second;
    bool created = false;
    if (entry.deleted) {
      if (!initial) return std::nullopt;
      entry.pages = *initial;
      entry.deleted = false;
      created = true;
    }
    entry.open = true;
    return store::Held{entry.pages, 0, created};
  }

  // A new round above the store's makes every stamp written from now on newer than what it
  // holds. A round already at the top stays there rather than wrapping below the store's.
  const auto after_stored = [&] {
    const std::uint64_t round = stored->version.epoch.round;
    return round == UINT64_MAX ? round : round + 1;
  };
  store::Entry entry;
  bool created;
  if (stored && stored->state) {
    entry.pages = *stored->state;
    entry.round = after_stored();
    created = false;
  } else {
    if (!initial) return std::nullopt;
    entry.pages = *initial;
    entry.round = stored ? after_stored() : 1;
    created = true;
  }
  entry.open = true;
  auto [it, inserted] = records_.emplace(Name{std::string(actor), std::string(key)}, std::move(entry));
  return store::Held{it->second.pages, 0, created};
}

std::optional<Stored> LocalStore::due(std::string_view actor, std::string_view key) {
  auto it = records_.find(NameView{actor, key});
  if (it == records_.end() || !it->second.due) return std::nullopt;
  store::Entry& entry = it->second;
  entry.due = false;
  Stored record;
  record.version = stamp(entry);
  if (!entry.deleted) record.state = entry.pages;
  return record;
}

bool LocalStore::unsaved(std::string_view actor, std::string_view key) {
  auto it = records_.find(NameView{actor, key});
  if (it == records_.end()) return false;
  return !std::exchange(it->second.due, true);
}

bool LocalStore::knows(std::string_view actor, std::string_view key) const {
  return records_.contains(NameView{actor, key});
}

void LocalStore::purge(std::string_view actor, std::string_view key, const Stamp& given) {
  auto it = records_.find(NameView{actor, key});
  if (it == records_.end()) return;
  const store::Entry& entry = it->second;
  // Only this table's own stamp of the very deletion the store dropped lets the tombstone go.
  if (entry.deleted && given == stamp(entry)) records_.erase(it);
}

void LocalStore::saved(std::string_view actor, std::string_view key, const Stamp& given) {
  auto it = records_.find(NameView{actor, key});
  if (it == records_.end()) return;
  const store::Entry& entry = it->second;
  if (!entry.open && !entry.due && !entry.deleted && given == stamp(entry)) records_.erase(it);
}

void LocalStore::delete_(std::string_view actor, std::string_view key) {
  if (auto it = records_.find(NameView{actor, key}); it != records_.end()) records_.erase(it);
}

std::vector<LocalStore::Kept> LocalStore::kept() const {
  std::vector<Kept> out;
  out.reserve(records_.size());
  for (const auto& [name, entry] : records_) out.push_back(Kept{name.actor, name.key, entry.deleted});
  return out;
}

}  // namespace vorel::core
