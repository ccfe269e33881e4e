#include "core/collections/queue_segment.hpp"

#include <gtest/gtest.h>

#include "harness.hpp"

namespace vorel::core::collections::queue {
namespace {

using namespace testing;

const Target kIndex = Target::entity("vorel.collections:queue.actor", "q");

queue::Run run_of(std::vector<Bytes> items, std::uint64_t taken = 0, bool sealed = false) {
  return queue::Run{std::move(items), taken, sealed};
}

std::vector<Bytes> small(std::size_t n) { return std::vector<Bytes>(n, Bytes{1}); }

TEST(QueueRun, OfferByCase) {
  struct Case {
    std::string name;
    queue::Run run;
    std::size_t size;
    bool accepted;
    bool sealed;
  };
  const std::vector<Case> cases = {
      {"an empty run takes an item of any size", run_of({}), 100'000, true, true},
      {"a sealed run refuses", run_of({}, 0, true), 1, false, true},
      {"the 1024th item seals", run_of(small(1023)), 1, true, true},
      {"the 1023rd item does not", run_of(small(1022)), 1, true, false},
      {"an item that passes the bytes seals and is refused", run_of({Bytes(60'000, 0)}), 6'000, false, true},
      {"an item that reaches the bytes is taken and seals", run_of({Bytes(60'000, 0)}), 5'536, true, true},
      {"taken items still count", run_of({Bytes(40'000, 0), Bytes(20'000, 0)}, 1), 6'000, false, true},
  };
  for (const auto& c : cases) {
    queue::Run run = c.run;
    EXPECT_EQ(run.offer(Bytes(c.size, 7)), c.accepted) << c.name;
    EXPECT_EQ(run.sealed, c.sealed) << c.name;
    EXPECT_EQ(run.items.size(), c.run.items.size() + (c.accepted ? 1 : 0)) << c.name;
  }
  queue::Run refused = run_of({Bytes(60'000, 0)});
  refused.offer(Bytes(6'000, 0));
  EXPECT_FALSE(refused.offer(Bytes(1, 0))) << "sealed for good";
}

TEST(QueueRun, PartsAndTolerantReading) {
  const queue::Run run = run_of({Bytes_of("a"), Bytes_of("bc")}, 1, true);
  EXPECT_EQ(run.parts(), (Parts{{"items", A({Bin("a"), Bin("bc")})}, {"sealed", TRUE}, {"taken", I(1)}}));
  EXPECT_EQ(queue::Run::of(run.parts()), run);
  struct Case {
    std::string name;
    Parts parts;
    queue::Run expected;
  };
  const std::vector<Case> cases = {
      {"no parts", {}, queue::Run{}},
      {"an item that is no bin", {{"items", A({Bin("a"), S("b")})}}, queue::Run{}},
      {"items count above the bytes", {{"items", {0xdd, 0, 0, 1, 0}}}, queue::Run{}},
      {"taken negative", {{"items", A({Bin("a")})}, {"taken", I(-3)}}, run_of({Bytes_of("a")})},
      {"taken above the range", {{"taken", U(UINT64_MAX)}}, queue::Run{}},
      {"sealed as int", {{"sealed", I(1)}}, queue::Run{}},
      {"sealed false", {{"sealed", FALSE}}, queue::Run{}},
      {"each part on its own", {{"items", NIL}, {"taken", I(2)}, {"sealed", TRUE}}, run_of({}, 2, true)},
  };
  for (const auto& c : cases) EXPECT_EQ(queue::Run::of(c.parts), c.expected) << c.name;
}

TEST(QueueRun, WhereIsAndListed) {
  EXPECT_EQ(where_is(R), msg("Advance", {{"reply_to", T(R)}, {"head", I(0)}, {"tail", I(0)}}));
  EXPECT_EQ(listed({Bytes_of("x")}, false), A({A({Bin("x")}), FALSE}));
}

Bytes ask(std::string_view op, Named fields, std::int64_t at = 4) {
  fields.push_back({"at", I(at)});
  fields.push_back({"index", T(kIndex)});
  fields.push_back({"reply_to", T(R)});
  return msg(op, fields);
}

// Each case: the run before, an op on the live segment, then the run after (none: no parts) and
// the reply.
TEST(QueueSegment, OperationsByCase) {
  const auto items = [](int n) {
    std::vector<Bytes> out;
    for (int i = 0; i < n; ++i) out.push_back(Bytes{static_cast<std::uint8_t>(i)});
    return out;
  };
  const auto bins = [&](int from, int to) {
    std::vector<Bytes> out;
    for (int i = from; i < to; ++i) out.push_back(Bin(Bytes{static_cast<std::uint8_t>(i)}));
    return A(out);
  };
  const auto tail_of = [&](int from, int n) {
    auto all = items(n);
    return std::vector<Bytes>(all.begin() + from, all.end());
  };
  struct Case {
    std::string name;
    queue::Run run;
    Bytes message;
    std::optional<queue::Run> after;
    Bytes reply;
  };
  const std::vector<Case> cases = {
      {"take without limit", run_of(items(3)), ask("Take", {}), std::nullopt, A({A({}), FALSE})},
      {"take of zero", run_of(items(3)), ask("Take", {{"limit", I(0)}}), std::nullopt, A({A({}), FALSE})},
      {"take of a negative limit", run_of(items(3), 0, true), ask("Take", {{"limit", I(-2)}}), std::nullopt,
       A({A({}), TRUE})},
      {"take under half only counts", run_of(items(10)), ask("Take", {{"limit", I(3)}}), run_of(items(10), 3),
       A({bins(0, 3), FALSE})},
      {"take to half removes", run_of(items(10), 3), ask("Take", {{"limit", I(2)}}), run_of(tail_of(5, 10)),
       A({bins(3, 5), FALSE})},
      {"take more than there are", run_of(items(4), 1, true), ask("Take", {{"limit", I(INT64_MAX)}}), run_of({}, 0, true),
       A({bins(1, 4), TRUE})},
      {"peek", run_of(items(4), 1), ask("Peek", {}), std::nullopt, A({bins(1, 2), FALSE})},
      {"peek with everything taken", run_of(items(2), 2, true), ask("Peek", {}), std::nullopt, A({A({}), TRUE})},
      {"size", run_of(items(4), 1), ask("Size", {}), std::nullopt, I(3)},
      {"size with more taken than held", run_of(items(2), 5), ask("Size", {}), std::nullopt, I(0)},
      {"clear keeps the seal", run_of(items(2), 1, true), ask("Clear", {}), run_of({}, 0, true), NIL},
      {"offer", run_of(items(1)), ask("Offer", {{"value", Bin("z")}}), run_of({Bytes{0}, Bytes_of("z")}), TRUE},
      {"offer to a sealed run", run_of(items(1), 0, true), ask("queue_segment.Offer", {{"value", Bin("z")}}),
       std::nullopt, FALSE},
  };
  for (const auto& c : cases) {
    Key key(std::make_shared<Segment>(), c.run.parts());
    auto turn = key.turn(c.message);
    ASSERT_TRUE(turn) << c.name;
    if (c.after) {
      EXPECT_EQ(turn->parts, c.after->parts()) << c.name;
    } else {
      EXPECT_FALSE(turn->parts) << c.name;
    }
    EXPECT_EQ(turn->sends, (std::vector<Send>{{R, c.reply}})) << c.name;
    EXPECT_FALSE(turn->asking || turn->delete_ || turn->wake) << c.name;
  }
}

TEST(QueueSegment, ASegmentWithoutStateAsksItsDirectoryFirst) {
  for (std::string op : {"Offer", "Take", "Peek"}) {
    Key key(std::make_shared<Segment>());
    const Bytes message = ask(op, {{"value", Bin("v")}, {"limit", I(1)}}, 2);
    auto turn = key.turn(message);
    ASSERT_TRUE(turn && turn->asking) << op;
    EXPECT_EQ(turn->asking->target, kIndex) << op;
    EXPECT_EQ(turn->asking->maker(caller(9)), where_is(caller(9))) << op;
    EXPECT_TRUE(turn->sends.empty() && !turn->parts && !turn->delete_) << op;
  }
}

// Each case: the segment's number and the directory's tail, then what the segment does.
TEST(QueueSegment, TheDirectorysAnswerByCase) {
  struct Case {
    std::string name;
    std::string op;
    std::int64_t at;
    Bytes answer;
    Bytes reply;
    bool live;
  };
  const std::vector<Case> cases = {
      {"offer below the tail", "Offer", 2, A({I(1), I(4)}), FALSE, false},
      {"take below the tail", "Take", 2, A({I(1), I(4)}), A({A({}), TRUE}), false},
      {"peek below the tail", "Peek", 3, A({I(0), I(4)}), A({A({}), TRUE}), false},
      {"offer at the tail", "Offer", 4, A({I(1), I(4)}), TRUE, true},
      {"take above the tail is live and written", "Take", 9, A({I(1), I(4)}), A({A({}), FALSE}), true},
  };
  for (const auto& c : cases) {
    Key key(std::make_shared<Segment>());
    const Bytes message = ask(c.op, {{"value", Bin("v")}, {"limit", I(1)}}, c.at);
    auto turn = key.step(Input::answer(message, c.answer), 0.0);
    EXPECT_EQ(turn.sends, (std::vector<Send>{{R, c.reply}})) << c.name;
    EXPECT_FALSE(turn.asking) << c.name;
    if (c.live) {
      EXPECT_TRUE(turn.parts) << c.name;
      EXPECT_FALSE(turn.delete_) << c.name;
    } else {
      EXPECT_FALSE(turn.parts) << c.name;
      EXPECT_TRUE(turn.delete_) << "left without state: " << c.name;
      EXPECT_TRUE(key.parts.empty()) << c.name;
    }
  }
  Key live(std::make_shared<Segment>());
  live.step(Input::answer(ask("Offer", {{"value", Bin("v")}}, 4), A({I(1), I(4)})), 0.0);
  EXPECT_EQ(queue::Run::of(live.parts), run_of({Bytes_of("v")}));
}

TEST(QueueSegment, SizeAndClearWithoutStateNeitherAskNorWrite) {
  Key key(std::make_shared<Segment>());
  auto size = key.turn(ask("Size", {}));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->sends, (std::vector<Send>{{R, I(0)}}));
  EXPECT_FALSE(size->asking || size->parts);
  auto clear = key.turn(msg("Clear", {{"reply_to", T(R)}}));
  ASSERT_TRUE(clear);
  EXPECT_EQ(clear->sends, (std::vector<Send>{{R, NIL}}));
  EXPECT_FALSE(clear->asking || clear->parts);
}

// Each case: the input (a tick, a message, or a message with the directory's answer to it) and the
// segment's parts, then the refusal (none: not recognised, as a tick).
TEST(QueueSegment, RefusedByCase) {
  struct Case {
    std::string name;
    // None steps a tick.
    std::optional<Bytes> message;
    // Steps the message's answer with these bytes.
    std::optional<Bytes> answer;
    Parts parts;
    std::optional<std::string> refusal;
  };
  const Bytes take = ask("Take", {{"limit", I(1)}});
  const Bytes no_at = msg("Take", {{"index", T(kIndex)}, {"reply_to", T(R)}});
  const std::string unanswered = "the queue's directory did not answer [head, tail]";
  const std::vector<Case> cases = {
      {"a tick", std::nullopt, std::nullopt, run_of({}).parts(), std::nullopt},
      {"no reply_to", msg("Size", {}), std::nullopt, {}, R"(Size: field "reply_to" is missing)"},
      {"unknown op", ask("Pop", {}), std::nullopt, run_of({}).parts(), R"(a queue segment has no op "Pop")"},
      {"a directory op", ask("Advance", {}), std::nullopt, run_of({}).parts(),
       R"(a queue segment has no op "Advance")"},
      {"offer without value", ask("Offer", {}), std::nullopt, run_of({}).parts(), R"(Offer: field "value" is missing)"},
      {"offer without value and without state", ask("Offer", {}), std::nullopt, {},
       R"(Offer: field "value" is missing)"},
      {"value as str", ask("Offer", {{"value", S("v")}}), std::nullopt, run_of({}).parts(),
       R"(Offer: field "value" is a str, not bytes)"},
      {"index as str", msg("Take", {{"index", S("q")}, {"reply_to", T(R)}}), std::nullopt, {},
       R"(Take: field "index" is a str, not a ref to a key)"},
      // Reported fault: the segment asked a reply target, and the process aborted.
      {"index a reply target", msg("Take", {{"at", I(1)}, {"index", T(caller(3))}, {"reply_to", T(R)}}), std::nullopt,
       {}, R"(Take: field "index" is a ref to a reply, not a ref to a key)"},
      {"without state and without index", msg("Take", {{"at", I(1)}, {"reply_to", T(R)}}), std::nullopt, {},
       R"(Take: field "index" is missing)"},
      {"without state and without at", no_at, std::nullopt, {}, R"(Take: field "at" is missing)"},
      {"an answer that is no array", take, I(4), {}, unanswered},
      {"an answer of one integer", take, A({I(4)}), {}, unanswered},
      {"an answer of floats", take, A({F(1), F(2)}), {}, unanswered},
      {"an empty answer", take, Bytes{}, {}, unanswered},
      {"an answer for a message without at", no_at, A({I(0), I(0)}), {}, R"(Take: field "at" is missing)"},
  };
  for (const auto& c : cases) {
    Key key(std::make_shared<Segment>(), c.parts);
    const Input input = !c.message ? Input::tick()
                        : c.answer ? Input::answer(*c.message, *c.answer)
                                   : Input::message(*c.message);
    const auto turn = key.native->turn(key.parts, input, 0.0, key.names);
    EXPECT_EQ(refused(turn), c.refusal) << c.name;
    EXPECT_EQ(turn.has_value(), c.refusal.has_value()) << c.name;
    if (turn) EXPECT_FALSE(turn->parts || turn->asking || turn->delete_ || !turn->sends.empty()) << c.name;
  }
}

TEST(QueueSegment, Disposable) {
  const Segment s;
  EXPECT_TRUE(s.disposable(Parts{}, 0.0));
  EXPECT_TRUE(s.disposable(run_of({}, 0, true).parts(), 0.0));
  EXPECT_TRUE(s.disposable(run_of(small(2), 2, true).parts(), 0.0));
  EXPECT_FALSE(s.disposable(run_of(small(2), 1, true).parts(), 0.0));
  EXPECT_FALSE(s.disposable(run_of({}).parts(), 0.0)) << "an empty run that was written is not sealed";
}

}  // namespace
}  // namespace vorel::core::collections::queue
