// A compiled annotation as a flat table of nodes that refer to each other by index. The
// compiler fills the table; `Tree::new_` resolves its aliases and computes, per node, the
// MessagePack families a value of it can begin with. Writer and reader walk the resolved tree.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vorel::core::schema::ir {

// A node's position in the table: assigned in the order nodes are appended, never changed.
using Index = std::uint32_t;

// One bit per MessagePack family a value can be written as.
using Mask = std::uint8_t;
namespace family {
inline constexpr Mask nil = 1 << 0;
inline constexpr Mask boolean = 1 << 1;
inline constexpr Mask integer = 1 << 2;
inline constexpr Mask real = 1 << 3;
inline constexpr Mask str = 1 << 4;
inline constexpr Mask bin = 1 << 5;
inline constexpr Mask array = 1 << 6;
inline constexpr Mask map = 1 << 7;
}  // namespace family

// The node kinds; the value of each is its tag.
enum class Kind : std::uint8_t {
  Never,
  Scalar,
  Literal,
  DateTime,
  Date,
  Time,
  TimeDelta,
  Decimal,
  UUID,
  Path,
  Enum,
  Opaque,
  Collection,
  Tuple,
  Mapping,
  Dataclass,
  Tagged,
  Union,
  Ref,
  Alias,
};

const char* kind_name(Kind kind);

// The scalar kinds; the value of each is also the bit of its family.
enum class ScalarKind : std::uint8_t { None, Bool, Int, Float, Str, Bytes };

const char* scalar_name(ScalarKind kind);

// One allowed value of a `Literal` node.
struct Literal {
  std::variant<bool, std::int64_t, std::string> value;
  friend bool operator==(const Literal&, const Literal&) = default;
};

struct Field {
  std::string name;
  Index node = 0;
  bool required = false;
  friend bool operator==(const Field&, const Field&) = default;
};

struct Node {
  struct Never {
    friend bool operator==(const Never&, const Never&) = default;
  };
  struct Scalar {
    ScalarKind scalar = ScalarKind::None;
    friend bool operator==(const Scalar&, const Scalar&) = default;
  };
  struct Literal {
    std::vector<ir::Literal> values;
    friend bool operator==(const Literal&, const Literal&) = default;
  };
  struct DateTime {
    friend bool operator==(const DateTime&, const DateTime&) = default;
  };
  struct Date {
    friend bool operator==(const Date&, const Date&) = default;
  };
  struct Time {
    friend bool operator==(const Time&, const Time&) = default;
  };
  struct TimeDelta {
    friend bool operator==(const TimeDelta&, const TimeDelta&) = default;
  };
  struct Decimal {
    friend bool operator==(const Decimal&, const Decimal&) = default;
  };
  struct UUID {
    friend bool operator==(const UUID&, const UUID&) = default;
  };
  struct Path {
    Index cls = 0;  // into the class table
    friend bool operator==(const Path&, const Path&) = default;
  };
  struct Enum {
    std::string name;
    std::vector<std::string> members;  // every name, aliases included, in declaration order
    Index cls = 0;
    friend bool operator==(const Enum&, const Enum&) = default;
  };
  struct Opaque {
    std::string name;
    Index codec = 0;  // into the codec table
    friend bool operator==(const Opaque&, const Opaque&) = default;
  };
  struct Collection {
    bool set = false;
    bool sorted = false;
    Index item = 0;
    friend bool operator==(const Collection&, const Collection&) = default;
  };
  struct Tuple {
    std::vector<Index> items;
    friend bool operator==(const Tuple&, const Tuple&) = default;
  };
  struct Mapping {
    bool sorted = false;
    Index key = 0;
    Index value = 0;
    friend bool operator==(const Mapping&, const Mapping&) = default;
  };
  struct Dataclass {
    std::string name;
    std::vector<Field> fields;
    Index cls = 0;
    friend bool operator==(const Dataclass&, const Dataclass&) = default;
  };
  // The same payload as the `Dataclass` it copies; a distinct type so the variant tells them apart.
  struct Tagged : Dataclass {
    friend bool operator==(const Tagged&, const Tagged&) = default;
  };
  struct Union {
    std::vector<Index> alternatives;                     // the members that are not dataclasses
    std::vector<std::pair<std::string, Index>> tagged;  // (qualified name, node) per dataclass member
    friend bool operator==(const Union&, const Union&) = default;
  };
  struct Ref {
    Index message = 0;
    friend bool operator==(const Ref&, const Ref&) = default;
  };
  struct Alias {
    Index target = 0;
    friend bool operator==(const Alias&, const Alias&) = default;
  };

  // In tag order, so the variant's index is the kind.
  std::variant<Never, Scalar, Literal, DateTime, Date, Time, TimeDelta, Decimal, UUID, Path, Enum, Opaque,
               Collection, Tuple, Mapping, Dataclass, Tagged, Union, Ref, Alias>
      payload;

  Kind kind() const { return static_cast<Kind>(payload.index()); }
  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload);
  }
  template <class T>
  T* as() {
    return std::get_if<T>(&payload);
  }
  friend bool operator==(const Node&, const Node&) = default;
};

// The mask of a node from its own payload alone: what `Union` takes from its alternatives and
// `Alias` from its target is left out.
Mask own_mask(const Node& node);

// The mask of a node of a table still being built (an empty slot is a named type whose node is
// not finished and contributes nothing). Each node is counted once, so a type that reaches itself
// ends. Used by the compiler to tell union alternatives apart.
Mask seen(const std::vector<std::optional<Node>>& slots, Index index);

struct Tree {
  std::vector<Node> nodes;
  std::vector<Mask> kinds;  // one per node
  Index root = 0;
  // A `Tagged` copy of the root when the root is a dataclass, else `root`.
  Index tagged_root = 0;

  // Resolves the compiler's finished table: every reference to an alias goes to the node the
  // alias leads to, a dataclass root gets its tagged copy, and every mask is computed. Fails for
  // aliases that lead back to themselves and for a union that is its own alternative.
  static std::expected<Tree, std::string> new_(std::vector<Node> nodes, Index root);

  const Node& at(Index index) const;
};

}  // namespace vorel::core::schema::ir
