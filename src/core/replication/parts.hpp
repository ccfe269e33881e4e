// Cutting states into parts that each fit one message, and gluing the parts back together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pages.hpp"
#include "core/replication/messages.hpp"

namespace vorel::core::replication::parts {

// What a message keeps for its own fields beside the state it carries.
inline constexpr std::uint64_t kHeadroom = 65'536;
// The fixed allowance for one page entry of a part.
inline constexpr std::uint64_t kEntry = 16;
// The fixed allowance for one hand-off copy beside its key and pages.
inline constexpr std::uint64_t kCopy = 1'040;

// The page budget of a message limit. A limit at or below the headroom leaves no room for any
// state: the budget is 0 rather than a subtraction that wraps to a budget no message obeys.
std::uint64_t budget(std::uint64_t message_limit);

// One byte range [start, end) of one page inside one part.
struct Piece {
  std::string name;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Piece&, const Piece&) = default;
};

using Part = std::vector<Piece>;
// Never empty; the first part may be.
using Plan = std::vector<Part>;

messages::Sizes sizes(const Pages& pages);
Plan plan(const messages::Sizes& items, std::uint64_t budget);
// The pages of one part; pieces whose page is missing or whose range does not fit are skipped.
Pages cut(const Pages& pages, const Part& part);
// Never empty: an empty state is one empty part.
std::vector<Pages> split(const Pages& pages, std::uint64_t budget);
// Adds a received part to the state being assembled: a page already there grows at its end.
void append(Pages& into, Pages part);
// Groups hand-off copies into messages; a copy larger than the budget travels alone.
std::vector<std::vector<messages::Copy>> packed(std::vector<messages::Copy> copies, std::uint64_t budget);

}  // namespace vorel::core::replication::parts
