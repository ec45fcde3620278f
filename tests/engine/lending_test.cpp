// The lending of what the program owns: who holds it newest, and who ends it.
#include "lending.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Thing {
  explicit Thing(int id) : id(id) {}
  int id;
  std::vector<std::pair<std::string, std::string>> changes;  // (was, now), "-" for none
};

using TestLending = engine::Lending<int, Thing, std::string>;

TestLending record_changes() {
  return TestLending([](Thing& thing, const std::string* was, const std::string* now) {
    thing.changes.emplace_back(was ? *was : "-", now ? *now : "-");
  });
}

std::function<std::shared_ptr<Thing>()> maker(int id, int* calls) {
  return [id, calls] {
    ++*calls;
    return std::make_shared<Thing>(id);
  };
}

TEST(Lending, a_later_lease_on_the_same_key_borrows_the_thing_and_becomes_the_newest) {
  TestLending lending = record_changes();
  int made = 0;
  bool first_made = false, second_made = true;
  auto first = lending.borrow(7, "a", maker(1, &made), &first_made);
  auto second = lending.borrow(7, "b", maker(2, &made), &second_made);
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(first_made);
  EXPECT_FALSE(second_made);
  EXPECT_EQ(first->thing(), second->thing());
  EXPECT_FALSE(first->newest());
  EXPECT_TRUE(second->newest());
  auto changes = second->thing()->changes;
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0], std::make_pair(std::string("-"), std::string("a")));
  EXPECT_EQ(changes[1], std::make_pair(std::string("a"), std::string("b")));
}

TEST(Lending, the_newest_going_first_hands_the_thing_back_to_the_one_before) {
  TestLending lending = record_changes();
  int made = 0;
  auto older = lending.borrow(7, "a", maker(1, &made));
  auto newer = lending.borrow(7, "b", maker(1, &made));
  std::shared_ptr<Thing> thing = newer->thing();
  EXPECT_EQ(newer->give_back(), nullptr);  // someone still holds it
  EXPECT_TRUE(older->newest());
  EXPECT_FALSE(newer->newest());
  EXPECT_EQ(thing->changes.back(), std::make_pair(std::string("b"), std::string("a")));
}

TEST(Lending, an_older_lease_going_first_changes_nothing_for_the_newest) {
  TestLending lending = record_changes();
  int made = 0;
  auto older = lending.borrow(7, "a", maker(1, &made));
  auto newer = lending.borrow(7, "b", maker(1, &made));
  const size_t changes = newer->thing()->changes.size();
  older.reset();
  EXPECT_TRUE(newer->newest());
  EXPECT_EQ(newer->thing()->changes.size(), changes);
}

TEST(Lending, the_last_lease_answers_the_thing_to_end_once_and_the_next_borrow_makes_a_new_one) {
  TestLending lending = record_changes();
  int made = 0;
  auto lease = lending.borrow(7, "a", maker(1, &made));
  std::shared_ptr<Thing> ended = lease->give_back();
  ASSERT_NE(ended, nullptr);
  EXPECT_EQ(ended->id, 1);
  EXPECT_EQ(ended->changes.back(), std::make_pair(std::string("a"), std::string("-")));
  EXPECT_EQ(lease->give_back(), nullptr);  // a second give-back is nothing
  lease.reset();
  auto again = lending.borrow(7, "b", maker(2, &made));
  EXPECT_EQ(made, 2);
  EXPECT_EQ(again->thing()->id, 2);
}

TEST(Lending, other_keys_and_things_lent_alone_are_never_shared) {
  TestLending lending = record_changes();
  int made = 0;
  auto seven = lending.borrow(7, "a", maker(1, &made));
  auto eight = lending.borrow(8, "b", maker(2, &made));
  auto alone = lending.lend_alone("c", std::make_shared<Thing>(3));
  EXPECT_EQ(made, 2);
  EXPECT_TRUE(seven->newest());
  EXPECT_TRUE(eight->newest());
  EXPECT_TRUE(alone->newest());
  EXPECT_NE(alone->give_back(), nullptr);
  EXPECT_TRUE(seven->newest());
}

TEST(Lending, a_thing_that_cannot_be_made_is_not_lent) {
  TestLending lending;
  auto lease = lending.borrow(7, "a", [] { return std::shared_ptr<Thing>(); });
  EXPECT_EQ(lease, nullptr);
  int made = 0;
  auto later = lending.borrow(7, "b", maker(1, &made));
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(made, 1);
}

}  // namespace
