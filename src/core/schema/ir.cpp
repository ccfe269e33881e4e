#include "core/schema/ir.hpp"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/invariant.hpp"
#include "core/schema/error.hpp"

namespace vorel::core::schema::ir {
namespace {


template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Every node index a payload holds, for reading or rewriting.
template <class Visit>
void each_index(Node& node, Visit&& visit) {
  std::visit(Overloaded{
                 [&](Node::Collection& c) { visit(c.item); },
                 [&](Node::Tuple& t) {
                   for (Index& i : t.items) visit(i);
                 },
                 [&](Node::Mapping& m) {
                   visit(m.key);
                   visit(m.value);
                 },
                 [&](Node::Dataclass& d) {
                   for (Field& f : d.fields) visit(f.node);
                 },
                 [&](Node::Tagged& d) {
                   for (Field& f : d.fields) visit(f.node);
                 },
                 [&](Node::Union& u) {
                   for (Index& i : u.alternatives) visit(i);
                   for (auto& [tag, i] : u.tagged) visit(i);
                 },
                 [&](Node::Ref& r) { visit(r.message); },
                 [&](Node::Alias& a) { visit(a.target); },
                 [](auto&) {},
             },
             node.payload);
}

Node tagged_copy(const Node::Dataclass& d) {
  Node::Tagged t;
  static_cast<Node::Dataclass&>(t) = d;
  return Node{std::move(t)};
}

// A union that is its own alternative, directly or through other unions, as a generic alias
// that names itself among its members gives: choosing an alternative for a value would never
// end. Aliases are resolved by now, so only union-to-union steps are left to follow.
bool unions_in_a_cycle(const std::vector<Node>& nodes) {
  enum class Mark : std::uint8_t { Unseen, Open, Done };
  std::vector<Mark> marks(nodes.size(), Mark::Unseen);
  std::vector<std::pair<Index, std::size_t>> stack;  // (union, next alternative to follow)
  for (Index start = 0; start < nodes.size(); ++start) {
    if (marks[start] != Mark::Unseen || !nodes[start].as<Node::Union>()) continue;
    marks[start] = Mark::Open;
    stack.emplace_back(start, 0);
    while (!stack.empty()) {
      auto& [at, next] = stack.back();
      const auto& alternatives = nodes[at].as<Node::Union>()->alternatives;
      if (next == alternatives.size()) {
        marks[at] = Mark::Done;
        stack.pop_back();
        continue;
      }
      const Index a = alternatives[next++];
      if (!nodes[a].as<Node::Union>() || marks[a] == Mark::Done) continue;
      if (marks[a] == Mark::Open) return true;
      marks[a] = Mark::Open;
      stack.emplace_back(a, 0);
    }
  }
  return false;
}

}  // namespace

const char* kind_name(Kind kind) {
  static constexpr const char* kNames[] = {"Never",     "Scalar",  "Literal", "DateTime",   "Date",
                                           "Time",      "TimeDelta", "Decimal", "UUID",     "Path",
                                           "Enum",      "Opaque",  "Collection", "Tuple",   "Mapping",
                                           "Dataclass", "Tagged",  "Union",   "Ref",        "Alias"};
  return kNames[static_cast<std::size_t>(kind)];
}

const char* scalar_name(ScalarKind kind) {
  static constexpr const char* kNames[] = {"none", "bool", "int", "float", "str", "bytes"};
  return kNames[static_cast<std::size_t>(kind)];
}

Mask own_mask(const Node& node) {
  switch (node.kind()) {
    case Kind::Never:
    case Kind::Alias:
      return 0;
    case Kind::Scalar:
      return static_cast<Mask>(1u << static_cast<unsigned>(node.as<Node::Scalar>()->scalar));
    case Kind::Literal: {
      Mask m = 0;
      for (const Literal& v : node.as<Node::Literal>()->values) {
        m |= std::visit(Overloaded{[](bool) { return family::boolean; }, [](std::int64_t) { return family::integer; },
                                   [](const std::string&) { return family::str; }},
                        v.value);
      }
      return m;
    }
    case Kind::Date:
    case Kind::TimeDelta:
      return family::integer;
    case Kind::Decimal:
    case Kind::Path:
    case Kind::Enum:
      return family::str;
    case Kind::UUID:
    case Kind::Opaque:
      return family::bin;
    case Kind::Dataclass:
      return family::map;
    case Kind::Union:
      // A tagged dataclass is written as [name, map].
      return node.as<Node::Union>()->tagged.empty() ? 0 : family::array;
    case Kind::DateTime:
    case Kind::Time:
    case Kind::Collection:
    case Kind::Tuple:
    case Kind::Mapping:
    case Kind::Tagged:
    case Kind::Ref:
      return family::array;
  }
  broken("vorel: broken schema tree: unknown node kind");
}

Mask seen(const std::vector<std::optional<Node>>& slots, Index index) {
  // Only unions and aliases reach other nodes' masks; walking them with a visited list and an
  // explicit stack keeps a long chain of aliases off the call stack.
  std::vector<bool> visited(slots.size(), false);
  std::vector<Index> stack{index};
  Mask mask = 0;
  while (!stack.empty()) {
    Index i = stack.back();
    stack.pop_back();
    if (i >= slots.size()) broken("vorel: broken schema tree: node index out of range");
    if (visited[i]) continue;
    visited[i] = true;
    const std::optional<Node>& slot = slots[i];
    if (!slot) continue;
    mask |= own_mask(*slot);
    if (const auto* u = slot->as<Node::Union>()) {
      for (auto it = u->alternatives.rbegin(); it != u->alternatives.rend(); ++it) stack.push_back(*it);
    } else if (const auto* a = slot->as<Node::Alias>()) {
      stack.push_back(a->target);
    }
  }
  return mask;
}

const Node& Tree::at(Index index) const {
  if (index >= nodes.size()) broken("vorel: broken schema tree: node index out of range");
  return nodes[index];
}

std::expected<Tree, std::string> Tree::new_(std::vector<Node> nodes, Index root) {
  const std::size_t n = nodes.size();
  if (n == 0) broken("vorel: broken schema tree: empty node table");
  auto check = [n](Index i) {
    if (i >= n) broken("vorel: broken schema tree: node index out of range");
  };
  check(root);
  for (Node& node : nodes) each_index(node, check);

  // 1. Where every chain of aliases ends; a chain longer than the table is a cycle.
  std::vector<Index> resolved(n);
  for (Index i = 0; i < n; ++i) {
    Index at = i;
    std::size_t steps = 0;
    while (const auto* alias = nodes[at].as<Node::Alias>()) {
      if (++steps > n) return std::unexpected(std::string(error::kRecursive));
      at = alias->target;
    }
    resolved[i] = at;
  }

  // 2. Nothing refers to an alias any more; the alias nodes stay, unreferenced.
  for (Node& node : nodes) each_index(node, [&](Index& i) { i = resolved[i]; });
  if (unions_in_a_cycle(nodes)) return std::unexpected(std::string(error::kRecursive));
  Tree tree;
  tree.root = resolved[root];

  // 3. The tagged root, copied after renumbering so its fields are already resolved.
  std::map<Index, Index> copies;  // dataclass node -> its tagged copy
  auto copy_of = [&](Index dataclass) {
    auto [it, fresh] = copies.try_emplace(dataclass, static_cast<Index>(nodes.size()));
    if (fresh) nodes.push_back(tagged_copy(*nodes[dataclass].as<Node::Dataclass>()));
    return it->second;
  };
  tree.tagged_root = nodes[tree.root].as<Node::Dataclass>() ? copy_of(tree.root) : tree.root;

  // A ref's messages travel tagged, as a message schema's tagged root reads them. A ref whose
  // message was reached through an alias, or through the dataclass being built, only now points
  // at a plain dataclass: without a copy, messages sent through a ref read from a value would be
  // written in a form their receiver refuses.
  for (std::size_t i = 0; i < n; ++i) {
    const auto* ref = nodes[i].as<Node::Ref>();
    if (ref == nullptr || !nodes[ref->message].as<Node::Dataclass>()) continue;
    Index copy = copy_of(ref->message);  // may grow the table: look the ref up again after it
    nodes[i].as<Node::Ref>()->message = copy;
  }

  // 4. Masks only grow, so repeating passes until one changes nothing ends; a union that reaches
  // itself through a container gets its full mask.
  tree.kinds.assign(nodes.size(), 0);
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      Mask m = own_mask(nodes[i]);
      if (const auto* u = nodes[i].as<Node::Union>()) {
        for (Index a : u->alternatives) m |= tree.kinds[a];
      }
      if (m != tree.kinds[i]) {
        tree.kinds[i] = m;
        changed = true;
      }
    }
  }
  tree.nodes = std::move(nodes);
  return tree;
}

}  // namespace vorel::core::schema::ir
