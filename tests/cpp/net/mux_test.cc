#include "net/mux.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <string>

#include "net/support.hpp"

namespace vorel::net {
namespace {

using testing::B;
using testing::concat;

Limits limits(std::uint64_t frame, std::uint64_t message, std::uint64_t window) {
  Limits l;
  l.frame = frame;
  l.message = message;
  l.window = window;
  return l;
}

const Limits kSmall = limits(1024, 4096, 2048);

B be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}

B envelope(std::string_view name, const B& payload) {
  return concat({be32(static_cast<std::uint32_t>(1 + name.size() + payload.size())),
                 B{static_cast<std::uint8_t>(name.size())}, testing::text(name), payload});
}

Frame data(std::uint32_t stream, B payload, bool compressed = false) {
  return Frame{Frame::Data{std::move(payload), stream, compressed}};
}

std::vector<Frame> frames_of(const B& bytes) {
  frame::Decoder d(1ull << 32);
  d.append(bytes);
  std::vector<Frame> out;
  for (;;) {
    auto f = d.frame();
    EXPECT_TRUE(f.has_value());
    if (!f || !f->has_value()) break;
    out.push_back(std::move(**f));
  }
  EXPECT_EQ(d.position(), d.filled());
  return out;
}

std::vector<mux::Record> received(Mux& m, const Frame& f) {
  auto r = m.receive(f);
  EXPECT_TRUE(r.has_value()) << r.error();
  return r ? std::move(*r) : std::vector<mux::Record>{};
}

void feed(Mux& to, const B& bytes, std::vector<mux::Record>* records = nullptr) {
  for (const auto& f : frames_of(bytes)) {
    auto got = received(to, f);
    if (records) records->insert(records->end(), got.begin(), got.end());
  }
}

TEST(Mux, SendAppendsOneEnvelope) {
  Mux m(kSmall, 0);
  ASSERT_TRUE(m.send(mux::kEnvelopes, "actors", B(10, 0xee)).has_value());
  EXPECT_EQ(m.slot(3).unsent(), 21u);
  EXPECT_EQ(m.slot(1).unsent(), 0u);
  EXPECT_EQ(m.slot(5).unsent(), 0u);
  EXPECT_EQ(frames_of(m.output()),
            (std::vector<Frame>{data(3, concat({B{0, 0, 0, 17, 6}, testing::text("actors"), B(10, 0xee)}))}));
}

TEST(Mux, StreamOfAName) {
  EXPECT_EQ(mux::stream_of("replication"), 5u);
  for (const char* other : {"replication2", "replicatio", "", "actors", "membership", "replies", "Replication"}) {
    EXPECT_EQ(mux::stream_of(other), 3u) << other;
  }
}

TEST(Mux, AFreshMuxHasFullWindowsAndNothingToSay) {
  Mux m(kSmall, 0);
  for (const auto s : mux::kStreams) {
    EXPECT_EQ(m.slot(s).send_window, 2048u);
    EXPECT_EQ(m.slot(s).allowance, 2048u);
  }
  EXPECT_TRUE(m.output().empty());
  EXPECT_EQ(m.codec(), std::nullopt);
}

// An envelope four windows long: the three incomplete chunks are credited back as they arrive,
// the last only when the node takes the record.
TEST(Mux, AnEnvelopeLargerThanTheWindowCompletes) {
  const Limits l = limits(262144, 4 << 20, 262144);
  Mux a(l, 0), b(l, 0);
  const B payload = testing::compressible(1048576 - 4 - 1 - 6);
  ASSERT_TRUE(a.send(3, "actors", payload).has_value());
  std::vector<mux::Record> records;
  for (int chunk = 0; chunk < 4; ++chunk) {
    const auto frames = frames_of(a.output());
    ASSERT_EQ(frames.size(), 1u) << chunk;
    EXPECT_EQ(std::get<Frame::Data>(frames[0].value).payload.size(), 262144u);
    EXPECT_EQ(a.slot(3).send_window, 0u);
    for (const auto& f : frames) {
      auto got = received(b, f);
      records.insert(records.end(), got.begin(), got.end());
    }
    feed(a, b.output());
  }
  EXPECT_TRUE(a.output().empty());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].payload, payload);
  EXPECT_EQ(records[0].credit, 262144u);
  EXPECT_EQ(records[0].stream, 3u);
  EXPECT_EQ(a.slot(3).send_window, 0u);

  b.consume(records[0]);
  const auto credit = frames_of(b.output());
  ASSERT_EQ(credit.size(), 1u);
  EXPECT_EQ(credit[0], (Frame{Frame::Window{3, 262144}}));
  ASSERT_TRUE(a.receive(credit[0]).has_value());
  EXPECT_EQ(a.slot(3).send_window, 262144u);
}

TEST(Mux, TwoEnvelopesInOneFrameAreCutInOrder) {
  Mux m(kSmall, 0);
  const B first = envelope("membership", B(20, 1));
  const B second = envelope("actors", B(7, 2));
  // The first three bytes of the first envelope arrive alone and are credited at once.
  EXPECT_TRUE(received(m, data(3, B(first.begin(), first.begin() + 3))).empty());
  EXPECT_EQ(m.slot(3).grant, 3u);
  const auto records = received(m, data(3, concat({B(first.begin() + 3, first.end()), second})));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (mux::Record{"membership", B(20, 1), first.size() - 3, 3}));
  EXPECT_EQ(records[1], (mux::Record{"actors", B(7, 2), second.size(), 3}));
  EXPECT_EQ(m.slot(3).grant, 3u);
  EXPECT_EQ(m.slot(3).partial(), 0u);
  EXPECT_EQ(m.slot(3).allowance, 2048u - first.size() - second.size());
}

// Three envelopes cut into two frames at every point: each arrives once, whole and in order, the
// credits add up to the bytes sent, and between the frames the stream keeps only the envelope still
// arriving, not the frame it came in.
TEST(Mux, EnvelopesCutAnywhereArriveWholeAndOnlyTheIncompleteOneIsKept) {
  const std::vector<B> envelopes = {envelope("membership", B(20, 1)), envelope("actors", B(300, 2)),
                                    envelope("replies", B(5, 3))};
  const B stream = concat({envelopes[0], envelopes[1], envelopes[2]});
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    Mux m(kSmall, 0);
    std::vector<mux::Record> records = received(m, data(3, B(stream.begin(), stream.begin() + cut)));
    std::size_t whole = 0, ends = 0;
    while (whole < envelopes.size() && ends + envelopes[whole].size() <= cut) ends += envelopes[whole++].size();
    ASSERT_EQ(records.size(), whole) << cut;
    EXPECT_EQ(m.slot(3).partial(), cut - ends) << cut;
    const auto rest = received(m, data(3, B(stream.begin() + cut, stream.end())));
    records.insert(records.end(), rest.begin(), rest.end());
    ASSERT_EQ(records.size(), envelopes.size()) << cut;
    std::uint64_t credit = m.slot(3).grant;
    for (const auto& r : records) credit += r.credit;
    EXPECT_EQ(records[0].name, "membership") << cut;
    EXPECT_EQ(records[1].payload, B(300, 2)) << cut;
    EXPECT_EQ(records[2].name, "replies") << cut;
    EXPECT_EQ(credit, stream.size()) << cut;
    EXPECT_EQ(m.slot(3).partial(), 0u) << cut;
  }
}

// The frames of one output read in two parts cut at every point come out as they were written,
// whether the reads are copied into the decoder and taken as whole frames or lent to it and taken
// as pieces. A lent raw payload is handed on where it lies: the decoder's own buffer only ever holds
// a split header or a frame that must be whole (here at most the compressed one).
TEST(Mux, FramesReadInTwoPartsComeOutWholeAndALentRawPayloadIsNotBuffered) {
  const std::vector<Frame> written = {data(3, testing::compressible(3000)), Frame{Frame::Window{5, 9}},
                                      data(5, B(40, 7), true), Frame{Frame::Ping{}}, data(1, B{}),
                                      data(5, B(70, 8))};
  B bytes;
  for (const auto& f : written) f.write(bytes);
  for (const bool lent : {false, true}) {
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
      frame::Decoder d(4096);
      std::vector<Frame> out;
      std::optional<Frame::Data> gathered;
      const auto read = [&](core::ByteView part) {
        if (!lent) {
          d.append(part);
          for (;;) {
            auto f = d.frame();
            ASSERT_TRUE(f.has_value()) << f.error();
            if (!f->has_value()) break;
            out.push_back(std::move(**f));
          }
          return;
        }
        d.lend(part);
        for (;;) {
          auto item = d.next();
          ASSERT_TRUE(item.has_value()) << item.error();
          if (!item->has_value()) break;
          if (const auto* f = std::get_if<Frame>(&**item)) {
            out.push_back(*f);
            continue;
          }
          const auto& piece = std::get<frame::Piece>(**item);
          ASSERT_EQ(piece.first, !gathered.has_value()) << cut;
          if (piece.first) gathered.emplace(Frame::Data{{}, piece.stream, piece.compressed});
          gathered->payload.insert(gathered->payload.end(), piece.bytes.begin(), piece.bytes.end());
          if (piece.last()) {
            out.push_back(Frame{std::move(*gathered)});
            gathered.reset();
          }
        }
        EXPECT_LE(d.filled(), frame::kHeader + 40) << cut;
      };
      read(core::ByteView(bytes).first(cut));
      if (lent && cut >= frame::kHeader && cut < frame::kHeader + 3000) EXPECT_EQ(d.filled(), 0u) << cut;
      read(core::ByteView(bytes).subspan(cut));
      EXPECT_EQ(out, written) << lent << " " << cut;
    }
  }
}

// One frame of three envelopes handed on in two pieces cut at every point: the records are those
// of the frame taken whole. The bytes of an envelope left incomplete by the first piece are granted
// back at once, as if the frame had been cut there, so the credits still add up to the frame.
TEST(Mux, EnvelopesInAFrameThatArrivesInPiecesAreCutAsFromTheWholeFrame) {
  const std::vector<B> envelopes = {envelope("membership", B(20, 1)), envelope("actors", B(300, 2)),
                                    envelope("replies", B(5, 3))};
  const B stream = concat({envelopes[0], envelopes[1], envelopes[2]});
  Mux whole(kSmall, 0);
  const auto expected = received(whole, data(3, stream));
  ASSERT_EQ(expected.size(), 3u);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Mux m(kSmall, 0);
    const core::ByteView all(stream);
    auto first = m.receive(frame::Piece{all.first(cut), 3, false, stream.size(), 0, true});
    ASSERT_TRUE(first.has_value()) << first.error();
    // The first piece weighs the whole frame against the window.
    EXPECT_EQ(m.slot(3).allowance, 2048u - stream.size()) << cut;
    auto rest = m.receive(frame::Piece{all.subspan(cut), 3, false, stream.size(), cut, false});
    ASSERT_TRUE(rest.has_value()) << rest.error();
    first->insert(first->end(), rest->begin(), rest->end());
    ASSERT_EQ(first->size(), expected.size()) << cut;
    std::uint64_t credit = m.slot(3).grant;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ((*first)[i].name, expected[i].name) << cut;
      EXPECT_EQ((*first)[i].payload, expected[i].payload) << cut;
      EXPECT_EQ((*first)[i].stream, 3u) << cut;
      credit += (*first)[i].credit;
    }
    EXPECT_EQ(credit, stream.size()) << cut;
    EXPECT_EQ(m.slot(3).allowance, 2048u - stream.size()) << cut;
    EXPECT_EQ(m.slot(3).partial(), 0u) << cut;
  }
}

// A raw frame beyond the window is refused by its first piece, before an envelope that piece
// already completes goes on, as the whole frame would be.
TEST(Mux, AFrameBeyondTheWindowIsRefusedByItsFirstPiece) {
  const B one = envelope("actors", B(100, 1));
  Mux m(kSmall, 0);
  auto got = m.receive(frame::Piece{one, 3, false, 2049, 0, true});
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "stream 3 exceeded its window");
}

TEST(Mux, ThreeBytesOnAnEmptyStreamAreGrantedBack) {
  Mux m(kSmall, 0);
  EXPECT_TRUE(received(m, data(5, B{0, 0, 0})).empty());
  EXPECT_EQ(m.slot(5).grant, 3u);
  EXPECT_EQ(m.slot(5).credited, 3u);
  // The credit goes out with nothing else to send.
  EXPECT_EQ(frames_of(m.output()), (std::vector<Frame>{Frame{Frame::Window{5, 3}}}));
  EXPECT_EQ(m.slot(5).grant, 0u);
  EXPECT_EQ(m.slot(5).allowance, 2048u);
}

TEST(Mux, TheLargestEnvelopeFitsAndOneByteMoreDoesNot) {
  const Limits l = limits(1 << 20, 1000, 1 << 20);
  Mux ok(l, 0);
  const auto records = received(ok, data(3, envelope(std::string(255, 'n'), B(1000, 9))));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].payload.size(), 1000u);

  Mux over(l, 0);
  auto got = over.receive(data(3, envelope(std::string(255, 'n'), B(1001, 9))));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), "envelope of 1257 bytes on stream 3");
}

struct Refusal {
  std::string name;
  std::vector<Frame> frames;
  std::string text;
};

class MuxRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(MuxRefusal, Text) {
  Mux m(limits(1024, 100, 2048), 0);
  const auto& frames = GetParam().frames;
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) ASSERT_TRUE(m.receive(frames[i]).has_value());
  auto got = m.receive(frames.back());
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Mux, MuxRefusal,
    ::testing::Values(
        Refusal{"length0", {data(3, B{0, 0, 0, 0})}, "envelope of 0 bytes on stream 3"},
        Refusal{"length_over", {data(5, be32(357))}, "envelope of 357 bytes on stream 5"},
        Refusal{"name_past_end", {data(3, concat({be32(3), B{3, 'a', 'b'}}))}, "malformed envelope on stream 3"},
        Refusal{"payload_over", {data(1, concat({be32(102), B{0}, B(101, 0)}))}, "malformed envelope on stream 1"},
        Refusal{"name_not_utf8", {data(3, concat({be32(3), B{2, 0xc3, 0x28}}))},
                "envelope name is not UTF-8 on stream 3"},
        // An envelope in progress is checked as soon as its length is whole, and again once it is.
        Refusal{"length0_split", {data(3, B{0, 0}), data(3, B{0, 0})}, "envelope of 0 bytes on stream 3"},
        Refusal{"length_over_split", {data(5, B{0}), data(5, B{0, 1, 101, 0})}, "envelope of 357 bytes on stream 5"},
        Refusal{"name_not_utf8_split", {data(3, concat({be32(3), B{2}})), data(3, B{0xc3, 0x28})},
                "envelope name is not UTF-8 on stream 3"},
        Refusal{"name_past_end_split", {data(3, concat({be32(3), B{3}})), data(3, B{'a', 'b'})},
                "malformed envelope on stream 3"},
        Refusal{"payload_over_split", {data(1, concat({be32(102), B{0}, B(50, 0)})), data(1, B(51, 0))},
                "malformed envelope on stream 1"},
        Refusal{"data_stream2", {data(2, B{1})}, "unknown stream 2"},
        Refusal{"data_stream0", {data(0, B{})}, "unknown stream 0"},
        Refusal{"window_stream7", {Frame{Frame::Window{7, 1}}}, "unknown stream 7"},
        Refusal{"compressed_without_codec", {data(3, B{1}, true)},
                "compressed frame on a connection without compression"},
        Refusal{"over_window", {data(3, B(2049, 0))}, "stream 3 exceeded its window"},
        // Credit granted but not yet sent does not raise the allowance.
        Refusal{"over_window_later", {data(5, B{0, 0, 1}), data(5, B(2046, 0))}, "stream 5 exceeded its window"}),
    [](const auto& info) { return info.param.name; });

TEST(Mux, ACompressedFrameThatDoesNotDecodeEndsWithTheCodecText) {
  Mux m(kSmall, 0);
  m.codec(compress::Name::Zlib);
  auto got = m.receive(data(3, B{1, 2, 3}, true));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().rfind("corrupt zlib frame: ", 0), 0u) << got.error();

  Mux bomb(kSmall, 0);
  bomb.codec(compress::Name::Lz4);
  auto big = bomb.receive(data(3, compress::Name(compress::Name::Lz4).compress(B(1025, 0)), true));
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error(), "lz4 frame truncated or larger than 1024 bytes");
}

TEST(Mux, APingIsAnsweredFirstInTheNextOutput) {
  Mux m(kSmall, 0);
  ASSERT_TRUE(m.send(3, "actors", B{1}).has_value());
  EXPECT_TRUE(received(m, Frame{Frame::Ping{}}).empty());
  EXPECT_TRUE(received(m, Frame{Frame::Ping{}}).empty());
  const B out = m.output();
  ASSERT_GE(out.size(), 12u);
  EXPECT_EQ(B(out.begin(), out.begin() + 12), B({2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Pings that arrive between two outputs share one Pong.
  const auto frames = frames_of(out);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<Frame::Data>(frames[1].value));
  // Pong and Close change nothing.
  EXPECT_TRUE(received(m, Frame{Frame::Pong{}}).empty());
  EXPECT_TRUE(received(m, Frame{Frame::Close{}}).empty());
  EXPECT_TRUE(m.output().empty());
}

TEST(Mux, OutputOrderIsControlThenStreamsEachCreditBeforeData) {
  Mux m(kSmall, 0);
  ASSERT_TRUE(m.send(5, "replication", B{5}).has_value());
  ASSERT_TRUE(m.send(3, "actors", B{3}).has_value());
  ASSERT_TRUE(m.send(1, "hello", B{1}).has_value());
  ASSERT_TRUE(m.receive(data(5, B{0})).has_value());
  ASSERT_TRUE(m.receive(data(1, B{0})).has_value());
  m.ping();
  const auto frames = frames_of(m.output());
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0], Frame{Frame::Ping{}});
  EXPECT_EQ(frames[1], (Frame{Frame::Window{1, 1}}));
  EXPECT_EQ(std::get<Frame::Data>(frames[2].value).stream, 1u);
  EXPECT_EQ(std::get<Frame::Data>(frames[3].value).stream, 3u);
  EXPECT_EQ(frames[4], (Frame{Frame::Window{5, 1}}));
  EXPECT_EQ(std::get<Frame::Data>(frames[5].value).stream, 5u);
}

TEST(Mux, ChunksAreCutAtTheFrameLimitAndTheWindow) {
  Mux m(limits(100, 4096, 250), 0);
  ASSERT_TRUE(m.send(3, "actors", B(400, 1)).has_value());
  std::vector<std::size_t> sizes;
  for (const auto& f : frames_of(m.output())) sizes.push_back(std::get<Frame::Data>(f.value).payload.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{100, 100, 50}));
  EXPECT_EQ(m.slot(3).send_window, 0u);
  EXPECT_EQ(m.slot(3).unsent(), 411u - 250u);
  ASSERT_TRUE(m.receive(Frame{Frame::Window{3, 1000}}).has_value());
  sizes.clear();
  for (const auto& f : frames_of(m.output())) sizes.push_back(std::get<Frame::Data>(f.value).payload.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{100, 61}));
  EXPECT_EQ(m.slot(3).unsent(), 0u);
}

TEST(Mux, CompressesOnlyChunksOfMinBytesThatShrink) {
  struct Case {
    B payload;
    bool compressed;
  };
  std::mt19937_64 rng(3);
  // The envelope header takes 4 + 1 + 6 bytes of each chunk.
  const Case cases[] = {{testing::compressible(4095 - 11), false},
                        {testing::compressible(4096 - 11), true},
                        {testing::random_bytes(rng, 4096 - 11), false}};
  for (const compress::Name codec : {compress::Name::Zstd, compress::Name::Lz4, compress::Name::Zlib}) {
    for (const auto& c : cases) {
      Mux a(limits(1 << 20, 1 << 20, 1 << 20), 4096), b(limits(1 << 20, 1 << 20, 1 << 20), 4096);
      a.codec(codec);
      b.codec(codec);
      ASSERT_TRUE(a.send(3, "actors", c.payload).has_value());
      const auto frames = frames_of(a.output());
      ASSERT_EQ(frames.size(), 1u);
      const auto& d = std::get<Frame::Data>(frames[0].value);
      EXPECT_EQ(d.compressed, c.compressed) << codec.text() << " " << c.payload.size();
      if (d.compressed) {
        EXPECT_LT(d.payload.size(), c.payload.size());
      }
      const auto records = received(b, frames[0]);
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].payload, c.payload);
    }
  }
}

// A peer that never gives credit: the queue stops at its bound, refuses from then on, and the
// refusal tells the connection to end.
TEST(Mux, TheOutgoingQueueIsBoundedWhenThePeerGivesNoCredit) {
  const Limits l = limits(65536, 1 << 20, 65536);
  ASSERT_EQ(mux::held_limit(l), 64u << 20);
  Mux m(l, 0);
  const B payload(1 << 20, 0);
  std::size_t accepted = 0;
  for (int i = 0; i < 100; ++i) {
    (void)m.output();  // only the first window ever leaves
    if (!m.send(3, "actors", payload).has_value()) break;
    ++accepted;
    ASSERT_LE(m.held(), mux::held_limit(l));
  }
  EXPECT_GT(accepted, 60u);
  EXPECT_LT(accepted, 70u);
  const auto held = m.held();
  // Nothing more is taken, not even a small envelope that would fit, so no gap opens in the stream.
  auto refused = m.send(5, "replication", B{1});
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("exceed the bound of 67108864"), std::string::npos) << refused.error();
  EXPECT_EQ(m.held(), held);
}

TEST(Mux, TheBoundHoldsFourOfTheLargestEnvelopes) {
  EXPECT_EQ(mux::held_limit(limits(262144, 4 << 20, 262144)), 64u << 20);
  EXPECT_EQ(mux::held_limit(limits(262144, 64 << 20, 262144)), 4 * ((64u << 20) + 260));
}

// A queue that never fully drains does not keep the bytes it already sent.
TEST(Mux, SentBytesDoNotPileUpBehindAQueueThatNeverEmpties) {
  const Limits l = limits(4096, 1 << 20, 8192);
  Mux a(l, 0), b(l, 0);
  for (int round = 0; round < 2000; ++round) {
    ASSERT_TRUE(a.send(3, "actors", B(6000, 1)).has_value());
    std::vector<mux::Record> records;
    feed(b, a.output(), &records);
    for (const auto& r : records) b.consume(r);
    feed(a, b.output());
    ASSERT_LT(a.slot(3).stored(), 1u << 20) << round;
  }
}

// An output borrows its data from the queue's blocks: envelopes queued after it, filling the block
// it borrows from and new ones behind, and the queue letting go of the blocks it sent, leave its
// bytes as they were.
TEST(Mux, AnOutputKeepsItsBytesWhileMoreEnvelopesQueueBehindIt) {
  const Limits l = limits(65536, 1 << 20, 100000);
  Mux a(l, 0), b(l, 0);
  std::mt19937_64 rng(7);
  std::vector<B> sent;
  // The first block has room behind these two.
  for (const std::size_t size : {1500, 1000}) {
    sent.push_back(testing::random_bytes(rng, size));
    ASSERT_TRUE(a.send(3, "actors", sent.back()).has_value());
  }
  ASSERT_EQ(a.slot(3).stored(), mux::kFirstBlock);
  const mux::Output first = a.outgoing();
  const B before = first.bytes();
  EXPECT_EQ(first.size(), before.size());
  for (int i = 0; i < 20; ++i) {
    sent.push_back(testing::random_bytes(rng, 30000));
    ASSERT_TRUE(a.send(3, "actors", sent.back()).has_value());
  }
  const B second = a.output();
  EXPECT_EQ(first.bytes(), before);

  std::vector<mux::Record> records;
  feed(b, before, &records);
  feed(b, second, &records);
  ASSERT_GE(records.size(), 2u);
  for (auto& r : records) b.consume(r);
  for (int round = 0; round < 10 && records.size() < sent.size(); ++round) {
    feed(a, b.output());
    std::vector<mux::Record> more;
    feed(b, a.output(), &more);
    for (auto& r : more) {
      b.consume(r);
      records.push_back(std::move(r));
    }
  }
  ASSERT_EQ(records.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(records[i].payload, sent[i]) << i;
}

TEST(MuxDeathTest, ForeignStreamsAreBrokenInvariants) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Mux m(kSmall, 0);
        (void)m.send(2, "actors", B{});
      },
      "a stream this side writes to is one of its own");
  EXPECT_DEATH(
      {
        Mux m(kSmall, 0);
        m.consume(mux::Record{"actors", {}, 1, 4});
      },
      "a record comes from a stream of this mux");
}

// Two multiplexers back to back. Envelopes of random sizes (some larger than the window) go both
// ways on all three streams; the byte stream is cut at random points; the receiving node takes
// its records after random delays. Every envelope arrives once, in order, no window is overrun,
// and the exchange never stalls. Outputs wait a while before they go on the wire, while more
// envelopes are queued behind the bytes they borrow; the reader either copies what it reads into
// the decoder and takes whole frames, or lends it and takes the payloads in pieces.
struct Side {
  Mux mux;
  frame::Decoder decoder;
  std::deque<mux::Output> unwritten;       // outputs made, not yet on the wire
  B in_flight;                             // bytes written, not yet read by the peer
  std::deque<mux::Record> waiting;         // records the node has not taken yet
  std::map<std::uint32_t, std::deque<B>> expected;  // what the peer sent, per stream, in order
  std::map<std::uint32_t, std::uint64_t> unconsumed;

  Side(const Limits& l, std::uint64_t min_bytes) : mux(l, min_bytes), decoder(l.frame) {}
};

struct ModelCase {
  std::uint64_t seed;
  std::optional<compress::Name> codec;
  bool lent = false;
};

class MuxModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(MuxModel, EveryEnvelopeArrivesOnceInOrderWithoutOverrunOrStall) {
  std::mt19937_64 rng(GetParam().seed);
  const Limits l = limits(1000, 6000, 3000);
  Side sides[2] = {Side(l, 200), Side(l, 200)};
  for (auto& s : sides) s.mux.codec(GetParam().codec);
  const std::uint32_t streams[] = {1, 3, 5};
  const char* names[] = {"hello", "actors", "replication"};
  int to_send = 1500;
  std::size_t delivered = 0, sent = 0;
  int idle = 0;
  while ((to_send > 0 || delivered < sent) && idle < 1000) {
    bool moved = false;
    const int who = static_cast<int>(rng() % 2);
    Side& me = sides[who];
    Side& peer = sides[1 - who];
    switch (rng() % 4) {
      case 0:
        if (to_send > 0) {
          const std::size_t k = testing::pick(rng, 3);
          // Some envelopes exceed the window, a few reach the largest payload.
          const std::size_t size = rng() % 10 == 0 ? l.message : testing::pick(rng, rng() % 3 == 0 ? 5000 : 300);
          B payload = rng() % 2 ? testing::compressible(size) : testing::random_bytes(rng, size);
          ASSERT_TRUE(me.mux.send(streams[k], names[k], payload).has_value());
          peer.expected[streams[k]].push_back(std::move(payload));
          --to_send;
          ++sent;
          moved = true;
        }
        break;
      case 1: {
        auto out = me.mux.outgoing();
        moved = !out.empty();
        if (moved) me.unwritten.push_back(std::move(out));
        break;
      }
      case 2:
        for (; !me.unwritten.empty(); me.unwritten.pop_front()) {
          const B bytes = me.unwritten.front().bytes();
          me.in_flight.insert(me.in_flight.end(), bytes.begin(), bytes.end());
        }
        if (!me.in_flight.empty()) {
          // The peer reads a random cut of what is on the wire.
          const std::size_t n = 1 + testing::pick(rng, me.in_flight.size());
          const B read(me.in_flight.begin(), me.in_flight.begin() + static_cast<std::ptrdiff_t>(n));
          me.in_flight.erase(me.in_flight.begin(), me.in_flight.begin() + static_cast<std::ptrdiff_t>(n));
          if (GetParam().lent) {
            peer.decoder.lend(read);
          } else {
            peer.decoder.append(read);
          }
          for (;;) {
            std::expected<std::vector<mux::Record>, std::string> records;
            if (GetParam().lent) {
              auto item = peer.decoder.next();
              ASSERT_TRUE(item.has_value()) << item.error();
              if (!item->has_value()) break;
              const auto* piece = std::get_if<frame::Piece>(&**item);
              records = piece ? peer.mux.receive(*piece) : peer.mux.receive(std::get<Frame>(**item));
            } else {
              auto f = peer.decoder.frame();
              ASSERT_TRUE(f.has_value()) << f.error();
              if (!f->has_value()) break;
              records = peer.mux.receive(**f);
            }
            ASSERT_TRUE(records.has_value()) << records.error();
            for (auto& r : *records) {
              auto& queue = peer.expected[r.stream];
              ASSERT_FALSE(queue.empty());
              ASSERT_EQ(r.payload, queue.front());
              ASSERT_EQ(r.name, names[r.stream / 2]);
              queue.pop_front();
              peer.unconsumed[r.stream] += r.credit;
              // The window bounds what waits unconsumed on the receiving node.
              ASSERT_LE(peer.unconsumed[r.stream], l.window);
              peer.waiting.push_back(std::move(r));
              ++delivered;
            }
          }
          moved = true;
        }
        break;
      default:
        if (!me.waiting.empty() && rng() % 3 == 0) {
          me.unconsumed[me.waiting.front().stream] -= me.waiting.front().credit;
          me.mux.consume(me.waiting.front());
          me.waiting.pop_front();
          moved = true;
        }
    }
    idle = moved ? 0 : idle + 1;
  }
  EXPECT_EQ(to_send, 0);
  EXPECT_EQ(delivered, sent) << "stalled";
  for (auto& s : sides) {
    for (const auto& [stream, queue] : s.expected) EXPECT_TRUE(queue.empty()) << stream;
  }
}

INSTANTIATE_TEST_SUITE_P(Mux, MuxModel,
                         ::testing::Values(ModelCase{1, std::nullopt}, ModelCase{2, std::nullopt},
                                           ModelCase{3, compress::Name::Zstd}, ModelCase{4, compress::Name::Lz4},
                                           ModelCase{5, compress::Name::Zlib}, ModelCase{6, std::nullopt},
                                           ModelCase{7, std::nullopt, true}, ModelCase{8, std::nullopt, true},
                                           ModelCase{9, compress::Name::Zstd, true},
                                           ModelCase{10, compress::Name::Lz4, true},
                                           ModelCase{11, compress::Name::Zlib, true}));

// Random and mutated frames into a multiplexer with a codec: a list of records or an error,
// never a crash, never a record above the message limit, never more allowance than the window.
TEST(MuxFuzz, ReceiveRandomAndMutatedFrames) {
  std::mt19937_64 rng(0xf00d);
  const Limits l = limits(2048, 1024, 4096);
  const std::uint32_t streams[] = {1, 3, 5, 0, 2, 7};
  const std::optional<compress::Name> codecs[] = {std::nullopt, compress::Name::Zstd, compress::Name::Lz4,
                                                  compress::Name::Zlib};
  std::size_t records = 0, errors = 0;
  for (int round = 0; round < 3000; ++round) {
    Mux m(l, 64);
    m.codec(codecs[round % 4]);
    for (int step = 0; step < 40; ++step) {
      Frame f{Frame::Ping{}};
      const std::size_t kind = testing::pick(rng, 10);
      if (kind < 6) {
        // Envelopes, sometimes mutated, sometimes compressed and then perhaps mutated.
        B bytes;
        for (std::size_t e = 0, n = testing::pick(rng, 4); e < n; ++e) {
          const B one = envelope(rng() % 2 ? "actors" : "x", testing::random_bytes(rng, testing::pick(rng, 300)));
          bytes.insert(bytes.end(), one.begin(), one.end());
        }
        if (rng() % 8 == 0) bytes = testing::mutate(rng, std::move(bytes));
        bool compressed = false;
        if (m.codec() && rng() % 2) {
          bytes = m.codec()->compress(bytes);
          if (rng() % 8 == 0) bytes = testing::mutate(rng, std::move(bytes));
          compressed = true;
        }
        f = data(streams[testing::pick(rng, 3)], std::move(bytes), compressed);
      } else if (kind == 6) {
        f = data(streams[testing::pick(rng, 6)], testing::random_bytes(rng, testing::pick(rng, 64)), rng() % 4 == 0);
      } else if (kind == 7) {
        f = Frame{Frame::Window{streams[testing::pick(rng, 6)], static_cast<std::uint32_t>(rng())}};
      } else if (kind == 8) {
        f = Frame{Frame::Pong{}};
      }
      auto got = m.receive(f);
      if (!got) {
        ++errors;
        break;
      }
      for (const auto& r : *got) {
        ASSERT_LE(r.payload.size(), l.message);
        m.consume(r);
        ++records;
      }
      for (const auto s : mux::kStreams) ASSERT_LE(m.slot(s).allowance, l.window);
      (void)m.output();
    }
  }
  // Both paths were taken often: the inputs were neither all refused nor all accepted.
  EXPECT_GT(records, 10000u);
  EXPECT_GT(errors, 1000u);
}

}  // namespace
}  // namespace vorel::net
