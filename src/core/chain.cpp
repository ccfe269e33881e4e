#include "core/chain.hpp"

#include <algorithm>
#include <iterator>

namespace vorel::core {

Chain Chain::of(std::vector<chain::Link> links) {
  if (links.size() > chain::kLinks) {
    links.erase(links.begin(), links.end() - static_cast<std::ptrdiff_t>(chain::kLinks));
  }
  Chain made;
  made.links_ = std::move(links);
  return made;
}

Chain Chain::then(chain::Link link) const {
  const std::size_t kept = std::min(links_.size(), chain::kLinks - 1);
  Chain made;
  made.links_.reserve(kept + 1);
  made.links_.assign(links_.end() - static_cast<std::ptrdiff_t>(kept), links_.end());
  made.links_.push_back(std::move(link));
  return made;
}

std::optional<std::string> Chain::closed(std::string_view actor, std::string_view key,
                                         std::optional<std::uint64_t> hold) const {
  // A key that is between messages waits for nobody, so no ask can close a cycle through it.
  if (!hold) return std::nullopt;
  auto first = std::find_if(links_.begin(), links_.end(), [&](const chain::Link& link) {
    return link.actor == actor && link.key == key && link.hold == *hold;
  });
  if (first == links_.end()) return std::nullopt;
  std::string text;
  for (auto it = first; it != links_.end(); ++it) {
    text.append(it->actor).append("/").append(it->key).append(" -> ");
  }
  text.append(actor).append("/").append(key);
  return text;
}

}  // namespace vorel::core
