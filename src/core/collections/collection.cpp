#include <algorithm>
#include <array>

#include "core/collections/barrier.hpp"
#include "core/collections/counter.hpp"
#include "core/collections/entry.hpp"
#include "core/collections/native.hpp"
#include "core/collections/queue.hpp"
#include "core/collections/queue_segment.hpp"
#include "core/collections/register.hpp"
#include "core/collections/semaphore.hpp"
#include "core/collections/table.hpp"
#include "core/collections/table_segment.hpp"
#include "core/options.hpp"

namespace vorel::core::collections {

namespace {
// What a type name ends in: "kind.actor" or "kind_digits_level".
std::optional<Parsed> ending(std::string_view rest) {
  constexpr std::string_view kActor = ".actor";
  if (rest.ends_with(kActor)) return Parsed{rest.substr(0, rest.size() - kActor.size()), {}, {}};
  const auto last = rest.rfind('_');
  if (last == std::string_view::npos || last == 0 || !write_level(rest.substr(last + 1))) return std::nullopt;
  const auto before = rest.rfind('_', last - 1);
  if (before == std::string_view::npos) return std::nullopt;
  const std::string_view digits = rest.substr(before + 1, last - before - 1);
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return Parsed{rest.substr(0, before), digits, rest.substr(last + 1)};
}

constexpr std::array<std::string_view, 9> kKinds = {"counter", "register",      "entry", "semaphore",    "barrier",
                                                    "queue",   "queue_segment", "table", "table_segment"};
}  // namespace

std::span<const std::string_view> kinds() { return kKinds; }

std::optional<Parsed> parsed(std::string_view name) {
  const auto colon = name.find(':');
  if (colon == std::string_view::npos || name.substr(0, colon) != "vorel.collections") return std::nullopt;
  const auto found = ending(name.substr(colon + 1));
  if (!found || std::ranges::find(kKinds, found->kind) == kKinds.end()) return std::nullopt;
  return found;
}

std::optional<std::string_view> kind_of(std::string_view name) {
  const auto found = parsed(name);
  if (!found) return std::nullopt;
  return found->kind;
}

std::shared_ptr<const Native> collection(std::string_view name) {
  const auto kind = kind_of(name);
  if (!kind) return nullptr;
  if (*kind == "counter") return std::make_shared<Counter>();
  if (*kind == "register") return std::make_shared<Register>();
  if (*kind == "entry") return std::make_shared<Entry>();
  if (*kind == "semaphore") return std::make_shared<Semaphore>();
  if (*kind == "barrier") return std::make_shared<Barrier>();
  if (*kind == "queue") return std::make_shared<Queue>();
  if (*kind == "queue_segment") return std::make_shared<queue::Segment>();
  if (*kind == "table") return std::make_shared<Table>();
  return std::make_shared<table::Segment>();
}

}  // namespace vorel::core::collections
