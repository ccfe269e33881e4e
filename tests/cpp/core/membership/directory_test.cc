#include "core/membership/directory.hpp"

#include <gtest/gtest.h>

#include "core/membership/support.hpp"

namespace vorel::core::membership {
namespace {

using table::Record;
using table::Status;
using table::Transition;
using testing::node;
using testing::record;
using wire::Body;
using wire::Sender;

const NodeId kClient{std::nullopt, node(99).incarnation};

Directory make() { return Directory(kClient, {"s1:7000", "s2:7000"}, testing::seeded(3)); }

void reply(Directory& d, int from, std::vector<Record> records) {
  d.receive(wire::encode(wire::Message{Sender{record(node(from), 0, Status::Alive)}, Body{Body::SyncReply{records}}}),
            1.0);
}

// Every question is a Sync without records from the bare client id; the targets, in order.
std::vector<Destination> questions(Directory& d) {
  std::vector<Destination> out;
  for (const auto& o : d.take()) {
    EXPECT_EQ(o.message, (wire::Message{Sender{kClient}, Body{Body::Sync{}}}));
    out.push_back(o.to);
  }
  return out;
}

bool is_seed(const Destination& to) { return std::holds_alternative<std::string>(to); }

TEST(Directory, AsksASeedUntilAMemberAnswers) {
  Directory d = make();
  EXPECT_FALSE(d.joined());
  d.join();
  auto asked = questions(d);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(is_seed(asked[0]));

  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Suspect)});
  EXPECT_TRUE(d.joined());
  d.anti_entropy();
  EXPECT_EQ(questions(d), std::vector<Destination>{node(1)});  // the only alive member
  // No reply since: back to a seed, members or not.
  d.refresh();
  asked = questions(d);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(is_seed(asked[0]));
}

TEST(Directory, ReplyReplacesTheListAndLogsTheDifferences) {
  Directory d = make();
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Alive), record(node(3), 0, Status::Alive)});
  EXPECT_EQ(d.transitions(), (std::vector<Transition>{{node(1), Status::Alive, std::nullopt},
                                                      {node(2), Status::Alive, std::nullopt},
                                                      {node(3), Status::Alive, std::nullopt}}));
  EXPECT_TRUE(d.changed());
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Suspect), record(node(3), 1, Status::Left),
               record(node(4), 0, Status::Alive, {"t"})});
  EXPECT_EQ(d.members(), (std::vector<Member>{{node(1), {}, Status::Alive},
                                              {node(2), {}, Status::Suspect},
                                              {node(4), {"t"}, Status::Alive}}));
  EXPECT_EQ(d.transitions(), (std::vector<Transition>{{node(2), Status::Suspect, Status::Alive},
                                                      {node(4), Status::Alive, std::nullopt},
                                                      {node(3), Status::Left, Status::Alive}}));
  d.changed();
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Suspect), record(node(4), 0, Status::Alive, {"t"})});
  EXPECT_TRUE(d.transitions().empty());
  EXPECT_TRUE(d.changed());  // set whether or not anything differed
}

TEST(Directory, UnreachedMembersAreDeadUntilTheyAnswer) {
  Directory d = make();
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Alive)});
  d.transitions();
  d.changed();

  EXPECT_TRUE(d.unreached(node(2), 2.0));
  EXPECT_EQ(d.members()[1], (Member{node(2), {}, Status::Dead}));
  EXPECT_EQ(d.transitions(), (std::vector<Transition>{{node(2), Status::Dead, Status::Alive}}));
  EXPECT_TRUE(d.changed());
  EXPECT_TRUE(d.unreached(node(2), 2.0));
  EXPECT_TRUE(d.transitions().empty());
  EXPECT_TRUE(d.unreached(node(7), 2.0));
  EXPECT_TRUE(d.transitions().empty());
  EXPECT_FALSE(d.changed());

  // Every question also goes to the unreached member; never as the member picked to answer.
  for (int round = 0; round < 10; ++round) {
    d.anti_entropy();
    auto asked = questions(d);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NE(asked[0], Destination{node(2)});
    EXPECT_EQ(asked[1], Destination{node(2)});
  }
  // Another member listing it as alive keeps it unreached; its own answer brings it back.
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Alive)});
  EXPECT_EQ(d.members()[1].status, Status::Dead);
  EXPECT_TRUE(d.transitions().empty());
  reply(d, 2, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Alive)});
  EXPECT_EQ(d.members()[1].status, Status::Alive);
  EXPECT_EQ(d.transitions(), (std::vector<Transition>{{node(2), Status::Alive, Status::Dead}}));

  // A reply that lists it dead, or not at all, ends the watch.
  d.unreached(node(2), 3.0);
  reply(d, 1, {record(node(1), 0, Status::Alive), record(node(2), 0, Status::Dead)});
  d.anti_entropy();
  EXPECT_EQ(questions(d).size(), 1u);
}

TEST(Directory, OtherMessagesChangeNothing) {
  Directory d = make();
  const Sender member{record(node(1), 0, Status::Alive)};
  for (const auto& body : {Body{Body::Sync{{record(node(1), 0, Status::Alive)}}}, Body{Body::Ping{}},
                           Body{Broadcast{Broadcast::Gossip{EventId{node(1), 1}, record(node(1), 0, Status::Alive)}}}}) {
    d.receive(wire::encode(wire::Message{member, body}), 1.0);
  }
  d.receive(Bytes{0x92, 0x00}, 1.0);
  EXPECT_TRUE(d.members().empty());
  EXPECT_FALSE(d.joined());
  EXPECT_FALSE(d.changed());
  EXPECT_TRUE(d.take().empty());
}

TEST(Directory, LostQuestionsAListedMember) {
  Directory d = make();
  reply(d, 1, {record(node(1), 0, Status::Alive)});
  d.lost(node(1), 2.0);
  EXPECT_EQ(questions(d), std::vector<Destination>{node(1)});
  d.lost(node(5), 2.0);
  EXPECT_TRUE(d.take().empty());
}

TEST(Directory, NeverRemovedNorAMajority) {
  Directory d = make();
  reply(d, 1, {record(node(1), 0, Status::Alive)});
  d.probe(1.0);
  d.expire(1.0);
  d.shuffle(1.0);
  d.graft(1.0);
  d.know({"t"}, 1.0);
  d.leave(1.0);
  d.depart(1.0);
  d.heard(node(1), 1.0);
  EXPECT_TRUE(d.take().empty());
  EXPECT_FALSE(d.removed());
  EXPECT_FALSE(d.majority());
}

}  // namespace
}  // namespace vorel::core::membership
