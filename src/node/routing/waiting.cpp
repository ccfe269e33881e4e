#include "node/routing/waiting.hpp"

#include <algorithm>
#include <ratio>
#include <variant>

namespace vorel::node::routing::waiting {

namespace {

std::pair<std::string_view, std::string_view> key_of(const core::Command& command) {
  return std::visit([](const auto& c) { return std::pair<std::string_view, std::string_view>{c.actor, c.key}; },
                    command);
}

}  // namespace

Instant later(Instant at, core::Duration span) {
  static_assert(std::is_same_v<Instant::period, std::nano>);
  const auto room = (Instant::max() - at).count();
  const unsigned __int128 wanted =
      static_cast<unsigned __int128>(span.seconds) * core::Duration::kNanosPerSecond + span.nanos;
  if (room <= 0 || wanted >= static_cast<unsigned __int128>(room)) return Instant::max();
  return at + Instant::duration(static_cast<Instant::rep>(wanted));
}

void Waiting::keep(Routed routed, Instant now, core::Duration delay, core::Duration timeout) {
  if (count == 0) since = now;
  const auto [actor, key] = key_of(routed.command);
  auto at = parked.find(KeyLess::View{actor, key});
  if (at == parked.end()) at = parked.emplace(Key{std::string(actor), std::string(key)}, std::deque<Entry>{}).first;
  at->second.push_back(Entry{std::move(routed), later(now, delay), later(now, timeout)});
  ++count;
}

std::vector<Key> Waiting::keys() const {
  std::vector<Key> out;
  out.reserve(parked.size());
  for (const auto& [key, queue] : parked) out.push_back(key);
  return out;
}

bool Waiting::holds(std::string_view actor, std::string_view key) const {
  return parked.contains(KeyLess::View{actor, key});
}

bool Waiting::cancel(const core::routing::wire::Cancel& cancel) {
  const auto at = parked.find(KeyLess::View{cancel.actor, cancel.key});
  if (at == parked.end()) return false;
  auto& queue = at->second;
  const auto asked = [&](const Entry& e) {
    const auto* deliver = std::get_if<core::Deliver>(&e.routed.command);
    return deliver != nullptr && deliver->reply && *deliver->reply == cancel.request;
  };
  const auto removed = static_cast<std::uint64_t>(std::erase_if(queue, asked));
  count -= removed;
  if (queue.empty()) parked.erase(at);
  return removed > 0;
}

std::vector<Released> Waiting::release(std::string_view actor, std::string_view key, bool wait, Instant now) {
  std::vector<Released> out;
  const auto at = parked.find(KeyLess::View{actor, key});
  if (at == parked.end()) return out;
  auto& queue = at->second;
  // The first entry that must stay holds back the ones behind it, so a key's commands leave in
  // the order they came.
  while (!queue.empty()) {
    auto& front = queue.front();
    const bool expired = !(now < front.deadline);
    if (!expired && (wait || now < front.not_before)) break;
    out.push_back(Released{expired, std::move(front.routed)});
    queue.pop_front();
  }
  count -= out.size();
  if (queue.empty()) parked.erase(at);
  return out;
}

}  // namespace vorel::node::routing::waiting
