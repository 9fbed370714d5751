// The kept reply bytes must always be exactly what encoding the whole text
// gives, whatever the change from one reply to the next and whether a chat's
// bytes were offered with it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "room/Room.h"
#include "tests/support/FakePorts.h"
#include "wire/Cp932.h"
#include "wire/StateEncoder.h"

namespace velmor {
namespace {

// Hands every state reply the room sends to a StateEncoder and checks its
// bytes against encoding the whole text.
struct CheckingConnections : testing::FakeConnections {
  StateEncoder encoder;
  int checked = 0;
  void SendState(SlotIndex, const StateReply& reply) override {
    const std::string expected = Cp932::Instance().Encode(reply.Text());
    ASSERT_EQ(encoder.Encode(reply), expected) << "reply " << checked;
    ++checked;
  }
};

TEST(StateEncoder, FollowsARoomThroughRandomJoinsChatsRolloverAndLeaves) {
  CheckingConnections connections;
  testing::FakeStatus status;
  Room room(connections, status);
  std::mt19937 random(23);
  // Lines of every length up to a thousand characters (the longer ones take
  // their request's bytes when offered), with characters code page 932
  // lacks and surrogate pairs, whole and split.
  const std::u16string pieces[] = {u"a", u"日本語", u"髙", u"😀", u"\xD83D", u"\r\n", u"ｶﾅ"};
  const auto text = [&] {
    std::u16string t;
    for (int i = random() % (random() % 4 == 0 ? 400 : 80); i > 0; --i)
      t += pieces[random() % std::size(pieces)];
    return t;
  };
  for (int event = 0; event < 3000; ++event) {
    const SlotIndex slot = static_cast<SlotIndex>(1 + random() % 6);
    switch (random() % 6) {
      case 0:
        room.OnArrival(slot, u"CanEnter?" + text() + u"/*/~k");
        break;
      case 1:
        room.OnPeerClosed(slot);
        break;
      case 2:
        room.AppendLogLine(Room::OperatorLine(text()));
        room.OnArrival(slot, u"/Reflesh//*/~" + room.MemberKey(slot));
        break;
      default: {
        const std::u16string request = u"NormalTel" + text() + u"/*/~" + room.MemberKey(slot);
        if (event % 2 == 0) {
          room.OnArrival(slot, request);
          break;
        }
        // As a client's request comes: its bytes are offered with their text.
        const std::string bytes = Cp932::Instance().Encode(request);
        std::u16string decoded;
        if (Cp932::Instance().DecodeInto(bytes, decoded)) {
          connections.encoder.OfferSource(decoded, bytes);
        }
        room.OnArrival(slot, decoded);
        connections.encoder.Withdraw();
        break;
      }
    }
  }
  EXPECT_GT(connections.checked, 1500);
}

}  // namespace
}  // namespace velmor
