#include "net/handshake.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/msgpack.hpp"
#include "net/support.hpp"

namespace vorel::net::handshake {
namespace {

using compress::Name;
using testing::B;
using testing::concat;

core::Incarnation incarnation(std::uint8_t fill) {
  core::Incarnation inc;
  inc.fill(fill);
  return inc;
}

Hello hello(std::string cluster = "test", std::vector<Name> codecs = {Name::Zstd, Name::Lz4, Name::Zlib}) {
  return Hello{std::move(cluster), core::NodeId{"10.0.0.1:7000", incarnation(0x11)}, std::move(codecs),
               262144, 4194304, 262144};
}

B bin16(std::uint8_t fill) { return concat({B{0xc4, 0x10}, B(16, fill)}); }
B str(std::string_view s) {
  core::Bytes out;
  core::msgpack::write_str(out, s);
  return out;
}

// frame 262144, message 4194304, window 262144 as uint 32.
const B kSizes = {0xce, 0x00, 0x04, 0x00, 0x00, 0xce, 0x00, 0x40, 0x00, 0x00, 0xce, 0x00, 0x04, 0x00, 0x00};

struct Golden {
  std::string name;
  Message message;
  std::string_view wire_name;
  B payload;
};

class HandshakeGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(HandshakeGolden, EncodesAndDecodes) {
  const auto& c = GetParam();
  const auto encoded = encode(c.message);
  EXPECT_EQ(encoded.name, c.wire_name);
  EXPECT_EQ(encoded.payload, c.payload);
  auto back = decode(c.wire_name, c.payload);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, HandshakeGolden,
    ::testing::Values(
        Golden{"hello", hello(), "hello",
               concat({B{0x97}, str("test"), str("10.0.0.1:7000"), bin16(0x11), B{0x93}, str("zstd"), str("lz4"),
                       str("zlib"), kSizes})},
        Golden{"hello_client_no_codecs",
               Hello{"c", core::NodeId{std::nullopt, incarnation(1)}, {}, 1, 127, 128}, "hello",
               concat({B{0x97}, str("c"), B{0xc0}, bin16(1), B{0x90}, B{0x01, 0x7f, 0xcc, 0x80}})},
        Golden{"ack", HelloAck{core::NodeId{"a:1", incarnation(0x22)}, Name::Lz4}, "hello-ack",
               concat({B{0x93}, str("a:1"), bin16(0x22), str("lz4")})},
        Golden{"ack_without_codec", HelloAck{core::NodeId{std::nullopt, incarnation(0)}, std::nullopt}, "hello-ack",
               concat({B{0x93, 0xc0}, bin16(0), B{0xc0}})},
        Golden{"reject", HelloReject{"connection to itself"}, "hello-reject",
               concat({B{0x91}, str("connection to itself")})},
        Golden{"duplicate", HelloDuplicate{}, "hello-duplicate", B{0x90}}),
    [](const auto& info) { return info.param.name; });

TEST(HandshakeDecode, UnknownCodecsInAHelloAreSkipped) {
  const B payload = concat({B{0x97}, str("test"), B{0xc0}, bin16(3), B{0x92}, str("brotli"), str("lz4"), kSizes});
  auto got = decode("hello", payload);
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(std::get<Hello>(*got).codecs, std::vector<Name>{Name::Lz4});
}

TEST(HandshakeDecode, Tolerances) {
  // Wider forms than the smallest, and bytes after the last item.
  const B wide = concat({B{0xdc, 0x00, 0x07}, B{0xd9, 0x04}, testing::text("test"), B{0xc0}, B{0xc5, 0x00, 0x10},
                         B(16, 5), B{0xdc, 0x00, 0x00}, B{0xcf, 0, 0, 0, 0, 0, 0, 0, 1}, B{0x02},
                         B{0xcd, 0x00, 0x03}, B{0xff, 0xff}});
  auto got = decode("hello", wide);
  ASSERT_TRUE(got.has_value()) << got.error();
  const Hello expected{"test", core::NodeId{std::nullopt, incarnation(5)}, {}, 1, 2, 3};
  EXPECT_EQ(std::get<Hello>(*got), expected);

  auto duplicate = decode("hello-duplicate", B{0x90, 0x01, 0x02});
  ASSERT_TRUE(duplicate.has_value());
  EXPECT_EQ(*duplicate, Message{HelloDuplicate{}});
}

struct Malformed {
  std::string name;
  std::string wire_name;
  B payload;
};

class HandshakeMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(HandshakeMalformed, NamesTheMessage) {
  auto got = decode(GetParam().wire_name, GetParam().payload);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "malformed handshake message \"" + GetParam().wire_name + "\"");
}

B hello_with(B node, B codecs, B sizes, std::uint8_t header = 0x97) {
  return concat({B{header}, str("test"), std::move(node), std::move(codecs), std::move(sizes)});
}
const B kNode = concat({B{0xc0}, bin16(1)});

INSTANTIATE_TEST_SUITE_P(
    Handshake, HandshakeMalformed,
    ::testing::Values(
        Malformed{"empty", "hello", {}},
        Malformed{"not_an_array", "hello-duplicate", {0x80}},
        Malformed{"count_past_end", "hello-duplicate", {0x91}},
        Malformed{"hello_8_items", "hello", concat({hello_with(kNode, B{0x90}, kSizes, 0x98), B{0xc0}})},
        Malformed{"hello_6_items", "hello", hello_with(kNode, B{0x90}, kSizes, 0x96)},
        Malformed{"duplicate_1_item", "hello-duplicate", {0x91, 0xc0}},
        Malformed{"reject_2_items", "hello-reject", concat({B{0x92}, str("a"), str("b")})},
        Malformed{"reject_not_str", "hello-reject", {0x91, 0x01}},
        Malformed{"frame_signed", "hello", hello_with(kNode, B{0x90}, B{0xd0, 0x05, 0x01, 0x01})},
        Malformed{"window_negative", "hello", hello_with(kNode, B{0x90}, B{0x01, 0x01, 0xff})},
        Malformed{"size_float", "hello", hello_with(kNode, B{0x90}, B{0x01, 0x01, 0xca, 0, 0, 0, 0})},
        Malformed{"size_missing", "hello", hello_with(kNode, B{0x90}, B{0x01, 0x01})},
        Malformed{"incarnation15", "hello", hello_with(concat({B{0xc0, 0xc4, 0x0f}, B(15, 1)}), B{0x90}, kSizes)},
        Malformed{"incarnation17", "hello", hello_with(concat({B{0xc0, 0xc4, 0x11}, B(17, 1)}), B{0x90}, kSizes)},
        Malformed{"incarnation_str", "hello", hello_with(concat({B{0xc0}, str("0123456789abcdef")}), B{0x90}, kSizes)},
        Malformed{"address_int", "hello", hello_with(concat({B{0x01}, bin16(1)}), B{0x90}, kSizes)},
        Malformed{"codec_not_str", "hello", hello_with(kNode, B{0x91, 0x01}, kSizes)},
        Malformed{"cluster_not_utf8", "hello",
                  concat({B{0x97, 0xa2, 0xc3, 0x28}, kNode, B{0x90}, kSizes})},
        Malformed{"ack_unknown_codec", "hello-ack", concat({B{0x93}, kNode, str("brotli")})},
        Malformed{"ack_codec_int", "hello-ack", concat({B{0x93}, kNode, B{0x00}})},
        Malformed{"ack_2_items", "hello-ack", concat({B{0x92}, kNode})},
        Malformed{"unknown_name", "goodbye", {0x90}}),
    [](const auto& info) { return info.param.name; });

TEST(HandshakeDecode, TheNameIsShownInItsDebugForm) {
  auto got = decode(std::string("a\nb\x01", 4), B{0x90});
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "malformed handshake message \"a\\nb\\u{1}\"");
}

struct Answer {
  std::string name;
  Hello theirs;
  Hello ours;
  std::expected<HelloAck, std::string> expected;
};

class HandshakeAnswer : public ::testing::TestWithParam<Answer> {};

TEST_P(HandshakeAnswer, ChecksAndChooses) {
  const auto got = answer(GetParam().theirs, GetParam().ours);
  EXPECT_EQ(got, GetParam().expected);
}

Hello from(core::NodeId node, std::vector<Name> codecs, std::string cluster = "test") {
  Hello h = hello(std::move(cluster), std::move(codecs));
  h.node = std::move(node);
  return h;
}

Hello limited(std::uint64_t window, std::string cluster = "test") {
  Hello h = hello(std::move(cluster));
  h.node = core::NodeId{"10.0.0.2:7000", incarnation(0x33)};
  h.window = window;
  return h;
}

const core::NodeId kThem{"10.0.0.2:7000", incarnation(0x33)};
const core::NodeId kUs{"10.0.0.1:7000", incarnation(0x11)};

INSTANTIATE_TEST_SUITE_P(
    Handshake, HandshakeAnswer,
    ::testing::Values(
        Answer{"shared_lz4", from(kThem, {Name::Lz4}), from(kUs, {Name::Zstd, Name::Lz4}), HelloAck{kUs, Name::Lz4}},
        Answer{"dialer_order_wins", from(kThem, {Name::Zlib, Name::Zstd}), from(kUs, {Name::Zstd, Name::Lz4, Name::Zlib}),
               HelloAck{kUs, Name::Zlib}},
        Answer{"nothing_shared", from(kThem, {Name::Zlib}), from(kUs, {Name::Zstd}), HelloAck{kUs, std::nullopt}},
        Answer{"none_offered", from(kThem, {}), from(kUs, {Name::Zstd}), HelloAck{kUs, std::nullopt}},
        Answer{"cluster", from(kThem, {}, "blue"), from(kUs, {}, "green"),
               std::unexpected(std::string("cluster \"blue\" is not \"green\""))},
        Answer{"cluster_first", limited(131072, "blue"), limited(262144, "green"),
               std::unexpected(std::string("cluster \"blue\" is not \"green\""))},
        Answer{"limits", limited(131072), from(kUs, {}),
               std::unexpected(std::string(
                   "limits (frame, message, window) [262144, 4194304, 131072] are not [262144, 4194304, 262144]"))},
        Answer{"itself", from(kUs, {}), from(kUs, {}), std::unexpected(std::string("connection to itself"))},
        Answer{"restarted", from(core::NodeId{kUs.address, incarnation(0x12)}, {}), from(kUs, {}),
               HelloAck{kUs, std::nullopt}},
        Answer{"itself_client", from(core::NodeId{std::nullopt, incarnation(7)}, {}),
               from(core::NodeId{std::nullopt, incarnation(7)}, {}), std::unexpected(std::string("connection to itself"))},
        Answer{"two_clients", from(core::NodeId{std::nullopt, incarnation(7)}, {}),
               from(core::NodeId{std::nullopt, incarnation(8)}, {}),
               HelloAck{core::NodeId{std::nullopt, incarnation(8)}, std::nullopt}}),
    [](const auto& info) { return info.param.name; });

// Random, mutated and truncated payloads under every name: a message or the malformed text,
// never a crash; whatever decodes encodes to something that decodes the same.
TEST(HandshakeFuzz, DecodeRandomMutatedAndTruncatedPayloads) {
  std::mt19937_64 rng(0x4e110);
  const Message seeds[] = {hello(), HelloAck{kUs, Name::Zstd}, HelloReject{"no"}, HelloDuplicate{},
                           from(core::NodeId{std::nullopt, incarnation(9)}, {})};
  const std::string_view names[] = {kHello, kHelloAck, kHelloReject, kHelloDuplicate, "other"};
  for (int round = 0; round < 60000; ++round) {
    const auto seed = encode(seeds[testing::pick(rng, std::size(seeds))]);
    B payload = seed.payload;
    switch (round % 3) {
      case 0: payload = testing::mutate(rng, std::move(payload)); break;
      case 1: payload.resize(testing::pick(rng, payload.size() + 1)); break;
      default: payload = testing::random_bytes(rng, testing::pick(rng, 48));
    }
    const std::string_view name = rng() % 4 == 0 ? names[testing::pick(rng, std::size(names))] : seed.name;
    auto got = decode(name, payload);
    if (!got) {
      ASSERT_EQ(got.error(), "malformed handshake message \"" + std::string(name) + "\"");
      continue;
    }
    const auto again = encode(*got);
    ASSERT_EQ(again.name, name);
    auto back = decode(again.name, again.payload);
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(*back, *got);
  }
}

}  // namespace
}  // namespace vorel::net::handshake
