// Why a replicated operation failed, as its waiter and the observer learn it.
#pragma once

#include <cstdint>
#include <string>

namespace vorel::node::replication::service {

struct Failure {
  // Numbered as the Python side maps them: `Unavailable`, `Fencing`, `MessageTooLarge`.
  enum class Kind : std::uint8_t { Unavailable = 0, Fenced = 1, TooLarge = 2 };

  Kind kind = Kind::Unavailable;
  std::string text;

  friend bool operator==(const Failure&, const Failure&) = default;
};

}  // namespace vorel::node::replication::service
