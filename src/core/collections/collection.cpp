#include <algorithm>

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

namespace vorel::core::collections {

namespace {
constexpr std::string_view kModule = "vorel.collections";

// The kind a type name ends in: "kind.actor" or "kind_digits_level".
std::optional<std::string_view> kind_of(std::string_view rest) {
  constexpr std::string_view kActor = ".actor";
  if (rest.ends_with(kActor)) return rest.substr(0, rest.size() - kActor.size());
  const auto last = rest.rfind('_');
  if (last == std::string_view::npos) return std::nullopt;
  const std::string_view level = rest.substr(last + 1);
  if (level != "one" && level != "majority" && level != "all") return std::nullopt;
  if (last == 0) return std::nullopt;
  const auto before = rest.rfind('_', last - 1);
  if (before == std::string_view::npos) return std::nullopt;
  const std::string_view digits = rest.substr(before + 1, last - before - 1);
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return rest.substr(0, before);
}
}  // namespace

std::shared_ptr<const Native> collection(std::string_view name) {
  const auto colon = name.find(':');
  if (colon == std::string_view::npos || name.substr(0, colon) != kModule) return nullptr;
  const auto kind = kind_of(name.substr(colon + 1));
  if (!kind) return nullptr;
  if (*kind == "counter") return std::make_shared<Counter>();
  if (*kind == "register") return std::make_shared<Register>();
  if (*kind == "entry") return std::make_shared<Entry>();
  if (*kind == "semaphore") return std::make_shared<Semaphore>();
  if (*kind == "barrier") return std::make_shared<Barrier>();
  if (*kind == "queue") return std::make_shared<Queue>();
  if (*kind == "queue_segment") return std::make_shared<queue::Segment>();
  if (*kind == "table") return std::make_shared<Table>();
  if (*kind == "table_segment") return std::make_shared<table::Segment>();
  return nullptr;
}

}  // namespace vorel::core::collections
