#include "core/collections/queue.hpp"

#include <gtest/gtest.h>

#include "core/collections/queue_segment.hpp"
#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

TEST(Queue, InitialAndDisposable) {
  const Queue q;
  EXPECT_EQ(q.initial(0.0), (Parts{{"head", {0x00}}, {"tail", {0x00}}}));
  EXPECT_TRUE(q.disposable(q.initial(0.0), 0.0));
  EXPECT_FALSE(q.disposable(queue::index(0, 1), 0.0));
}

// Each case: head and tail before, the fields of an Advance, then head and tail after and
// whether they were written.
TEST(Queue, AdvanceByCase) {
  struct Case {
    std::string name;
    std::int64_t head, tail;
    Named fields;
    std::int64_t new_head, new_tail;
    bool written;
  };
  const std::vector<Case> cases = {
      {"head past the tail drags it along", 2, 3, {{"head", I(5)}}, 5, 5, true},
      {"a lower tail changes nothing", 5, 5, {{"tail", I(1)}}, 5, 5, false},
      {"no fields only reads", 2, 3, {}, 2, 3, false},
      {"the tail alone", 2, 3, {{"tail", I(9)}}, 2, 9, true},
      {"both", 0, 0, {{"head", I(1)}, {"tail", I(4)}}, 1, 4, true},
      {"negative numbers never lower them", 2, 3, {{"head", I(-7)}, {"tail", I(-1)}}, 2, 3, false},
      {"the largest numbers", 0, 0, {{"head", I(INT64_MAX)}}, INT64_MAX, INT64_MAX, true},
  };
  for (const auto& c : cases) {
    Key key(std::make_shared<Queue>(), queue::index(c.head, c.tail));
    Named fields = c.fields;
    fields.push_back({"reply_to", T(R)});
    auto turn = key.turn(msg("queue.Advance", fields));
    ASSERT_TRUE(turn) << c.name;
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, A({I(c.new_head), I(c.new_tail)})}})) << c.name;
    if (c.written) {
      EXPECT_EQ(turn->parts, queue::index(c.new_head, c.new_tail)) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
  }
}

TEST(Queue, UnreadablePartsReadZero) {
  Key key(std::make_shared<Queue>(), Parts{{"head", S("x")}, {"tail", U(UINT64_MAX)}});
  auto turn = key.turn(msg("Advance", {{"reply_to", T(R)}}));
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->sends, (std::vector<Send>{{R, A({I(0), I(0)})}}));
  EXPECT_FALSE(turn->parts);
}

TEST(Queue, RefusedByCase) {
  expect_refused(Key(std::make_shared<Queue>()),
                 {
                     {"no reply_to", msg("Advance", {{"head", I(1)}}), R"(Advance: field "reply_to" is missing)"},
                     {"head as float", msg("Advance", {{"head", F(1)}, {"reply_to", T(R)}}),
                      R"(Advance: field "head" is 1, not an integer in the signed 64-bit range)"},
                     {"value as str", msg("Advance", {{"value", S("x")}, {"reply_to", T(R)}}),
                      R"(Advance: field "value" is a str, not bytes)"},
                     {"index as nil", msg("queue.Advance", {{"index", NIL}, {"reply_to", T(R)}}),
                      R"(queue.Advance: field "index" is nil, not a ref to a key)"},
                     {"a segment op", msg("Take", {{"reply_to", T(R)}}), R"(a queue has no op "Take")"},
                 });
  Key key(std::make_shared<Queue>());
  EXPECT_EQ(key.native->turn(key.parts, Input::tick(), 0.0, key.names), std::nullopt);
}

// A queue kept by its callers as they are meant to keep it: offers go to the tail segment and
// move the tail on when it is sealed; takes read the head segment and move the head on once it
// is sealed and drained, after which the drained segment is dropped.
class Caller {
 public:
  explicit Caller(Network& net) : net_(net) {}

  void offer(const Bytes& item) {
    for (;;) {
      const auto [head, tail] = advance({});
      if (ask(segment(tail), "Offer", {{"value", Bin(item)}}) == TRUE) return;
      advance({{"tail", I(tail + 1)}});
    }
  }

  // Up to `limit` items; fewer only when the queue is empty.
  std::vector<Bytes> take(std::int64_t limit) {
    std::vector<Bytes> out;
    while (static_cast<std::int64_t>(out.size()) < limit) {
      const auto [head, tail] = advance({});
      const Bytes reply = ask(segment(head), "Take", {{"limit", I(limit - static_cast<std::int64_t>(out.size()))}});
      wire::Reading r(reply);
      EXPECT_EQ(r.read_array_len(), 2u);
      const std::uint64_t n = *r.read_array_len();
      for (std::uint64_t i = 0; i < n; ++i) out.push_back(*r.bytes());
      const bool sealed = *r.read_bool();
      if (n == 0) {
        if (!sealed || head == tail) return out;
        advance({{"head", I(head + 1)}});
        net_.deactivate(segment(head));
      }
    }
    return out;
  }

  Bytes ask(const Target& to, std::string_view op, Named fields) {
    const Target reply = caller(next_++);
    fields.push_back({"reply_to", T(reply)});
    if (to.as_entity()->actor != kQueue) {
      fields.push_back({"at", I(std::stoll(to.as_entity()->key))});
      fields.push_back({"index", T(directory())});
    }
    net_.deliver(to, msg(op, fields));
    auto answers = net_.answers(reply);
    EXPECT_EQ(answers.size(), 1u) << op;
    return answers.empty() ? Bytes{} : answers[0];
  }

  static Target directory() { return Target::entity(std::string(kQueue), "q"); }
  static Target segment(std::int64_t n) { return Target::entity(std::string(kSegment), std::to_string(n)); }

 private:
  static constexpr std::string_view kQueue = "vorel.collections:queue.actor";
  static constexpr std::string_view kSegment = "vorel.collections:queue_segment.actor";

  std::pair<std::int64_t, std::int64_t> advance(Named fields) {
    const Bytes reply = ask(directory(), "Advance", std::move(fields));
    wire::Reading r(reply);
    (void)r.read_array_len();
    return {*r.int_(), *r.int_()};
  }

  Network& net_;
  std::int64_t next_ = 1000;
};

TEST(Queue, KeepsOrderAcrossSegments) {
  Network net;
  Caller q(net);
  std::vector<Bytes> offered;
  for (int i = 0; i < 3000; ++i) {
    Bytes item(100, static_cast<std::uint8_t>(i));
    item[0] = static_cast<std::uint8_t>(i >> 8);
    offered.push_back(item);
    q.offer(item);
    if (i % 700 == 0) {
      // Takes interleaved with the offers.
      auto got = q.take(3);
      offered.erase(offered.begin(), offered.begin() + static_cast<std::ptrdiff_t>(got.size()));
    }
  }
  EXPECT_TRUE(net.has(Caller::segment(4))) << "3000 items of 100 bytes fill several segments";
  std::vector<Bytes> rest = q.take(5000);
  EXPECT_EQ(rest, offered);
  EXPECT_TRUE(q.take(1).empty());
  // A drained segment below the tail was dropped and stays without state.
  EXPECT_FALSE(net.has(Caller::segment(0)));
  EXPECT_EQ(q.ask(Caller::segment(0), "Offer", {{"value", Bin("late")}}), FALSE);
  EXPECT_EQ(q.ask(Caller::segment(0), "Take", {{"limit", I(1)}}), A({A({}), TRUE}));
  EXPECT_FALSE(net.has(Caller::segment(0)) && !net.key(Caller::segment(0)).parts.empty());
}

}  // namespace
}  // namespace vorel::core::collections
