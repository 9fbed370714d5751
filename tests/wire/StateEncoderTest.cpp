// The kept reply bytes must always be exactly what encoding the whole text
// gives, whatever the change from one reply to the next and whether a chat's
// bytes were offered with it.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>
#include <string>

#include "room/Room.h"
#include "tests/support/FakePorts.h"
#include "wire/Cp932.h"
#include "wire/StateEncoder.h"

namespace velmor {
namespace {

// Hands every state reply the room sends a client to the one StateEncoder
// the server's clients share, and checks its bytes against encoding the
// whole text. A browser's replies are made elsewhere and leave it as it was.
struct CheckingConnections : testing::FakeConnections {
  StateEncoder encoder;
  std::set<SlotIndex> browsers;
  int checked = 0;
  void SendState(SlotIndex slot, const StateReply& reply) override {
    if (browsers.count(slot)) return;
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

// A browser's lines reach the log with no reply through the encoder, so a
// client's next fetch may find none of the lines it was sent last: floods of
// more than 50 lines between fetches, all of one size or of mixed sizes,
// with joins and leaves, for clients that fetch each at its own rate.
TEST(StateEncoder, FollowsFloodsBetweenTheFetchesOfClientsThatFetchAtTheirOwnRates) {
  CheckingConnections connections;
  testing::FakeStatus status;
  Room room(connections, status);
  constexpr SlotIndex Browser = MaxClientSlot;
  connections.browsers.insert(Browser);
  room.OnArrival(Browser, u"CanEnter?ブラウザ/*/~b");
  std::mt19937 random(60);
  // Characters of one byte, and of two: lines of one length and one kind
  // are of one size.
  const std::u16string kinds[] = {u"abcｶﾅ", u"日本語漢字"};
  constexpr SlotIndex Clients = 4;
  std::array<bool, Clients + 1> joined{};
  long posted = 0;
  constexpr int Rounds = 1500;
  for (int round = 0; round < Rounds; ++round) {
    // Few lengths, so that a flood often leaves the log as long in bytes as
    // the one before it did.
    const std::u16string& kind = kinds[random() % 2];
    const bool alike = random() % 3 != 0;
    const std::size_t length = 10 * (1 + random() % 3);
    const int flood = static_cast<int>(random() % 4 == 0 ? random() % 10 : 45 + random() % 80);
    for (int i = 0; i < flood; ++i) {
      std::u16string text;
      for (std::size_t n = alike ? length : 1 + random() % 40; n > 0; --n)
        text += (alike ? kind : kinds[random() % 2])[random() % kind.size()];
      room.OnArrival(Browser, u"NormalTel" + text + u"/*/~b");
    }
    posted += flood;
    if (random() % 4 == 0) {
      const SlotIndex mover = static_cast<SlotIndex>(1 + random() % Clients);
      if (joined[mover]) {
        room.OnPeerClosed(mover);
      } else {
        room.OnArrival(mover, u"CanEnter?C" + std::u16string(mover, u'x') + u"/*/~k");
      }
      joined[mover] = !joined[mover];
    }
    // Client c fetches every c-th round.
    for (SlotIndex client = 1; client <= Clients; ++client) {
      if (joined[client] && round % client == 0) room.OnArrival(client, u"/Reflesh//*/~k");
    }
  }
  RecordProperty("rounds", Rounds);
  RecordProperty("lines", static_cast<int>(posted));
  RecordProperty("replies", connections.checked);
  EXPECT_GT(connections.checked, 1200);
}

}  // namespace
}  // namespace velmor
