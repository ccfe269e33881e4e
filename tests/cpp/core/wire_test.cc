#include "core/wire.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <unordered_set>

#include "core/replication/stamp.hpp"
#include "testing/bytes.hpp"

namespace vorel::core {
namespace {

using B = std::vector<std::uint8_t>;
using msgpack::Malformed;

Incarnation counting() {
  Incarnation inc;
  for (int i = 0; i < 16; ++i) inc[i] = static_cast<std::uint8_t>(i);
  return inc;
}

Incarnation filled(std::uint8_t last) {
  Incarnation inc{};
  inc[15] = last;
  return inc;
}

B concat(std::initializer_list<B> parts) {
  B out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

B str(std::string_view s) {
  Bytes out;
  msgpack::write_str(out, s);
  return out;
}

TEST(NodeId, WireFormWithoutAddress) {
  wire::Writer w;
  w.node(NodeId{std::nullopt, counting()});
  const Incarnation c = counting();
  B inc(c.begin(), c.end());
  B expected = concat({{0x82}, str("address"), {0xc0}, str("incarnation"), {0xc4, 0x10}, inc});
  EXPECT_EQ(w.bytes(), expected);
  EXPECT_EQ(w.bytes().size(), 40u);
}

TEST(NodeId, RoundTrips) {
  for (const auto& id : {NodeId{std::nullopt, counting()}, NodeId{"10.0.0.1:7000", filled(9)}}) {
    wire::Writer w;
    w.node(id);
    wire::Reading r(w.bytes());
    auto back = r.node();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, id);
    EXPECT_TRUE(r.at_end());
  }
}

TEST(NodeId, Order) {
  const NodeId none_hi{std::nullopt, filled(0xff)};
  const NodeId a1{"a:1", filled(0)};
  const NodeId a10{"a:10", filled(0)};
  const NodeId a1_hi{"a:1", filled(1)};
  EXPECT_LT(none_hi, a1);
  EXPECT_LT(a1, a10);
  EXPECT_LT(a1, a1_hi);
  EXPECT_LT(a1_hi, a10);
  // Bytewise unsigned: a byte above 0x7f sorts after ASCII.
  EXPECT_LT(NodeId({"a", filled(0)}), NodeId({"\xc3\xa9", filled(0)}));
  std::set<NodeId> ordered{a10, a1_hi, none_hi, a1};
  EXPECT_EQ(std::vector<NodeId>(ordered.begin(), ordered.end()), (std::vector<NodeId>{none_hi, a1, a1_hi, a10}));
  std::unordered_set<NodeId> hashed{a1, NodeId{"a:1", filled(0)}, a10};
  EXPECT_EQ(hashed.size(), 2u);
}

TEST(Target, WireForms) {
  wire::Writer e;
  e.target(Target::entity("a", ""));
  EXPECT_EQ(e.bytes(), (B{0x93, 0xa1, 0x65, 0xa1, 0x61, 0xa0}));

  wire::Writer r;
  r.target(Target::reply(NodeId{std::nullopt, counting()}, -1));
  const Incarnation c = counting();
  B inc(c.begin(), c.end());
  EXPECT_EQ(r.bytes(), concat({{0x94, 0xa1, 0x72, 0xc0, 0xc4, 0x10}, inc, {0xff}}));

  for (const auto& t : {Target::entity("app:Counter", "k1"), Target::reply(NodeId{"h:1", filled(3)}, 1ll << 40)}) {
    wire::Writer w;
    w.target(t);
    wire::Reading in(w.bytes());
    auto back = in.target();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, t);
    EXPECT_EQ(back->hash(), t.hash());
  }
  EXPECT_NE(Target::entity("a", "b"), Target::entity("a", "c"));
}

TEST(Reading, Refusals) {
  struct Case {
    std::string name;
    B bytes;
    std::function<bool(wire::Reading&, Malformed&)> read;  // false: it failed, with the error out
    Malformed expected;
  };
  auto fails = [](auto result, Malformed& out) {
    if (result) return true;
    out = result.error();
    return false;
  };
  B inc15(15, 1);
  const std::vector<Case> cases = {
      {"node with only an address", concat({{0x81}, str("address"), str("h:1")}),
       [&](auto& r, auto& e) { return fails(r.node(), e); }, Malformed::truncated()},
      {"node with 15-byte incarnation", concat({{0x81}, str("incarnation"), {0xc4, 15}, inc15}),
       [&](auto& r, auto& e) { return fails(r.node(), e); }, Malformed::truncated()},
      {"node not a map", {0x92, 0xc0, 0xc0}, [&](auto& r, auto& e) { return fails(r.node(), e); },
       Malformed::marker(0x92)},
      {"entity target of two", concat({{0x92}, str("e"), str("a")}),
       [&](auto& r, auto& e) { return fails(r.target(), e); }, Malformed::truncated()},
      {"unknown tag", concat({{0x93}, str("x"), str("a"), str("b")}),
       [&](auto& r, auto& e) { return fails(r.target(), e); }, Malformed::truncated()},
      {"integer tag", concat({{0x93, 0x05}, str("a"), str("b")}),
       [&](auto& r, auto& e) { return fails(r.target(), e); }, Malformed::marker(0x05)},
      {"reply with short incarnation", concat({{0x94}, str("r"), {0xc0, 0xc4, 15}, inc15, {0x01}}),
       [&](auto& r, auto& e) { return fails(r.target(), e); }, Malformed::truncated()},
      {"int above i64", {0xcf, 0x80, 0, 0, 0, 0, 0, 0, 0}, [&](auto& r, auto& e) { return fails(r.int_(), e); },
       Malformed::marker(0x00)},
      {"unsigned of negative", {0xff}, [&](auto& r, auto& e) { return fails(r.unsigned_(), e); },
       Malformed::marker(0x00)},
      {"float of int", {0x01}, [&](auto& r, auto& e) { return fails(r.float_(), e); }, Malformed::marker(0x01)},
      {"tagged of three", concat({{0x93}, str("t"), {0x80, 0xc0}}),
       [&](auto& r, auto& e) { return fails(r.tagged(), e); }, Malformed::marker(0x00)},
      {"tagged second not a map", concat({{0x92}, str("t"), {0x90}}),
       [&](auto& r, auto& e) { return fails(r.tagged(), e); }, Malformed::marker(0x90)},
      {"address of int", {0x07}, [&](auto& r, auto& e) { return fails(r.address(), e); }, Malformed::marker(0x07)},
      {"nil at end", {}, [&](auto& r, auto& e) { return fails(r.nil(), e); }, Malformed::truncated()},
  };
  for (const auto& c : cases) {
    wire::Reading r(c.bytes);
    Malformed got;
    ASSERT_FALSE(c.read(r, got)) << c.name;
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST(Reading, Tolerances) {
  // Unknown keys are skipped whole; a repeated key takes its last value.
  const Incarnation c = counting();
  B inc(c.begin(), c.end());
  B other(16, 0xee);
  B bytes = concat({{0x84}, str("extra"), {0x92, 0x01, 0x02}, str("incarnation"), {0xc4, 0x10}, other, str("address"),
                    str("x:1"), str("incarnation"), {0xc4, 0x10}, inc});
  wire::Reading r(bytes);
  auto id = r.node();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(*id, (NodeId{"x:1", counting()}));

  B mixed{0xa0, 0xc0};
  wire::Reading n(mixed);
  EXPECT_EQ(n.nil(), false);
  EXPECT_EQ(n.position(), 0u);
  ASSERT_TRUE(n.read_str().has_value());
  EXPECT_EQ(n.nil(), true);
  EXPECT_TRUE(n.at_end());

  B f{0xca, 0x3f, 0x80, 0x00, 0x00};
  wire::Reading fr(f);
  EXPECT_EQ(fr.float_(), 1.0);

  B t = concat({{0x92}, str("Join"), {0x80}});
  wire::Reading tr(t);
  auto tagged = tr.tagged();
  ASSERT_TRUE(tagged.has_value());
  EXPECT_EQ(tagged->first, "Join");
  EXPECT_EQ(tagged->second, 0u);
}

TEST(Reading, FuzzNodeAndTarget) {
  std::mt19937_64 rng(7);
  wire::Writer seed;
  seed.array(2);
  seed.node(NodeId{"host:9", counting()});
  seed.target(Target::reply(NodeId{"h", filled(2)}, -77));
  const B base = seed.bytes();
  for (int round = 0; round < 20000; ++round) {
    B input = base;
    if (round % 2) {
      input.resize(rng() % (input.size() + 1));
    } else {
      for (int k = 0; k < 4; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
    }
    const testing::Exact exact(input);
    wire::Reading r(exact.view());
    if (!r.items()) continue;
    if (r.node()) (void)r.target();
    ASSERT_LE(r.position(), input.size());
  }
}

TEST(Stamp, Order) {
  using replication::Epoch;
  using replication::Stamp;
  const NodeId any{"a:1", filled(5)};
  const Stamp s{Epoch{3, any}, 9};
  EXPECT_FALSE(Stamp::before(s, s));
  EXPECT_TRUE(Stamp::before(s, Stamp{Epoch{4, NodeId{"z:1", filled(0)}}, 1}));
  // Same round: the incarnation decides, whatever the versions and addresses.
  const Stamp low{Epoch{7, NodeId{"z:9", filled(1)}}, 100};
  const Stamp high{Epoch{7, NodeId{"a:1", filled(2)}}, 1};
  EXPECT_TRUE(Stamp::before(low, high));
  EXPECT_FALSE(Stamp::before(high, low));
  // Same round and incarnation: versions compare only for the very same node.
  const Stamp v1{Epoch{7, NodeId{"a:1", filled(2)}}, 1};
  const Stamp v2{Epoch{7, NodeId{"a:1", filled(2)}}, 2};
  const Stamp other_address{Epoch{7, NodeId{"b:1", filled(2)}}, 2};
  EXPECT_TRUE(Stamp::before(v1, v2));
  EXPECT_FALSE(Stamp::before(v1, other_address));
  EXPECT_FALSE(Stamp::before(other_address, v1));
  const Epoch z1{7, NodeId{"z", filled(1)}};
  EXPECT_TRUE(z1.lower_than(Epoch{7, NodeId{"a", filled(2)}}));
  EXPECT_FALSE(z1.lower_than(Epoch{7, NodeId{"a", filled(1)}}));
}

}  // namespace
}  // namespace vorel::core
