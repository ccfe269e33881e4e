// The ask chain: which bodies wait, down a chain of asks, for the answer to the ask it travels with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::core {

namespace chain {

// One waiting body: its key and the handling (`hold`) of the message it was busy with.
struct Link {
  std::string actor;
  std::string key;
  std::uint64_t hold = 0;

  friend bool operator==(const Link&, const Link&) = default;
};

// A chain keeps its newest links only; a longer road of asks is not followed further.
inline constexpr std::size_t kLinks = 16;

}  // namespace chain

class Chain {
 public:
  Chain() = default;

  // The chain of links received with a message: the newest kLinks of them.
  static Chain of(std::vector<chain::Link> links);

  // A new chain that ends in `link`, keeping at most kLinks - 1 of this chain's newest links.
  Chain then(chain::Link link) const;

  // The cycle text when the key, busy with the handling `hold`, already waits down this chain;
  // none otherwise, and always none for a key that handles no message.
  std::optional<std::string> closed(std::string_view actor, std::string_view key,
                                    std::optional<std::uint64_t> hold) const;

  // Oldest first.
  const std::vector<chain::Link>& links() const { return links_; }
  bool empty() const { return links_.empty(); }

  friend bool operator==(const Chain&, const Chain&) = default;

 private:
  std::vector<chain::Link> links_;
};

}  // namespace vorel::core
