#include "core/membership/wire.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "core/membership/support.hpp"

namespace vorel::core::membership::wire {
namespace {

using core::wire::Reading;
using core::wire::Writer;
using msgpack::Malformed;
using table::Record;
using table::Status;
using testing::node;
using testing::record;
using views::View;

Bytes hex(std::string_view text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char c : text) {
    if (c == ' ') continue;
    value = value * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

NodeId counting() {
  Incarnation inc;
  for (int i = 0; i < 16; ++i) inc[i] = static_cast<std::uint8_t>(i);
  return NodeId{std::nullopt, inc};
}

const char* kPing77 =
    "92 a7 4d 65 73 73 61 67 65 82 a6 73 65 6e 64 65 72 92 a6 4e 6f 64 65 49 64 82 a7 61 64 64 72 65 73 73 c0 ab 69 "
    "6e 63 61 72 6e 61 74 69 6f 6e c4 10 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f a4 62 6f 64 79 92 a4 50 "
    "69 6e 67 80";

using Fill = std::function<void(Writer&)>;

// ["Message", {entries...}] with entries written by the callers, in the order given.
Bytes message(std::vector<std::pair<std::string, Fill>> entries) {
  Writer w;
  w.array(2);
  w.str("Message");
  w.map(entries.size());
  for (const auto& [key, fill] : entries) {
    w.str(key);
    fill(w);
  }
  return w.take();
}

Fill bare(const NodeId& n) {
  return [n](Writer& w) {
    w.array(2);
    w.str("NodeId");
    w.node(n);
  };
}

Fill tagged(std::string tag, std::vector<std::pair<std::string, Fill>> entries) {
  return [tag, entries](Writer& w) {
    w.array(2);
    w.str(tag);
    w.map(entries.size());
    for (const auto& [key, fill] : entries) {
      w.str(key);
      fill(w);
    }
  };
}

Fill map(std::vector<std::pair<std::string, Fill>> entries) {
  return [entries](Writer& w) {
    w.map(entries.size());
    for (const auto& [key, fill] : entries) {
      w.str(key);
      fill(w);
    }
  };
}

Fill of_node(const NodeId& n) {
  return [n](Writer& w) { w.node(n); };
}
Fill of_uint(std::uint64_t v) {
  return [v](Writer& w) { w.uint(v); };
}
Fill of_int(std::int64_t v) {
  return [v](Writer& w) { w.int_(v); };
}
Fill of_str(std::string s) {
  return [s](Writer& w) { w.str(s); };
}
Fill of_bool(bool v) {
  return [v](Writer& w) { w.boolean(v); };
}
Fill of_strs(std::vector<std::string> list) {
  return [list](Writer& w) {
    w.array(list.size());
    for (const auto& s : list) w.str(s);
  };
}
Fill of_array(std::vector<Fill> items) {
  return [items](Writer& w) {
    w.array(items.size());
    for (const auto& f : items) f(w);
  };
}

// A message from the bare node 1 with the given body.
Bytes with_body(Fill body) { return message({{"sender", bare(node(1))}, {"body", body}}); }

Body body_of(const Bytes& bytes) {
  auto m = decode(bytes);
  EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().text());
  return m ? m->body : Body{Body::Ping{}};
}

Malformed failure(const Bytes& bytes) {
  auto m = decode(bytes);
  EXPECT_FALSE(m.has_value());
  return m ? Malformed{} : m.error();
}

TEST(MembershipWire, GoldenPing) {
  const Message ping{Sender{counting()}, Body{Body::Ping{}}};
  const Bytes golden = hex(kPing77);
  ASSERT_EQ(golden.size(), 77u);
  EXPECT_EQ(encode(ping), golden);
  EXPECT_EQ(decode(golden), ping);
  Bytes longer = golden;
  longer.insert(longer.end(), {0x01, 0x02, 0x03});
  EXPECT_EQ(decode(longer), ping);
}

TEST(MembershipWire, RecordSenderIsWrittenInFull) {
  const Record r = record(node(3), 300, Status::Leaving, {"b", "a"});
  const Bytes bytes = encode(Message{Sender{r}, Body{Body::Ack{}}});
  Writer expected;
  expected.array(2);
  expected.str("Message");
  expected.map(2);
  expected.str("sender");
  expected.array(2);
  expected.str("Record");
  expected.map(4);
  expected.str("node");
  expected.node(node(3));
  expected.str("incarnation");
  expected.bytes().insert(expected.bytes().end(), {0xcd, 0x01, 0x2c});
  expected.str("status");
  expected.str("leaving");
  expected.str("types");
  expected.array(2);
  expected.str("a");
  expected.str("b");
  expected.str("body");
  expected.array(2);
  expected.str("Ack");
  expected.map(0);
  EXPECT_EQ(bytes, expected.bytes());
}

TEST(MembershipWire, EveryBodyRoundTrips) {
  const Record r = record(node(2), 7, Status::Suspect, {"m:T", "m:U"});
  const EventId id{node(4), 1ull << 40};
  const std::vector<Body> bodies = {
      Body{View{View::Join{}}},
      Body{View{View::ForwardJoin{node(5), 4294967295u}}},
      Body{View{View::Neighbor{true}}},
      Body{View{View::Neighbor{false}}},
      Body{View{View::NeighborReply{true}}},
      Body{View{View::Disconnect{}}},
      Body{View{View::Shuffle{node(6), {node(7), counting()}, 3}}},
      Body{View{View::ShuffleReply{{}}}},
      Body{Broadcast{Broadcast::Gossip{id, r}}},
      Body{Broadcast{Broadcast::IHave{id}}},
      Body{Broadcast{Broadcast::Graft{id}}},
      Body{Broadcast{Broadcast::Prune{}}},
      Body{Body::Sync{{r, record(node(8), 0, Status::Left)}}},
      Body{Body::SyncReply{{}}},
      Body{Body::Ping{}},
      Body{Body::Ack{}},
  };
  for (const auto& sender : {Sender{node(1)}, Sender{r}}) {
    for (const auto& body : bodies) {
      const Message m{sender, body};
      EXPECT_EQ(decode(encode(m)), m) << body.value.index();
    }
  }
}

TEST(MembershipWire, OuterMapTolerances) {
  const Fill ping = tagged("Ping", {});
  EXPECT_EQ(decode(message({{"body", ping}, {"sender", bare(node(1))}})),
            (Message{Sender{node(1)}, Body{Body::Ping{}}}));
  EXPECT_EQ(failure(message({{"sender", bare(node(1))}, {"body", ping}, {"x", of_uint(1)}})), Malformed::marker(0));
  EXPECT_EQ(failure(message({{"sender", bare(node(1))}, {"sender", bare(node(1))}})), Malformed::truncated());
  EXPECT_EQ(failure(message({{"sender", bare(node(1))}, {"other", ping}})), Malformed::truncated());

  Writer wrong_tag;
  wrong_tag.array(2);
  wrong_tag.str("message");
  wrong_tag.map(0);
  EXPECT_EQ(failure(wrong_tag.take()), Malformed::marker(0));

  const Fill odd_sender = [](Writer& w) {
    w.array(2);
    w.str("Client");
    w.node(node(1));
  };
  EXPECT_EQ(failure(message({{"sender", odd_sender}, {"body", ping}})), Malformed::marker(0));
  const Fill long_sender = [](Writer& w) {
    w.array(3);
    w.str("NodeId");
    w.node(node(1));
    w.nil();
  };
  EXPECT_EQ(failure(message({{"sender", long_sender}, {"body", ping}})), Malformed::marker(0));
}

TEST(MembershipWire, RecordTolerances) {
  auto sync_of = [](Fill rec) { return with_body(tagged("Sync", {{"records", of_array({rec})}})); };
  auto records_of = [&](Fill rec) { return std::get<Body::Sync>(body_of(sync_of(rec)).value).records; };

  EXPECT_EQ((records_of(map({{"types", of_strs({"b", "a", "a"})},
                            {"status", of_str("dead")},
                            {"incarnation", of_uint(3)},
                            {"future", of_array({of_uint(1), of_str("x")})},
                             {"node", of_node(node(2))}}))),
            std::vector<Record>{record(node(2), 3, Status::Dead, {"a", "b"})});
  EXPECT_EQ((records_of(map({{"node", of_node(node(2))}, {"incarnation", of_uint(0)}, {"status", of_str("alive")}}))),
            std::vector<Record>{record(node(2), 0, Status::Alive)});
  EXPECT_EQ((records_of(map({{"node", of_node(node(2))},
                             {"incarnation", of_uint(0)},
                             {"status", of_str("alive")},
                             {"types", of_strs({"b"})},
                             {"types", of_strs({"a"})}}))),
            std::vector<Record>{record(node(2), 0, Status::Alive, {"a", "b"})});

  struct Bad {
    const char* name;
    Fill rec;
    Malformed error;
  };
  const std::vector<Bad> bad = {
      {"CapitalStatus",
       map({{"node", of_node(node(2))}, {"incarnation", of_uint(0)}, {"status", of_str("Alive")}}),
       Malformed::truncated()},
      {"StatusUnsetByALaterWord",
       map({{"node", of_node(node(2))},
            {"incarnation", of_uint(0)},
            {"status", of_str("alive")},
            {"status", of_str("gone")}}),
       Malformed::truncated()},
      {"NoIncarnation", map({{"node", of_node(node(2))}, {"status", of_str("alive")}}), Malformed::truncated()},
      {"NoNode", map({{"incarnation", of_uint(0)}, {"status", of_str("alive")}}), Malformed::truncated()},
      {"NegativeIncarnation",
       map({{"node", of_node(node(2))}, {"incarnation", of_int(-1)}, {"status", of_str("alive")}}),
       Malformed::marker(0)},
      {"NotAMap", of_strs({"node"}), Malformed::marker(0x91)},
      {"TypeNotAString",
       map({{"node", of_node(node(2))},
            {"incarnation", of_uint(0)},
            {"status", of_str("alive")},
            {"types", of_array({of_uint(1)})}}),
       Malformed::marker(0x01)},
  };
  for (const auto& b : bad) EXPECT_EQ(failure(sync_of(b.rec)), b.error) << b.name;
}

TEST(MembershipWire, BodyTolerances) {
  EXPECT_EQ(body_of(with_body(tagged("NeighborReply", {{"priority", of_bool(true)}}))),
            Body{View{View::NeighborReply{true}}});
  EXPECT_EQ(body_of(with_body(tagged("ForwardJoin", {{"origin", of_node(node(3))}, {"ttl", of_uint(3)}}))),
            (Body{View{View::ForwardJoin{node(3), 3}}}));
  EXPECT_EQ(body_of(with_body(tagged("ForwardJoin", {{"joiner", of_node(node(3))},
                                                      {"ttl", of_uint(3)},
                                                      {"origin", of_node(node(4))},
                                                      {"ttl", of_uint(2)},
                                                      {"unknown", of_strs({"x"})}}))),
            (Body{View{View::ForwardJoin{node(4), 2}}}));
  EXPECT_EQ(body_of(with_body(tagged("Sync", {{"records", of_array({})}}))), Body{Body::Sync{}});
  // Slots a body does not use are read, checked and dropped.
  EXPECT_EQ(body_of(with_body(tagged("Ping", {{"ttl", of_uint(1)}, {"sample", of_array({})}}))), Body{Body::Ping{}});
  EXPECT_EQ(body_of(with_body(tagged("IHave", {{"id", map({{"sequence", of_uint(9)},
                                                            {"extra", of_uint(1)},
                                                            {"origin", of_node(node(5))}})}}))),
            (Body{Broadcast{Broadcast::IHave{EventId{node(5), 9}}}}));

  struct Bad {
    const char* name;
    Fill body;
    Malformed error;
  };
  const std::vector<Bad> bad = {
      {"TtlTooLarge", tagged("ForwardJoin", {{"joiner", of_node(node(3))}, {"ttl", of_uint(4294967296)}}),
       Malformed::truncated()},
      {"TtlNegative", tagged("ForwardJoin", {{"joiner", of_node(node(3))}, {"ttl", of_int(-1)}}),
       Malformed::marker(0)},
      {"FlagNotABool", tagged("Neighbor", {{"priority", of_uint(1)}}), Malformed::marker(0x01)},
      {"SyncWithoutRecords", tagged("Sync", {}), Malformed::truncated()},
      {"ForwardJoinWithoutTtl", tagged("ForwardJoin", {{"joiner", of_node(node(3))}}), Malformed::truncated()},
      {"ShuffleWithoutSample", tagged("Shuffle", {{"origin", of_node(node(3))}, {"ttl", of_uint(1)}}),
       Malformed::truncated()},
      {"GossipWithoutRecord", tagged("Gossip", {{"id", map({{"origin", of_node(node(5))}, {"sequence", of_uint(1)}})}}),
       Malformed::truncated()},
      {"IdWithoutSequence", tagged("Graft", {{"id", map({{"origin", of_node(node(5))}})}}), Malformed::truncated()},
      {"NegativeSequence",
       tagged("Graft", {{"id", map({{"origin", of_node(node(5))}, {"sequence", of_int(-2)}})}}), Malformed::marker(0)},
      {"UnknownTag", tagged("Pong", {}), Malformed::marker(0)},
      {"TagIsCaseSensitive", tagged("ping", {}), Malformed::marker(0)},
      {"BrokenSkippedSlot", tagged("Ping", {{"sample", of_array({of_uint(1)})}}), Malformed::marker(0x01)},
      {"BodyNotTagged", of_strs({"Ping"}), Malformed::marker(0)},
  };
  for (const auto& b : bad) EXPECT_EQ(failure(with_body(b.body)), b.error) << b.name;
}

TEST(MembershipWire, ReadRecordAtAPosition) {
  Writer w;
  membership::wire::record(w, record(node(1), 5, Status::Left, {"t"}));
  w.uint(7);
  Reading in(w.bytes());
  EXPECT_EQ(read_record(in), record(node(1), 5, Status::Left, {"t"}));
  EXPECT_EQ(in.remaining(), 1u);
}

// Random, truncated and mutated payloads: every one decodes or fails, none reads past its end.
// Each input is copied to a buffer of exactly its size, so AddressSanitizer runs catch over-reads.
TEST(MembershipWire, Fuzz) {
  const Record r = record(node(2), 7, Status::Suspect, {"m:T", "m:U"});
  const std::vector<Message> seeds = {
      Message{Sender{r}, Body{Broadcast{Broadcast::Gossip{EventId{node(4), 3}, r}}}},
      Message{Sender{node(1)}, Body{Body::SyncReply{{r, r, record(node(3), 1, Status::Alive)}}}},
      Message{Sender{r}, Body{View{View::Shuffle{node(6), {node(7), node(8)}, 3}}}},
      Message{Sender{r}, Body{View{View::ForwardJoin{node(5), 2}}}},
  };
  std::mt19937_64 rng(14);
  auto attempt = [](const Bytes& input) {
    auto copy = std::make_unique<std::uint8_t[]>(input.size() + 1);
    std::copy(input.begin(), input.end(), copy.get());
    (void)decode(ByteView(copy.get(), input.size()));
  };
  for (const auto& m : seeds) {
    const Bytes good = encode(m);
    for (std::size_t n = 0; n < good.size(); ++n) {
      EXPECT_FALSE(decode(ByteView(good.data(), n)).has_value()) << n;
    }
    for (int round = 0; round < 3000; ++round) {
      Bytes bad = good;
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        const std::size_t at = rng() % bad.size();
        switch (rng() % 3) {
          case 0: bad[at] = static_cast<std::uint8_t>(rng()); break;
          case 1: bad.erase(bad.begin() + static_cast<long>(at)); break;
          default: bad.insert(bad.begin() + static_cast<long>(at), static_cast<std::uint8_t>(rng())); break;
        }
        if (bad.empty()) bad.push_back(0x92);
      }
      attempt(bad);
    }
  }
  for (int round = 0; round < 3000; ++round) {
    Bytes noise(rng() % 64);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    if (!noise.empty()) noise[0] = 0x92;
    attempt(noise);
  }
  // A count far beyond the payload is refused before anything is sized by it.
  EXPECT_EQ(failure(with_body(tagged("Sync", {{"records", [](Writer& w) {
                                                 w.bytes().insert(w.bytes().end(), {0xdd, 0xff, 0xff, 0xff, 0xff});
                                               }}}))),
            Malformed::truncated());
}

}  // namespace
}  // namespace vorel::core::membership::wire
