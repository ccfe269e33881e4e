#include "core/replication/parts.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace vorel::core::replication::parts {

namespace {

std::uint64_t sum(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t cost_of(const messages::Copy& copy) {
  std::uint64_t cost = sum(kCopy, copy.key.size());
  for (const auto& [name, content] : copy.pages) cost = sum(cost, sum(name.size() + kEntry, content.size()));
  return cost;
}

}  // namespace

std::uint64_t budget(std::uint64_t message_limit) {
  return message_limit > kHeadroom ? message_limit - kHeadroom : 0;
}

messages::Sizes sizes(const Pages& pages) {
  messages::Sizes out;
  out.reserve(pages.size());
  for (const auto& [name, content] : pages) out.emplace_back(name, content.size());
  return out;
}

Plan plan(const messages::Sizes& items, std::uint64_t budget) {
  Plan parts(1);
  std::uint64_t used = 0;
  for (const auto& [name, size] : items) {
    const std::uint64_t entry = sum(name.size(), kEntry);
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    do {
      const std::uint64_t left = size - start;
      const std::uint64_t need = sum(entry, left > 0 ? 1 : 0);
      if (sum(used, need) <= budget) {
        // The check above leaves at least one byte of room whenever bytes are left.
        end = start + std::min(budget - entry - used, left);
      } else if (parts.back().empty()) {
        // A page whose name alone fills a part still travels, whole and over the budget.
        end = size;
      } else {
        parts.emplace_back();
        used = 0;
        end = need <= budget ? start + std::min(budget - entry, left) : size;
      }
      parts.back().push_back(Piece{name, start, end});
      used = sum(used, sum(entry, end - start));
      start = end;
    } while (end != size);
  }
  return parts;
}

Pages cut(const Pages& pages, const Part& part) {
  Pages out;
  for (const auto& piece : part) {
    auto it = pages.find(piece.name);
    if (it == pages.end()) continue;
    const Bytes& content = it->second;
    if (piece.start > piece.end || piece.end > content.size()) continue;
    out.insert_or_assign(piece.name, Bytes(content.begin() + static_cast<std::ptrdiff_t>(piece.start),
                                           content.begin() + static_cast<std::ptrdiff_t>(piece.end)));
  }
  return out;
}

std::vector<Pages> split(const Pages& pages, std::uint64_t budget) {
  std::vector<Pages> out;
  for (const auto& part : plan(sizes(pages), budget)) out.push_back(cut(pages, part));
  return out;
}

void append(Pages& into, Pages part) {
  for (auto& [name, content] : part) {
    auto [it, inserted] = into.try_emplace(name, std::move(content));
    if (inserted) continue;
    Bytes whole = std::move(it->second).take();
    whole.insert(whole.end(), content.begin(), content.end());
    it->second = std::move(whole);
  }
}

std::vector<std::vector<messages::Copy>> packed(std::vector<messages::Copy> copies, std::uint64_t budget) {
  std::vector<std::vector<messages::Copy>> groups(1);
  std::uint64_t used = 0;
  for (auto& copy : copies) {
    const std::uint64_t cost = cost_of(copy);
    if (!groups.back().empty() && sum(used, cost) > budget) {
      groups.emplace_back();
      used = 0;
    }
    used = sum(used, cost);
    groups.back().push_back(std::move(copy));
  }
  return groups;
}

}  // namespace vorel::core::replication::parts
