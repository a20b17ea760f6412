#include "model/event_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tq {
namespace {

TimelineEvent numbered(uint64_t n) {
  TimelineEvent e;
  e.sequence = n;
  e.event_id = "event " + std::to_string(n);
  return e;
}

// Whatever mix of pushes, reservations and appended lists built it, a list
// holds its events in order, and none of them ever moves.
TEST(EventListTest, EventsKeepTheirOrderAndAddress) {
  EventList list;
  std::vector<const TimelineEvent*> addresses;
  uint64_t next = 0;
  auto push = [&](EventList& into, size_t count) {
    for (size_t i = 0; i < count; ++i) into.push_back(numbered(next++));
  };
  push(list, 3);
  list.reserve(10);
  push(list, 25);
  EventList other;
  push(other, 40);
  std::vector<TimelineEvent> plain;
  for (int i = 0; i < 5; ++i) plain.push_back(numbered(next++));
  for (const TimelineEvent& e : list) addresses.push_back(&e);
  for (const TimelineEvent& e : other) addresses.push_back(&e);
  list.append(std::move(other));
  list.reserve(7);  // an empty block at the end, then taken back by the append
  list.append(std::move(plain));
  push(list, 1000);
  EXPECT_TRUE(other.empty());
  ASSERT_EQ(list.size(), next);
  uint64_t expected = 0;
  for (const TimelineEvent& e : list) EXPECT_EQ(e.sequence, expected++);
  for (size_t i = 0; i < list.size(); i += 7) EXPECT_EQ(list[i].event_id, numbered(i).event_id);
  for (size_t i = 0; i < addresses.size(); ++i) EXPECT_EQ(&list[i], addresses[i]);
  EXPECT_EQ(list.back().sequence, next - 1);

  // A table orders the same events without moving them; a copy owns its own.
  std::vector<TimelineEvent*> reversed;
  for (TimelineEvent& e : list) reversed.insert(reversed.begin(), &e);
  EventTable table(std::move(list), reversed);
  EventTable copy = table;
  ASSERT_EQ(copy.size(), table.size());
  EXPECT_EQ(&table[table.size() - 1], addresses.front());
  EXPECT_NE(&copy[0], &table[0]);
  EXPECT_EQ(copy.front().sequence, next - 1);
  EXPECT_EQ((table.end() - 1)->sequence, 0u);
}

}  // namespace
}  // namespace tq
