#include "net/frame.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/support.hpp"

namespace vorel::net {
namespace {

using testing::B;
using testing::concat;

B written(const Frame& f) {
  core::Bytes out;
  f.write(out);
  return out;
}

B header(std::uint8_t kind, std::uint16_t flags, std::uint32_t stream, std::uint32_t length) {
  core::Bytes out;
  frame::header(out, kind, flags, stream, length);
  return out;
}

// One decode over all the bytes at once.
std::expected<std::optional<Frame>, std::string> decode_one(const B& bytes, std::uint64_t limit = 1024) {
  frame::Decoder d(limit);
  d.append(bytes);
  return d.frame();
}

struct Golden {
  std::string name;
  Frame frame;
  B bytes;
};

class FrameGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(FrameGolden, WritesAndReadsBack) {
  const auto& c = GetParam();
  EXPECT_EQ(written(c.frame), c.bytes);
  auto back = decode_one(c.bytes);
  ASSERT_TRUE(back.has_value()) << back.error();
  ASSERT_TRUE(back->has_value());
  EXPECT_EQ(**back, c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameGolden,
    ::testing::Values(
        Golden{"data", Frame{Frame::Data{{'a', 'b', 'c'}, 3, false}},
               {0x02, 0x00, 0x00, 0x00, 0, 0, 0, 3, 0, 0, 0, 3, 'a', 'b', 'c'}},
        Golden{"compressed", Frame{Frame::Data{{0xff}, 5, true}},
               {0x02, 0x00, 0x00, 0x10, 0, 0, 0, 5, 0, 0, 0, 1, 0xff}},
        Golden{"empty_data", Frame{Frame::Data{{}, 1, false}}, {0x02, 0x00, 0x00, 0x00, 0, 0, 0, 1, 0, 0, 0, 0}},
        Golden{"window", Frame{Frame::Window{5, 262144}}, {0x02, 0x01, 0x00, 0x00, 0, 0, 0, 5, 0x00, 0x04, 0x00, 0x00}},
        Golden{"ping", Frame{Frame::Ping{}}, {0x02, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        Golden{"pong", Frame{Frame::Pong{}}, {0x02, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        Golden{"close", Frame{Frame::Close{}}, {0x02, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(FrameDecoder, ElevenBytesNeedMoreAndTheTwelfthCompletes) {
  for (const Frame& f : {Frame{Frame::Window{3, 7}}, Frame{Frame::Ping{}}, Frame{Frame::Pong{}}, Frame{Frame::Close{}}}) {
    const B bytes = written(f);
    frame::Decoder d(1024);
    d.append(core::ByteView(bytes).first(11));
    auto none = d.frame();
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->has_value());
    EXPECT_EQ(d.position(), 0u);
    d.append(core::ByteView(bytes).subspan(11));
    auto got = d.frame();
    ASSERT_TRUE(got.has_value() && got->has_value());
    EXPECT_EQ(**got, f);
  }
}

TEST(FrameDecoder, DataAtTheLimitIsAcceptedAndOneByteMoreIsRefusedFromItsHeader) {
  const B at_limit = concat({header(frame::kData, 0, 3, 100), B(100, 7)});
  auto ok = decode_one(at_limit, 100);
  ASSERT_TRUE(ok.has_value() && ok->has_value());
  EXPECT_EQ(std::get<Frame::Data>((*ok)->value).payload, B(100, 7));

  // Only the header has arrived.
  auto refused = decode_one(header(frame::kData, 0, 3, 101), 100);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "frame of 101 bytes exceeds 100");
}

TEST(FrameDecoder, WindowCreditIsNotAFrameLength) {
  auto got = decode_one(header(frame::kWindow, 0, 3, 0xffffffffu), 1);
  ASSERT_TRUE(got.has_value() && got->has_value());
  EXPECT_EQ(**got, (Frame{Frame::Window{3, 0xffffffffu}}));
}

TEST(FrameDecoder, CloseDropsItsPayloadAndDecodingGoesOn) {
  frame::Decoder d(1024);
  d.append(concat({header(frame::kClose, 0, 0, 4), B{1, 2, 3, 4}, written(Frame{Frame::Ping{}})}));
  auto close = d.frame();
  ASSERT_TRUE(close.has_value() && close->has_value());
  EXPECT_EQ(**close, Frame{Frame::Close{}});
  auto ping = d.frame();
  ASSERT_TRUE(ping.has_value() && ping->has_value());
  EXPECT_EQ(**ping, Frame{Frame::Ping{}});
}

struct Refusal {
  std::string name;
  B bytes;
  std::string text;
};

class FrameRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(FrameRefusal, Text) {
  auto got = decode_one(GetParam().bytes, 64);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), GetParam().text);
}

B with_version(std::uint8_t v) {
  B h = header(frame::kPing, 0, 0, 0);
  h[0] = v;
  return h;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameRefusal,
    ::testing::Values(
        Refusal{"version1", with_version(1), "unknown frame version 1"},
        Refusal{"version255", with_version(255), "unknown frame version 255"},
        Refusal{"window_credit0", header(frame::kWindow, 0, 3, 0), "malformed window update"},
        Refusal{"window_flags", header(frame::kWindow, 0x10, 3, 5), "malformed window update"},
        Refusal{"data_flags1", header(frame::kData, 0x0001, 3, 0), "unknown frame type 0 with flags 0x1"},
        Refusal{"data_flags_both", header(frame::kData, 0x0011, 3, 0), "unknown frame type 0 with flags 0x11"},
        Refusal{"ping_payload", concat({header(frame::kPing, 0, 0, 1), B{9}}), "unknown frame type 2 with flags 0x0"},
        Refusal{"pong_payload", concat({header(frame::kPong, 0, 0, 1), B{9}}), "unknown frame type 4 with flags 0x0"},
        Refusal{"ping_flags", header(frame::kPing, 0x8000, 0, 0), "unknown frame type 2 with flags 0x8000"},
        Refusal{"close_flags", header(frame::kClose, 0x10, 0, 0), "unknown frame type 3 with flags 0x10"},
        Refusal{"kind5", header(5, 0, 0, 0), "unknown frame type 5 with flags 0x0"},
        Refusal{"kind255_flags", header(255, 0xabcd, 9, 0), "unknown frame type 255 with flags 0xabcd"},
        Refusal{"data_over", header(frame::kData, 0, 3, 65), "frame of 65 bytes exceeds 64"},
        Refusal{"close_over", header(frame::kClose, 0, 0, 65), "frame of 65 bytes exceeds 64"},
        Refusal{"unknown_over", header(9, 0, 0, 4294967295u), "frame of 4294967295 bytes exceeds 64"}),
    [](const auto& info) { return info.param.name; });

// Leaves the decoder just past one Data frame ending at `end`, in a buffer filled to `filled`.
frame::Decoder decoded_to(std::size_t end, std::size_t filled) {
  frame::Decoder d(1 << 20);
  B bytes = concat({header(frame::kData, 0, 3, static_cast<std::uint32_t>(end - frame::kHeader)),
                    B(end - frame::kHeader, 1)});
  // The rest is the start of a frame that has not fully arrived.
  bytes.resize(filled, 0);
  const B next = header(frame::kData, 0, 3, 1 << 20);
  std::copy(next.begin(), next.end(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
  d.append(bytes);
  auto got = d.frame();
  EXPECT_TRUE(got.has_value() && got->has_value());
  return d;
}

TEST(FrameDecoder, CompactsOnlyPastSixtyFourKibibytesAndHalfTheBuffer) {
  struct Case {
    std::size_t end, filled, position, left;
  };
  for (const Case c : {Case{70000, 100000, 0, 30000}, Case{70000, 200000, 70000, 200000},
                       Case{65536, 100000, 65536, 100000}, Case{65536, 65600, 65536, 65600}}) {
    const auto d = decoded_to(c.end, c.filled);
    EXPECT_EQ(d.position(), c.position) << c.end << "/" << c.filled;
    EXPECT_EQ(d.filled(), c.left) << c.end << "/" << c.filled;
  }
}

TEST(FrameDecoder, ReusesAFullyDecodedBuffer) {
  frame::Decoder d(1024);
  d.append(written(Frame{Frame::Ping{}}));
  ASSERT_TRUE(d.frame().has_value());
  EXPECT_EQ(d.position(), 12u);
  d.append(written(Frame{Frame::Pong{}}));
  EXPECT_EQ(d.position(), 0u);
  EXPECT_EQ(d.filled(), 12u);
}

// Valid frames, cut into random blocks, then mutated or truncated: the decoder returns frames,
// asks for more or names an error, never reads outside its buffer, never yields a payload above
// the limit and never holds much more than was given to it. Every other round the blocks are lent
// and the payloads come in pieces, which follow each other without gap or overlap.
TEST(FrameFuzz, RandomMutatedAndTruncatedStreams) {
  std::mt19937_64 rng(0x5eed);
  constexpr std::uint64_t kLimit = 512;
  for (int round = 0; round < 20000; ++round) {
    B stream;
    const std::size_t frames = 1 + testing::pick(rng, 6);
    for (std::size_t i = 0; i < frames; ++i) {
      switch (testing::pick(rng, 5)) {
        case 0: Frame{Frame::Data{testing::random_bytes(rng, testing::pick(rng, kLimit + 1)),
                                  static_cast<std::uint32_t>(rng()), rng() % 2 == 0}}.write(stream); break;
        case 1: Frame{Frame::Window{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng())}}.write(stream); break;
        case 2: Frame{Frame::Ping{}}.write(stream); break;
        case 3: Frame{Frame::Pong{}}.write(stream); break;
        default: Frame{Frame::Close{}}.write(stream);
      }
    }
    if (round % 3 == 0) stream = testing::mutate(rng, std::move(stream));
    if (round % 3 == 1) stream = testing::random_bytes(rng, testing::pick(rng, 200));
    if (round % 5 == 0) stream.resize(testing::pick(rng, stream.size() + 1));

    frame::Decoder d(kLimit);
    const bool lent = round % 2 == 1;
    std::optional<frame::Piece> previous;  // the last piece of a frame still arriving
    std::size_t given = 0;
    bool failed = false;
    while (given < stream.size() && !failed) {
      const std::size_t block = std::min(stream.size() - given, 1 + testing::pick(rng, 64));
      if (lent) {
        d.lend(core::ByteView(stream).subspan(given, block));
      } else {
        d.append(core::ByteView(stream).subspan(given, block));
      }
      given += block;
      for (;;) {
        if (lent) {
          auto got = d.next();
          if (!got) {
            failed = true;
            break;
          }
          if (!got->has_value()) break;
          const auto* piece = std::get_if<frame::Piece>(&**got);
          ASSERT_EQ(piece != nullptr && !piece->first, previous.has_value());
          if (piece == nullptr) continue;
          ASSERT_LE(piece->length, kLimit);
          ASSERT_LE(piece->offset + piece->bytes.size(), piece->length);
          if (previous) {
            ASSERT_EQ(piece->offset, previous->offset + previous->bytes.size());
            ASSERT_EQ(piece->stream, previous->stream);
          }
          previous.reset();
          if (!piece->last()) previous = *piece;
          continue;
        }
        auto got = d.frame();
        if (!got) {
          failed = true;
          break;
        }
        if (!got->has_value()) break;
        if (const auto* data = std::get_if<Frame::Data>(&(*got)->value)) {
          ASSERT_LE(data->payload.size(), kLimit);
        }
      }
      ASSERT_LE(d.position(), d.filled());
      ASSERT_LE(d.filled(), given);
    }
  }
}

}  // namespace
}  // namespace vorel::net
