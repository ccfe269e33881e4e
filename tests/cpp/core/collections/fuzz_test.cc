// Random, truncated and mutated messages, answers and parts for every kind: a step never
// crashes, never reads outside its bytes, and whatever parts it writes read back as it wrote them.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "core/collections/barrier.hpp"
#include "core/collections/entry.hpp"
#include "core/collections/message.hpp"
#include "core/collections/queue.hpp"
#include "core/collections/queue_segment.hpp"
#include "core/collections/semaphore.hpp"
#include "core/collections/table_segment.hpp"
#include "harness.hpp"

namespace vorel::core::collections {
namespace {

using namespace testing;

struct Kind {
  std::string name;
  Parts parts;
  std::vector<Bytes> messages;
  // The answer a kind that asks is stepped with, next to the message that made it ask.
  Bytes answer;
  // The parts decoded and encoded again, for the kinds that decode them as a whole.
  std::function<Parts(const Parts&)> reread = {};
};

Bytes id16(std::uint8_t n) { return Bin(Bytes(16, n)); }

std::vector<Kind> kinds() {
  const Bytes to = T(R);
  const Target index = Target::entity("vorel.collections:queue.actor", "q");
  const Target into = Target::entity("vorel.collections:table_segment.actor", "t/1");
  semaphore::State sem{3, 4, {semaphore::Lease{"a", 3, 1, 1005.0}}, {semaphore::Pending{"b", R, 3, 5.0, 1010.0}}};
  barrier::State bar{1, {barrier::Party{{}, R, 1020.0}}, {barrier::Completed{{1}, 1030.0}}};
  table::Bucket bucket{{{Bytes_of("k"), {Bytes_of("v"), I(4)}}}, 2, 0, 3};
  return {
      {"counter", {{".", I(5)}}, {msg("Add", {{"delta", I(-3)}, {"reply_to", to}}), msg("Get", {{"reply_to", to}})}, {}},
      {"register",
       {{"value", Bin("x")}},
       {msg("CompareAndSet", {{"expected", Bin("x")}, {"value", Bin("y")}, {"reply_to", to}})},
       {}},
      {"entry",
       entry::saved(std::nullopt, 7),
       {msg("Put", {{"value", Bin("v")}, {"listed", I(8)}, {"reply_to", to}}), msg("Remove", {{"reply_to", to}})},
       {}},
      {"semaphore",
       semaphore::saved(sem),
       {msg("Acquire", {{"lease_id", S("c")}, {"n", I(2)}, {"ttl", F(3.0)}, {"wait", F(1.0)}, {"reply_to", to}}),
        msg("Renew", {{"lease_id", S("a")}, {"ttl", F(2.0)}, {"reply_to", to}})},
       {},
       [](const Parts& p) { return semaphore::saved(semaphore::of(p)); }},
      {"barrier",
       barrier::saved(bar),
       {msg("Arrive", {{"id", id16(2)}, {"parties", I(2)}, {"until", F(1040.0)}, {"reply_to", to}}),
        msg("Cancel", {{"id", id16(1)}, {"reply_to", to}})},
       {},
       [](const Parts& p) { return barrier::saved(barrier::of(p)); }},
      {"queue", queue::index(2, 3), {msg("Advance", {{"head", I(3)}, {"tail", I(5)}, {"reply_to", to}})}, {}},
      {"queue_segment",
       Parts{{"items", A({Bin("a"), Bin("b"), Bin("c")})}, {"taken", I(1)}, {"sealed", FALSE}},
       {msg("Take", {{"limit", I(2)}, {"at", I(3)}, {"index", T(index)}, {"reply_to", to}}),
        msg("Offer", {{"value", Bin("d")}, {"at", I(3)}, {"index", T(index)}, {"reply_to", to}})},
       A({I(1), I(3)}),
       [](const Parts& p) { return queue::Run::of(p).parts(); }},
      {"table",
       table::counted(3),
       {msg("Grow", {{"seen", I(3)}, {"split", T(into)}, {"into", T(into)}, {"reply_to", to}})},
       NIL},
      {"table_segment",
       bucket.pages(),
       {msg("Add", {{"key", Bin("k")}, {"value", Bin("w")}, {"reply_to", to}}),
        msg("Adopt", {{"entries", A({A({Bin("j"), A({Bin("x")})})})}, {"modulus", I(4)}, {"id", I(1)},
                      {"version", I(9)}, {"reply_to", to}}),
        msg("Split", {{"into", T(into)}, {"modulus", I(4)}, {"reply_to", to}})},
       NIL,
       [](const Parts& p) { return table::Bucket::of(p).pages(); }},
  };
}

// A step's parts, read again and written again, are the same bytes: what a kind writes, it reads.
void steps(const Native& native, const Parts& parts, const Input& input, Namer& names) {
  const Turn turn = native.step(parts, input, 1001.0, names);
  (void)native.disposable(parts, 1001.0);
  if (turn.refusal) {
    // Nothing of a refused message takes effect.
    ASSERT_FALSE(turn.parts || turn.asking || turn.delete_ || !turn.sends.empty());
    ASSERT_FALSE(turn.refusal->text.empty());
  }
  if (turn.asking) {
    const Bytes made = turn.asking->maker(R);
    ASSERT_TRUE(message::read(made, [](std::string_view, wire::Reading& r) { return message::skip(r); }));
  }
  if (turn.parts) {
    const Turn again = native.step(*turn.parts, Input::tick(), 1001.0, names);
    (void)again;
  }
}

TEST(CollectionsFuzz, MessagesAnswersAndPartsNeverCrash) {
  std::mt19937_64 rng(612);
  for (const auto& kind : kinds()) {
    auto native = collection("vorel.collections:" + kind.name + ".actor");
    ASSERT_NE(native, nullptr) << kind.name;
    Namer names;
    for (const auto& seed : kind.messages) {
      const auto turn = native->turn(kind.parts, Input::message(seed), 1001.0, names);
      ASSERT_TRUE(turn && !turn->refusal) << kind.name << ": a seed is read";
    }
    for (int round = 0; round < 3000; ++round) {
      const Bytes& seed = kind.messages[static_cast<std::size_t>(round) % kind.messages.size()];
      // A message.
      const Bytes message = core::testing::fuzz_input(rng, round, seed, 48);
      const core::testing::Exact exact(message);
      steps(*native, kind.parts, Input::message(exact.view()), names);
      // An answer to the seed message.
      if (!kind.answer.empty()) {
        const Bytes answer = core::testing::fuzz_input(rng, round, kind.answer, 8);
        const core::testing::Exact exact_answer(answer);
        steps(*native, kind.parts, Input::answer(seed, exact_answer.view()), names);
        steps(*native, Parts{}, Input::answer(seed, exact_answer.view()), names);
      }
      // One part.
      Parts parts = kind.parts;
      auto it = parts.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(rng() % parts.size()));
      const Bytes mutated = core::testing::fuzz_input(rng, round, it->second, 32);
      it->second = Bytes(mutated.begin(), mutated.end());
      steps(*native, parts, Input::message(seed), names);
      steps(*native, parts, Input::tick(), names);
    }
  }
}

// Decoded parts encode to what they were decoded from, for every state the fuzzed steps write.
TEST(CollectionsFuzz, WrittenPartsReadBackTheSame) {
  std::mt19937_64 rng(613);
  for (const auto& kind : kinds()) {
    if (!kind.reread) continue;
    auto native = collection("vorel.collections:" + kind.name + ".actor");
    Namer names;
    for (int round = 0; round < 500; ++round) {
      const Bytes& seed = kind.messages[static_cast<std::size_t>(round) % kind.messages.size()];
      const Bytes message = core::testing::fuzz_input(rng, round, seed, 48);
      const Turn turn = native->step(kind.parts, Input::message(message), 1001.0, names);
      if (!turn.parts) continue;
      EXPECT_EQ(kind.reread(*turn.parts), *turn.parts) << kind.name;
    }
  }
}

}  // namespace
}  // namespace vorel::core::collections
