// Where each new connection goes.
#include <gtest/gtest.h>

#include "room/SlotTable.h"

namespace velmor {
namespace {

using Kind = SlotTable::Vacancy::Kind;

SlotIndex Connect(SlotTable& table) {
  const auto vacancy = table.FindSlot();
  if (vacancy.kind == Kind::Full) return -1;
  table.Take(vacancy);
  return vacancy.slot;
}

TEST(SlotTable, FirstConnectionsMakeSlotsOneAndTwo) {
  SlotTable table;
  table.Open();
  EXPECT_EQ(Connect(table), 1) << "slot 0 is the listener's";
  EXPECT_EQ(Connect(table), 2);
}

TEST(SlotTable, FreedSlotBelowTopIsReusedWithoutGrowing) {
  SlotTable table;
  table.Open();
  Connect(table);
  Connect(table);
  table.Free(1);
  EXPECT_EQ(Connect(table), 1);
  const auto next = table.FindSlot();
  EXPECT_EQ(next.kind, Kind::NewSlot);
  EXPECT_EQ(next.slot, 3) << "reusing slot 1 made no new slot";
}

TEST(SlotTable, FreedTopSlotIsSkippedOnceThenReused) {
  SlotTable table;
  table.Open();
  Connect(table);
  Connect(table);
  table.Free(2);
  EXPECT_EQ(Connect(table), 3);
  EXPECT_EQ(Connect(table), 2);
  EXPECT_EQ(Connect(table), 4);
}

TEST(SlotTable, TwentyClientsAtMostAndAFreedSlotIsTakenAgain) {
  SlotTable table;
  table.Open();
  for (int i = 1; i <= 20; ++i) ASSERT_EQ(Connect(table), i);
  EXPECT_EQ(table.FindSlot().kind, Kind::Full) << "no slot above 20 is ever made";

  table.Free(20);
  EXPECT_EQ(Connect(table), 20) << "at the limit a free top slot is reused";
  table.Free(7);
  EXPECT_EQ(Connect(table), 7);
  EXPECT_EQ(table.FindSlot().kind, Kind::Full);
}

TEST(SlotTable, FreeingTheSkippedTopSlotAtTheLimitNeverRefusesWhileASlotIsFree) {
  SlotTable table;
  table.Open();
  for (int i = 1; i <= 19; ++i) Connect(table);
  table.Free(19);
  EXPECT_EQ(Connect(table), 20);
  EXPECT_EQ(Connect(table), 19);
  EXPECT_EQ(table.FindSlot().kind, Kind::Full);
}

}  // namespace
}  // namespace velmor
