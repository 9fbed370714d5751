// The log, its rollover and the two renderings.
#include <gtest/gtest.h>

#include "room/Room.h"
#include "tests/support/FakePorts.h"

namespace velmor::testing {
namespace {

class RoomStateTest : public ::testing::Test {
 protected:
  std::u16string Line(int i) { return u"line " + std::u16string(1, u'A' + i % 26) + Number(i); }
  static std::u16string Number(int i) {
    std::u16string digits;
    do {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + i % 10));
      i /= 10;
    } while (i > 0);
    return digits;
  }
  void Join(SlotIndex slot, const std::u16string& name) {
    room.OnArrival(slot, u"CanEnter?" + name + u"/*/~k");
  }

  FakeConnections connections;
  FakeStatus status;
  Room room{connections, status};
};

TEST_F(RoomStateTest, LogFillsUpwardAndRollsOverAtFifty) {
  for (int i = 0; i < 50; ++i) room.AppendLogLine(Line(i));
  EXPECT_EQ(room.LogCount(), 50);
  EXPECT_EQ(room.LogLine(0), Line(0));
  EXPECT_EQ(room.LogLine(49), Line(49));
  EXPECT_TRUE(room.LogLine(50).empty()) << "nothing beyond the newest line";

  room.AppendLogLine(Line(50));
  EXPECT_EQ(room.LogCount(), 50);
  EXPECT_EQ(room.LogLine(0), Line(1)) << "the oldest line is dropped";
  EXPECT_EQ(room.LogLine(48), Line(49));
  EXPECT_EQ(room.LogLine(49), Line(50));
  EXPECT_TRUE(room.LogLine(50).empty());
}

TEST_F(RoomStateTest, LogKeepsTheLastFiftyInOrderAfterManyAppends) {
  for (int i = 0; i < 237; ++i) room.AppendLogLine(Line(i));
  for (int k = 0; k < 50; ++k) ASSERT_EQ(room.LogLine(k), Line(237 - 50 + k)) << "entry " << k;
  EXPECT_TRUE(room.LogLine(50).empty());
}

// A room taken back after a restart is the room that was kept: the same
// reply, and its lines go on counting from where they stopped.
TEST_F(RoomStateTest, ARestoredRoomRepliesAsTheKeptOneAndGoesOnCounting) {
  for (int i = 0; i < 237; ++i) room.AppendLogLine(Line(i));
  Join(3, u"花子");
  std::vector<KeptLine> kept;
  for (int k = 0; k < room.LogCount(); ++k)
    kept.push_back({room.State().LineNumber(room.LogCount() - 1 - k), room.LogLine(k)});

  FakeConnections otherConnections;
  Room restored{otherConnections, status};
  restored.Restore(kept);
  restored.SeatKept(3, u"花子", u"k");
  EXPECT_EQ(restored.State().Text(), room.State().Text());
  EXPECT_EQ(restored.State().LineNumber(0), room.State().LineNumber(0));

  room.AppendLogLine(u"next");
  restored.AppendLogLine(u"next");
  EXPECT_EQ(restored.State().Text(), room.State().Text()) << "the oldest line gives way, as before";
  EXPECT_EQ(restored.State().LineNumber(0), room.State().LineNumber(0));
  restored.OnArrival(3, u"NormalTelあ/*/~k");
  EXPECT_EQ(restored.LogLine(49), u"〔花子〕あ") << "the kept member posts under its key";
}

TEST_F(RoomStateTest, LogViewIsNewestFirstWithLineBreakAfterEach) {
  EXPECT_EQ(room.CurrentViews().second, u"");
  room.AppendLogLine(u"first");
  room.AppendLogLine(u"second");
  EXPECT_EQ(room.CurrentViews().second, u"second\r\nfirst\r\n");

  for (int i = 0; i < 60; ++i) room.AppendLogLine(Line(i));
  const std::u16string log(room.CurrentViews().second);
  EXPECT_EQ(log.substr(0, Line(59).size() + 2), Line(59) + u"\r\n");
  EXPECT_TRUE(log.ends_with(Line(10) + u"\r\n"));
  std::size_t breaks = 0;
  for (std::size_t p = log.find(u"\r\n"); p != std::u16string::npos; p = log.find(u"\r\n", p + 2)) {
    ++breaks;
  }
  EXPECT_EQ(breaks, 50u);
}

TEST_F(RoomStateTest, MemberListIsInSlotOrderNotJoinOrder) {
  EXPECT_EQ(room.CurrentViews().first, u"");
  Join(5, u"Five");
  Join(2, u"Two");
  Join(7, u"Two");
  Join(9, u"");
  EXPECT_EQ(room.CurrentViews().first, u"Two\r\nFive\r\nTwo\r\n")
      << "duplicates are listed, empty names skipped";
}

TEST_F(RoomStateTest, LeaveLineWithEmptyNameWhenPeerClosesBeforeJoining) {
  room.OnPeerClosed(3);
  EXPECT_EQ(room.LogLine(0), u"【お知らせ】さんが退室されました");
  EXPECT_EQ(connections.released, std::vector<SlotIndex>{3});
}

TEST_F(RoomStateTest, PeerCloseForgetsTheMemberAndAnnouncesTheLeave) {
  FakeDisplay display{room};
  room.SetDisplay(&display);
  Join(4, u"花子");
  display.calls.clear();
  room.OnPeerClosed(4);
  EXPECT_TRUE(room.MemberName(4).empty());
  EXPECT_TRUE(room.MemberKey(4).empty());
  EXPECT_EQ(room.LogLine(1), u"【お知らせ】花子さんが退室されました");
  ASSERT_EQ(display.calls.size(), 2u);
  EXPECT_EQ(display.calls[0], u"M:");
  EXPECT_EQ(display.calls[1],
            u"L:【お知らせ】花子さんが退室されました\r\n【お知らせ！】花子さんが参加しました\r\n");
  EXPECT_TRUE(status.texts.empty()) << "a peer close leaves the status line alone";
}

TEST_F(RoomStateTest, ConnectionErrorDropsMemberWithoutLeaveLineAndRefreshes) {
  FakeDisplay display{room};
  room.SetDisplay(&display);
  Join(6, u"Jiro");
  display.calls.clear();
  room.OnConnectionFailed(6);
  EXPECT_TRUE(room.MemberName(6).empty());
  EXPECT_TRUE(room.MemberKey(6).empty());
  EXPECT_EQ(room.LogCount(), 1) << "no leave line on the error path";
  ASSERT_EQ(status.texts.size(), 1u);
  EXPECT_EQ(status.texts[0], u"192.0.2.6:40006(192.0.2.6)でエラーにより、この接続を切ります");
  ASSERT_EQ(display.calls.size(), 2u);
  EXPECT_EQ(display.calls[0], u"M:") << "the departed member leaves the view at once";
}

TEST_F(RoomStateTest, RefreshWritesMembersThenLogAndNowhereWithoutDisplay) {
  room.AppendLogLine(u"x");
  room.RefreshDisplay();  // no display: must not fail
  FakeDisplay display{room};
  room.SetDisplay(&display);
  room.RefreshDisplay();
  EXPECT_EQ(display.calls, (std::vector<std::u16string>{u"M:", u"L:x\r\n"}));
}

TEST_F(RoomStateTest, OperatorLineWrapsTextUnchanged) {
  EXPECT_EQ(Room::OperatorLine(u"abc"), u"《Velmor様曰：abc》");
  EXPECT_EQ(Room::OperatorLine(u"   "), u"《Velmor様曰：   》");
}

TEST_F(RoomStateTest, EventsOnSlotsOutsideTheTablesAreIgnored) {
  room.OnArrival(21, u"CanEnter?x/*/~k");
  room.OnPeerClosed(0);
  room.OnConnectionFailed(-1);
  EXPECT_EQ(room.LogCount(), 0);
  EXPECT_TRUE(connections.sent.empty());
  EXPECT_TRUE(connections.released.empty());
}

}  // namespace
}  // namespace velmor::testing
