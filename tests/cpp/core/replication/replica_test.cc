#include "core/replication/replica.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/replication/parts.hpp"
#include "core/replication/sample.hpp"

namespace vorel::core::replication {
namespace {

using messages::Accept;
using messages::Accepted;
using messages::Buried;
using messages::Bury;
using messages::Copy;
using messages::Fetch;
using messages::Names;
using messages::NeedFull;
using messages::Prepare;
using messages::Promise;
using messages::Rejected;
using messages::Reply;
using messages::Request;
using messages::Sizes;
using messages::tombstone;
using sample::node;
using sample::pages;
using sample::stamp;

const NodeId kOwn = node(9);
const NodeId kOwner = node(1);
const NodeId kRival = node(2);
const Epoch kE1{1, kOwner};
const Epoch kE2{2, kOwner};
const Epoch kE3{3, kRival};

Request prepare(const Epoch& e) { return Request{Prepare{"t", "k", e}}; }

Request accept(const Stamp& s, std::optional<Stamp> base, std::uint32_t part, bool last, Pages p,
               Names dropped = {}) {
  return Request{Accept{"t", "k", s, std::move(base), part, last, std::move(p), std::move(dropped)}};
}

Request whole(const Stamp& s, Pages p) { return accept(s, std::nullopt, 0, true, std::move(p)); }

Reply accepted(const Stamp& s, bool receiving = false) { return Reply{Accepted{"t", "k", s, kOwn, receiving}}; }
Reply rejected(const Epoch& promised) { return Reply{Rejected{"t", "k", kOwn, promised}}; }
Reply need_full(const Stamp& s) { return Reply{NeedFull{"t", "k", s, kOwn}}; }

// One request and the reply it must get (none: no reply).
struct Exchange {
  Request request;
  std::optional<Reply> reply;
};

struct AcceptCase {
  const char* name;
  std::vector<Exchange> exchanges;
  std::optional<Stamp> accepted;  // after the last exchange
  Pages held;
  std::optional<Epoch> promised;
};

class ReplicaAccept : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(ReplicaAccept, Rules) {
  const auto& c = GetParam();
  Replica replica(kOwn, 1000);
  for (std::size_t i = 0; i < c.exchanges.size(); ++i) {
    EXPECT_EQ(replica.receive(c.exchanges[i].request, false), c.exchanges[i].reply) << "exchange " << i;
  }
  EXPECT_EQ(replica.accepted("t", "k"), c.accepted);
  const auto* entry = replica.entry("t", "k");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->pages, c.held);
  EXPECT_EQ(replica.promised("t", "k"), c.promised);
}

const Stamp kS1 = stamp(1, kOwner, 1);
const Stamp kS2 = stamp(1, kOwner, 2);
const Stamp kS3 = stamp(1, kOwner, 3);
const Stamp kT1 = stamp(2, kOwner, 1);

INSTANTIATE_TEST_SUITE_P(
    Table, ReplicaAccept,
    ::testing::Values(
        AcceptCase{"single_part_whole_write",
                   {{whole(kS1, pages({{"a", "1"}})), accepted(kS1)}},
                   kS1,
                   pages({{"a", "1"}}),
                   kE1},
        AcceptCase{"epoch_equal_to_the_promise_is_accepted",
                   {{prepare(kE1), Reply{Promise{"t", "k", kE1, kOwn, std::nullopt, {}, {}, false}}},
                    {whole(kS1, pages({{"a", "1"}})), accepted(kS1)}},
                   kS1,
                   pages({{"a", "1"}}),
                   kE1},
        AcceptCase{"lower_epoch_is_rejected",
                   {{prepare(kE2), Reply{Promise{"t", "k", kE2, kOwn, std::nullopt, {}, {}, false}}},
                    {whole(kS1, pages({{"a", "1"}})), rejected(kE2)}},
                   std::nullopt,
                   {},
                   kE2},
        AcceptCase{"three_parts_answer_after_the_last",
                   {{accept(kS1, std::nullopt, 0, false, pages({{"a", "12"}})), std::nullopt},
                    {accept(kS1, std::nullopt, 1, false, pages({{"a", "34"}})), std::nullopt},
                    {accept(kS1, std::nullopt, 2, true, pages({{"a", "5"}, {"b", "x"}})), accepted(kS1)}},
                   kS1,
                   pages({{"a", "12345"}, {"b", "x"}}),
                   kE1},
        AcceptCase{"lost_middle_part_spoils_the_write",
                   {{accept(kS1, std::nullopt, 0, false, pages({{"a", "12"}})), std::nullopt},
                    {accept(kS1, std::nullopt, 2, true, pages({{"a", "5"}})), std::nullopt},
                    {accept(kS1, std::nullopt, 1, false, pages({{"a", "34"}})), std::nullopt}},
                   std::nullopt,
                   {},
                   kE1},
        AcceptCase{"part_of_another_write_discards_the_staged_one",
                   {{accept(kS1, std::nullopt, 0, false, pages({{"a", "12"}})), std::nullopt},
                    {accept(kS2, std::nullopt, 1, true, pages({{"a", "34"}})), std::nullopt},
                    {accept(kS1, std::nullopt, 1, true, pages({{"a", "34"}})), std::nullopt}},
                   std::nullopt,
                   {},
                   kE1},
        AcceptCase{"change_without_any_state_needs_the_whole",
                   {{accept(kS2, kS1, 0, true, pages({{"a", "2"}})), need_full(kS2)},
                    {whole(kS2, pages({{"a", "2"}})), accepted(kS2)}},
                   kS2,
                   pages({{"a", "2"}}),
                   kE1},
        AcceptCase{"change_against_another_base_needs_the_whole",
                   {{whole(kS1, pages({{"a", "1"}})), accepted(kS1)},
                    {accept(kS3, kS2, 0, true, pages({{"a", "3"}})), need_full(kS3)}},
                   kS1,
                   pages({{"a", "1"}}),
                   kE1},
        AcceptCase{"need_full_still_raises_the_promise",
                   {{accept(kT1, kS1, 0, true, pages({{"a", "3"}})), need_full(kT1)}},
                   std::nullopt,
                   {},
                   Epoch{2, kOwner}},
        AcceptCase{"change_puts_pages_and_drops_names",
                   {{whole(kS1, pages({{"a", "1"}, {"b", "2"}, {"c", "3"}})), accepted(kS1)},
                    {accept(kS2, kS1, 0, false, pages({{"b", "ne"}})), std::nullopt},
                    {accept(kS2, kS1, 1, true, pages({{"b", "w"}}), {"c"}), accepted(kS2)}},
                   kS2,
                   pages({{"a", "1"}, {"b", "new"}}),
                   kE1},
        // A write of the same term that arrives after a later one was applied must not undo it.
        AcceptCase{"late_older_write_of_the_same_term_is_not_applied",
                   {{whole(kS2, pages({{"a", "2"}})), accepted(kS2)},
                    {whole(kS1, pages({{"a", "1"}})), std::nullopt}},
                   kS2,
                   pages({{"a", "2"}}),
                   kE1},
        // A NeedFull sends the whole state under the stamp of the change, numbered from 0 again.
        AcceptCase{"parts_of_the_change_and_of_the_whole_do_not_mix",
                   {{whole(kS1, pages({{"a", "1"}})), accepted(kS1)},
                    {accept(kS2, kS1, 0, false, pages({{"b", "ch"}})), std::nullopt},
                    {accept(kS2, std::nullopt, 0, false, pages({{"a", "12"}})), std::nullopt},
                    {accept(kS2, kS1, 1, true, pages({{"b", "ange"}})), std::nullopt},
                    {accept(kS2, std::nullopt, 1, true, pages({{"a", "3"}})), accepted(kS2)}},
                   kS2,
                   pages({{"a", "123"}}),
                   kE1},
        AcceptCase{"same_write_again_is_accepted_again",
                   {{whole(kS1, pages({{"a", "1"}})), accepted(kS1)}, {whole(kS1, pages({{"a", "1"}})), accepted(kS1)}},
                   kS1,
                   pages({{"a", "1"}}),
                   kE1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplicaPrepare, PromisesOnceAndReportsTheHeldState) {
  Replica replica(kOwn, 1000);
  EXPECT_EQ(replica.receive(prepare(kE1), true), (Reply{Promise{"t", "k", kE1, kOwn, std::nullopt, {}, {}, true}}));
  // The same term again: refused with the promise it already has.
  EXPECT_EQ(replica.receive(prepare(kE1), false), rejected(kE1));
  ASSERT_TRUE(replica.receive(whole(kS1, pages({{"a", "1"}, {"b", ""}})), false));
  EXPECT_EQ(replica.receive(prepare(kE3), false),
            (Reply{Promise{"t", "k", kE3, kOwn, kS1, {{"a", 1}, {"b", 0}}, pages({{"a", "1"}, {"b", ""}}), false}}));
  EXPECT_EQ(replica.receive(prepare(kE2), false), rejected(kE3));
  EXPECT_EQ(replica.promised("t", "k"), kE3);
}

TEST(ReplicaPrepare, StateOverTheBudgetIsSizedButNotSent) {
  Replica replica(kOwn, 50);
  const Pages big = pages({{"a", std::string(20, 'x')}, {"b", std::string(20, 'y')}});  // 37 + 37 > 50
  ASSERT_TRUE(replica.receive(whole(kS1, big), false));
  auto reply = replica.receive(prepare(kE2), false);
  ASSERT_TRUE(reply);
  const auto& promise = std::get<Promise>(reply->variant);
  EXPECT_TRUE(promise.pages.empty());
  EXPECT_EQ(promise.sizes, (Sizes{{"a", 20}, {"b", 20}}));
}

TEST(ReplicaFetch, AnswersThePlannedPart) {
  Replica replica(kOwn, 40);
  ASSERT_TRUE(replica.receive(whole(kS1, pages({{"a", std::string(28, 'x')}, {"b", "y"}})), false));
  auto fetch = [&](Names names, std::uint32_t part) {
    auto reply = replica.receive(Request{Fetch{"t", "k", kE2, std::move(names), part}}, false);
    EXPECT_TRUE(reply);
    return std::get<messages::Pages>(reply->variant);
  };
  // "a" costs 1 + 16 + 28 = 45 > 40: it spans two parts, and "b" (18) just fits into the second.
  auto p0 = fetch({"a", "zz", "b"}, 0);
  EXPECT_EQ(p0.epoch, kE2);
  EXPECT_EQ(p0.accepted, kS1);
  EXPECT_FALSE(p0.final_);
  EXPECT_EQ(p0.pages, pages({{"a", std::string(23, 'x')}}));
  auto p1 = fetch({"a", "zz", "b"}, 1);
  EXPECT_TRUE(p1.final_);
  EXPECT_EQ(p1.pages, pages({{"a", std::string(5, 'x')}, {"b", "y"}}));
  auto p5 = fetch({"b"}, 5);
  EXPECT_TRUE(p5.final_);
  EXPECT_TRUE(p5.pages.empty());
  // The fetch does not compare its term with the promise.
  EXPECT_EQ(replica.promised("t", "k"), kE1);
}

TEST(ReplicaFetch, UnknownKeyMakesAnEmptyRecord) {
  Replica replica(kOwn, 40);
  auto reply = replica.receive(Request{Fetch{"t", "k", kE2, {"a"}, 0}}, false);
  EXPECT_EQ(reply, (Reply{messages::Pages{"t", "k", kE2, std::nullopt, 0, true, {}}}));
  EXPECT_EQ(replica.keys("t"), std::vector<std::string>{"k"});
}

struct BuryCase {
  const char* name;
  std::vector<Request> before;
  Stamp bury;
  bool buried;  // the tombstone replaced the held state
};

class ReplicaBury : public ::testing::TestWithParam<BuryCase> {};

TEST_P(ReplicaBury, Rules) {
  const auto& c = GetParam();
  Replica replica(kOwn, 1000);
  for (const auto& r : c.before) replica.receive(r, false);
  const auto before = replica.records;
  replica.tombstones.clear();
  EXPECT_EQ(replica.receive(Request{Bury{"t", "k", c.bury, kRival}}, true),
            (Reply{Buried{"t", "k", c.bury, kOwn, true}}));
  if (!c.buried) {
    EXPECT_EQ(replica.records, before);
    EXPECT_TRUE(replica.tombstones.empty());
    return;
  }
  EXPECT_EQ(replica.accepted("t", "k"), c.bury);
  EXPECT_EQ(replica.entry("t", "k")->pages, tombstone());
  EXPECT_FALSE(replica.entry("t", "k")->staged);
  EXPECT_EQ(replica.deleted("t", "k"), c.bury);
  EXPECT_EQ(replica.tombstones, (std::vector<replica::Tombstone>{{"t", "k", c.bury}}));
  EXPECT_FALSE(Epoch::order(*replica.promised("t", "k"), c.bury.epoch) < 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplicaBury,
    ::testing::Values(BuryCase{"no_record", {}, kT1, false},
                      BuryCase{"record_without_a_state", {prepare(kE1)}, kT1, false},
                      BuryCase{"equal_stamp", {whole(kT1, tombstone())}, kT1, false},
                      BuryCase{"held_state_is_later", {whole(kT1, pages({{"a", "1"}}))}, kS1, false},
                      BuryCase{"older_state", {whole(kS1, pages({{"a", "1"}}))}, kT1, true},
                      BuryCase{"older_state_with_a_staged_write",
                               {whole(kS1, pages({{"a", "1"}})), accept(kS2, std::nullopt, 0, false, pages({{"a", "2"}}))},
                               kT1,
                               true},
                      BuryCase{"promise_stays_when_higher",
                               {whole(kS1, pages({{"a", "1"}})), prepare(Epoch{7, kRival})},
                               kT1,
                               true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplicaTombstones, EachStoredTombstoneIsListed) {
  Replica replica(kOwn, 1000);
  replica.receive(whole(kS1, tombstone()), false);
  replica.receive(Request{Bury{"t", "k", kS2, kRival}}, false);
  replica.receive(whole(kS3, pages({{"a", "1"}})), false);
  EXPECT_EQ(replica.tombstones, (std::vector<replica::Tombstone>{{"t", "k", kS1}, {"t", "k", kS2}}));
  EXPECT_EQ(replica.deleted("t", "k"), std::nullopt);
}

TEST(ReplicaQueries, ListMarkAndForget) {
  Replica replica(kOwn, 1000);
  replica.receive(whole(kS1, pages({{"@active", ""}, {"a", "1"}})), false);
  replica.receive(Request{Accept{"t", "gone", kS1, std::nullopt, 0, true, tombstone(), {}}}, false);
  replica.receive(Request{Prepare{"u", "x", kE1}}, false);
  auto keys = replica.keys("t");
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"gone", "k"}));
  auto kept = replica.kept();
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
  EXPECT_EQ(kept, (std::vector<replica::Kept>{{"t", "gone", true}, {"t", "k", false}, {"u", "x", false}}));
  EXPECT_TRUE(replica.marked("t", "k"));
  EXPECT_FALSE(replica.marked("t", "gone"));
  EXPECT_FALSE(replica.marked("t", "nothing"));
  EXPECT_EQ(replica.accepted("u", "x"), std::nullopt);

  replica.purge("t", "gone", kS2);  // another stamp: kept
  replica.purge("t", "k", kS1);     // not a tombstone: kept
  EXPECT_EQ(replica.records.size(), 3u);
  replica.purge("t", "gone", kS1);
  EXPECT_EQ(replica.entry("t", "gone"), nullptr);
  replica.drop("t", "k");
  EXPECT_EQ(replica.entry("t", "k"), nullptr);
}

TEST(ReplicaCopies, CutsTheRecordByTheBudget) {
  Replica replica(kOwn, 40);
  EXPECT_TRUE(replica.copies("t", "k").empty());
  replica.receive(prepare(kE1), false);
  EXPECT_EQ(replica.copies("t", "k"), (std::vector<Copy>{{"k", std::nullopt, kE1, {}, 0, true}}));
  replica.receive(whole(kS1, pages({{"a", std::string(60, 'x')}})), false);
  const auto copies = replica.copies("t", "k");
  ASSERT_EQ(copies.size(), 3u);  // 23 + 23 + 14 bytes
  Pages back;
  for (std::uint32_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(copies[i].part, i);
    EXPECT_EQ(copies[i].final_, i == 2);
    EXPECT_EQ(copies[i].accepted, kS1);
    EXPECT_EQ(copies[i].promised, kE1);
    parts::append(back, copies[i].pages);
  }
  EXPECT_EQ(back, replica.entry("t", "k")->pages);
}

TEST(ReplicaInstall, KeepsTheLaterStateAndTheHigherPromise) {
  Replica replica(kOwn, 1000);
  replica.receive(whole(kS2, pages({{"a", "2"}})), false);
  replica.install("t", Copy{"k", kS1, kE3, pages({{"a", "1"}}), 0, true});
  EXPECT_EQ(replica.entry("t", "k")->pages, pages({{"a", "2"}}));
  EXPECT_EQ(replica.promised("t", "k"), kE3);
  replica.install("t", Copy{"k", kT1, kE1, tombstone(), 0, true});
  EXPECT_EQ(replica.accepted("t", "k"), kT1);
  EXPECT_EQ(replica.deleted("t", "k"), kT1);
  EXPECT_EQ(replica.promised("t", "k"), kE3);
  EXPECT_EQ(replica.tombstones, (std::vector<replica::Tombstone>{{"t", "k", kT1}}));
  replica.install("t", Copy{"new", std::nullopt, std::nullopt, {}, 0, true});
  EXPECT_EQ(*replica.entry("t", "new"), replica::Entry{});
}

TEST(ReplicaArriving, ReassemblesCopiesAcrossMessages) {
  Replica replica(kOwn, 1000);
  replica::Arriving arriving;
  EXPECT_TRUE(arriving.take(replica, "t", 7, 0, {Copy{"k", kS1, kE1, pages({{"a", "12"}}), 0, false}}).empty());
  EXPECT_EQ(arriving.take(replica, "t", 7, 1,
                          {Copy{"k", kS1, kE1, pages({{"a", "3"}}), 1, true}, Copy{"j", kS1, kE1, {}, 0, true}}),
            (std::vector<std::string>{"k", "j"}));
  EXPECT_FALSE(arriving.gap);
  EXPECT_EQ(replica.entry("t", "k")->pages, pages({{"a", "123"}}));
  EXPECT_EQ(replica.accepted("t", "j"), kS1);
}

TEST(ReplicaArriving, NotesGaps) {
  Replica replica(kOwn, 1000);
  replica::Arriving arriving;
  // A new stream that does not begin at part 0.
  arriving.take(replica, "t", 1, 1, {});
  EXPECT_TRUE(arriving.gap);
  // Another stream starts afresh.
  arriving.take(replica, "t", 2, 0, {Copy{"k", kS1, kE1, pages({{"a", "1"}}), 0, false}});
  EXPECT_FALSE(arriving.gap);
  // A skipped message drops the half copy.
  EXPECT_TRUE(arriving.take(replica, "t", 2, 2, {Copy{"k", kS1, kE1, pages({{"a", "2"}}), 1, true}}).empty());
  EXPECT_TRUE(arriving.gap);
  EXPECT_EQ(replica.entry("t", "k"), nullptr);
  // A copy that does not continue the held one.
  replica::Arriving other;
  other.take(replica, "t", 3, 0, {Copy{"k", kS1, kE1, {}, 0, false}, Copy{"j", kS1, kE1, {}, 0, true}});
  EXPECT_TRUE(other.gap);
  EXPECT_EQ(replica.entry("t", "k"), nullptr);
  EXPECT_NE(replica.entry("t", "j"), nullptr);
}

}  // namespace
}  // namespace vorel::core::replication
