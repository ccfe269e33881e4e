#include "core/schema/ir.hpp"

#include <gtest/gtest.h>

#include "core/schema/error.hpp"

namespace vorel::core::schema::ir {
namespace {

namespace f = family;

Node scalar(ScalarKind k) { return Node{Node::Scalar{k}}; }
Node alias(Index target) { return Node{Node::Alias{target}}; }
Node dataclass(std::string name, std::vector<Field> fields, Index cls = 0) {
  return Node{Node::Dataclass{std::move(name), std::move(fields), cls}};
}
Node union_of(std::vector<Index> alternatives, std::vector<std::pair<std::string, Index>> tagged = {}) {
  return Node{Node::Union{std::move(alternatives), std::move(tagged)}};
}
Node collection(Index item) { return Node{Node::Collection{false, false, item}}; }

Tree resolved(std::vector<Node> nodes, Index root) {
  auto tree = Tree::new_(std::move(nodes), root);
  EXPECT_TRUE(tree.has_value()) << (tree ? "" : tree.error());
  return tree ? *std::move(tree) : Tree{};
}

TEST(Tree, AliasesOfAliasesResolveToTheirValue) {
  // type A = B; type B = int
  Tree t = resolved({alias(1), alias(2), scalar(ScalarKind::Int)}, 0);
  EXPECT_EQ(t.root, 2u);
  EXPECT_EQ(t.tagged_root, 2u);
  ASSERT_EQ(t.nodes.size(), 3u);
  EXPECT_EQ(t.kinds, (std::vector<Mask>{0, 0, f::integer}));
}

TEST(Tree, AliasCyclesAreRefused) {
  for (auto nodes : {std::vector<Node>{alias(0)}, std::vector<Node>{alias(1), alias(0)},
                     std::vector<Node>{scalar(ScalarKind::Int), alias(2), alias(1)}}) {
    auto tree = Tree::new_(nodes, 0);
    ASSERT_FALSE(tree.has_value());
    EXPECT_EQ(tree.error(), "a recursive type refers to itself outside of a container or dataclass");
  }
}

TEST(Tree, UnionsThatAreTheirOwnAlternativeAreRefused) {
  // type G[T] = T | G[T], and the same through a second union and an alias.
  for (auto nodes : {std::vector<Node>{scalar(ScalarKind::Int), alias(2), union_of({0, 1})},
                     std::vector<Node>{scalar(ScalarKind::Int), union_of({0, 3}), alias(1), union_of({4, 2}),
                                       scalar(ScalarKind::Str)}}) {
    auto tree = Tree::new_(nodes, 1);
    ASSERT_FALSE(tree.has_value());
    EXPECT_EQ(tree.error(), "a recursive type refers to itself outside of a container or dataclass");
  }
  // A union inside another, and one reached twice, are no cycle.
  Tree t = resolved({scalar(ScalarKind::Int), scalar(ScalarKind::None), union_of({0, 1}), scalar(ScalarKind::Str),
                     union_of({2, 3}), union_of({4, 2})},
                    5);
  EXPECT_EQ(t.kinds[5], f::integer | f::nil | f::str);
}

TEST(Tree, RecursiveUnionThroughAContainerGetsItsFullMask) {
  // type J = int | tuple[J, ...]: slot 0 is the alias, reserved before the union was built.
  Tree t = resolved({alias(3), scalar(ScalarKind::Int), collection(0), union_of({1, 2})}, 0);
  EXPECT_EQ(t.root, 3u);
  EXPECT_EQ(t.nodes[2].as<Node::Collection>()->item, 3u);
  EXPECT_EQ(t.kinds[3], f::integer | f::array);
  EXPECT_EQ(t.kinds[2], f::array);
}

TEST(Tree, UnionMaskTakesAlternativesBuiltLater) {
  // The union comes before the node its alternative resolves to: a second pass completes it.
  Tree t = resolved({union_of({1}), alias(2), union_of({3}), scalar(ScalarKind::Str)}, 0);
  EXPECT_EQ(t.nodes[0].as<Node::Union>()->alternatives, (std::vector<Index>{2}));
  EXPECT_EQ(t.kinds[0], f::str);
  EXPECT_EQ(t.kinds[2], f::str);
}

TEST(Tree, DataclassRootGetsATaggedCopyAtTheEnd) {
  Tree t = resolved({scalar(ScalarKind::Int), dataclass("Point", {{"x", 0, true}}, 4)}, 1);
  ASSERT_EQ(t.nodes.size(), 3u);
  EXPECT_EQ(t.root, 1u);
  EXPECT_EQ(t.tagged_root, 2u);
  const auto* copy = t.nodes[2].as<Node::Tagged>();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(static_cast<const Node::Dataclass&>(*copy), *t.nodes[1].as<Node::Dataclass>());
  EXPECT_EQ(t.kinds[1], f::map);
  EXPECT_EQ(t.kinds[2], f::array);
}

TEST(Tree, AliasOfADataclassRootIsCopiedWithResolvedFields) {
  // type P = Point, Point having a field that is an alias of int.
  Tree t = resolved({alias(2), alias(3), dataclass("Point", {{"x", 1, false}}), scalar(ScalarKind::Int)}, 0);
  EXPECT_EQ(t.root, 2u);
  EXPECT_EQ(t.tagged_root, 4u);
  EXPECT_EQ(t.nodes[4].as<Node::Tagged>()->fields[0].node, 3u);
}

TEST(Tree, OtherRootsAreTheirOwnTaggedRoot) {
  Tree t = resolved({scalar(ScalarKind::Int), scalar(ScalarKind::None), union_of({0, 1})}, 2);
  EXPECT_EQ(t.tagged_root, 2u);
  EXPECT_EQ(t.nodes.size(), 3u);
  EXPECT_EQ(t.kinds[2], f::integer | f::nil);
}

TEST(Tree, OptionalDataclassIsNilOrArray) {
  Tree t = resolved({dataclass("D", {}), scalar(ScalarKind::None), union_of({1}, {{"D", 0}})}, 2);
  EXPECT_EQ(t.kinds[2], f::nil | f::array);
}

TEST(Tree, RefsToPlainDataclassesAreGivenTheTaggedForm) {
  // class M: reply_to: Ref[M] -- the ref was compiled while M's slot was still empty.
  Tree self = resolved({dataclass("M", {{"reply_to", 1, true}}), Node{Node::Ref{0}}}, 0);
  ASSERT_EQ(self.nodes.size(), 3u);
  EXPECT_EQ(self.tagged_root, 2u);
  EXPECT_EQ(self.nodes[1].as<Node::Ref>()->message, 2u);  // shares the root's copy

  // Ref[Alias] where the alias leads to a dataclass: a copy of its own.
  Tree aliased = resolved({scalar(ScalarKind::Int), dataclass("M", {{"x", 0, true}}), alias(1), Node{Node::Ref{2}}}, 3);
  ASSERT_EQ(aliased.nodes.size(), 5u);
  EXPECT_EQ(aliased.nodes[3].as<Node::Ref>()->message, 4u);
  EXPECT_NE(aliased.nodes[4].as<Node::Tagged>(), nullptr);
  EXPECT_EQ(aliased.tagged_root, 3u);

  // A ref to an int keeps its node.
  Tree plain = resolved({scalar(ScalarKind::Int), Node{Node::Ref{0}}}, 1);
  EXPECT_EQ(plain.nodes.size(), 2u);
  EXPECT_EQ(plain.nodes[1].as<Node::Ref>()->message, 0u);
}

struct MaskCase {
  const char* name;
  Node node;
  Mask mask;
};

class OwnMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(OwnMask, OfEachKind) { EXPECT_EQ(own_mask(GetParam().node), GetParam().mask); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, OwnMask,
    ::testing::Values(
        MaskCase{"Never", Node{Node::Never{}}, 0}, MaskCase{"None", scalar(ScalarKind::None), f::nil},
        MaskCase{"Bool", scalar(ScalarKind::Bool), f::boolean}, MaskCase{"Int", scalar(ScalarKind::Int), f::integer},
        MaskCase{"Float", scalar(ScalarKind::Float), f::real}, MaskCase{"Str", scalar(ScalarKind::Str), f::str},
        MaskCase{"Bytes", scalar(ScalarKind::Bytes), f::bin},
        MaskCase{"Literal", Node{Node::Literal{{{std::int64_t{1}}, {std::string("a")}, {true}}}},
                 f::boolean | f::integer | f::str},
        MaskCase{"EmptyLiteral", Node{Node::Literal{}}, 0}, MaskCase{"DateTime", Node{Node::DateTime{}}, f::array},
        MaskCase{"Date", Node{Node::Date{}}, f::integer}, MaskCase{"Time", Node{Node::Time{}}, f::array},
        MaskCase{"TimeDelta", Node{Node::TimeDelta{}}, f::integer}, MaskCase{"Decimal", Node{Node::Decimal{}}, f::str},
        MaskCase{"UUID", Node{Node::UUID{}}, f::bin}, MaskCase{"Path", Node{Node::Path{0}}, f::str},
        MaskCase{"Enum", Node{Node::Enum{"E", {"A"}, 0}}, f::str}, MaskCase{"Opaque", Node{Node::Opaque{"P", 0}}, f::bin},
        MaskCase{"Collection", collection(0), f::array}, MaskCase{"Tuple", Node{Node::Tuple{}}, f::array},
        MaskCase{"Mapping", Node{Node::Mapping{false, 0, 0}}, f::array},
        MaskCase{"Dataclass", dataclass("D", {}), f::map}, MaskCase{"Tagged", Node{Node::Tagged{}}, f::array},
        MaskCase{"PlainUnion", union_of({0}), 0}, MaskCase{"TaggedUnion", union_of({}, {{"D", 0}}), f::array},
        MaskCase{"Ref", Node{Node::Ref{0}}, f::array}, MaskCase{"Alias", alias(0), 0}),
    [](const auto& info) { return info.param.name; });

TEST(Seen, FollowsUnionsAndAliasesAndSkipsUnfinishedSlots) {
  std::vector<std::optional<Node>> slots;
  slots.push_back(std::nullopt);               // 0: a named type still being built
  slots.push_back(scalar(ScalarKind::Int));    // 1
  slots.push_back(alias(1));                   // 2
  slots.push_back(union_of({0, 2, 3}));        // 3: reaches itself
  slots.push_back(union_of({}, {{"D", 0}}));   // 4
  EXPECT_EQ(seen(slots, 0), 0);
  EXPECT_EQ(seen(slots, 2), f::integer);
  EXPECT_EQ(seen(slots, 3), f::integer);
  EXPECT_EQ(seen(slots, 4), f::array);
}

TEST(Seen, LongAliasChainsStayOffTheCallStack) {
  std::vector<std::optional<Node>> slots;
  const Index n = 200000;
  for (Index i = 0; i + 1 < n; ++i) slots.push_back(alias(i + 1));
  slots.push_back(scalar(ScalarKind::Str));
  EXPECT_EQ(seen(slots, 0), f::str);
}

}  // namespace
}  // namespace vorel::core::schema::ir
