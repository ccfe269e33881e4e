// The result of an ask as it travels back to the asker.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/bytes.hpp"

namespace vorel::core {

struct Outcome {
  // The encoded answer.
  struct Value {
    Bytes data;
    friend bool operator==(const Value&, const Value&) = default;
  };
  // The body raised: `error` names the exception class, `message` is its text.
  struct Failed {
    std::string actor, key, error, message;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  struct Missing {
    std::string actor, key;
    friend bool operator==(const Missing&, const Missing&) = default;
  };
  struct Full {
    std::string actor, key;
    friend bool operator==(const Full&, const Full&) = default;
  };
  struct Unreached {
    std::string actor, key;
    friend bool operator==(const Unreached&, const Unreached&) = default;
  };
  struct Unknown {
    std::string actor, key;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };
  struct TooLarge {
    std::string message;
    friend bool operator==(const TooLarge&, const TooLarge&) = default;
  };
  // `message` is the cycle as Chain::closed writes it.
  struct Cycle {
    std::string message;
    friend bool operator==(const Cycle&, const Cycle&) = default;
  };

  // The alternatives stand in wire order: the index is the variant's number.
  using Variant = std::variant<Value, Failed, Missing, Full, Unreached, Unknown, TooLarge, Cycle>;
  Variant variant;

  static Outcome full(std::string_view actor, std::string_view key);
  static Outcome missing(std::string_view actor, std::string_view key);
  static Outcome unreached(std::string_view actor, std::string_view key);

  // The name by which the variant travels between nodes.
  std::string_view name() const;
  // Every variant's name, in the order of the variants.
  static std::span<const std::string_view> names();

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

}  // namespace vorel::core
