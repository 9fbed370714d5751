// Client requests, one row per fault a row would catch. Every row runs on a
// fresh room, with its arrivals on slot 1.
#include <gtest/gtest.h>

#include <optional>

#include "room/Room.h"
#include "tests/support/FakePorts.h"

namespace velmor::testing {
namespace {

constexpr char16_t kJoinA[] = u"【お知らせ！】Aさんが参加しました\r\n";
const std::u16string kUnknown = u"無効接続要求[192.0.2.1]";
const std::u16string kWrongKey = u"192.0.2.1:40001(192.0.2.1)で無効な接続により一部閉じました";
const std::u16string kMalformed = u"無効接続により一部閉じました";

struct ProtocolCase {
  const char* name;
  std::vector<std::u16string> arrivals;
  std::vector<std::u16string> replies;  // to slot 1, in order
  bool dropped;
  std::optional<std::u16string> status;  // the last status text, if any was set
  std::u16string members;                // the member list afterwards
  std::u16string log;                    // the log afterwards
};

void PrintTo(const ProtocolCase& c, std::ostream* os) { *os << c.name; }

class RequestProtocol : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(RequestProtocol, RepliesDropsAndTables) {
  const ProtocolCase& c = GetParam();
  FakeConnections connections;
  FakeStatus status;
  Room room(connections, status);
  for (const auto& arrival : c.arrivals) {
    room.OnArrival(1, arrival);
  }
  std::vector<std::u16string> replies;
  for (const auto& [slot, text] : connections.sent) {
    EXPECT_EQ(slot, 1);
    replies.push_back(text);
  }
  EXPECT_EQ(replies, c.replies);
  EXPECT_EQ(!connections.released.empty(), c.dropped);
  if (c.status) {
    ASSERT_FALSE(status.texts.empty());
    EXPECT_EQ(status.texts.back(), *c.status);
  } else {
    EXPECT_TRUE(status.texts.empty());
  }
  const auto [members, log] = room.CurrentViews();
  EXPECT_EQ(members, c.members);
  EXPECT_EQ(log, c.log);
  if (c.dropped) {
    EXPECT_TRUE(room.MemberName(1).empty()) << "a dropped slot keeps no name";
    EXPECT_TRUE(room.MemberKey(1).empty()) << "a dropped slot keeps no key";
  }
}

const std::u16string kLongName(32757, u'n');

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestProtocol,
    ::testing::Values(
        ProtocolCase{"join replies with member list and join line",
                     {u"CanEnter?A/*/~key"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     false,
                     std::nullopt,
                     u"A\r\n",
                     kJoinA},
        ProtocolCase{"empty name joins but is not listed",
                     {u"CanEnter?/*/~k"},
                     {u"/*/【お知らせ！】さんが参加しました\r\n"},
                     false,
                     std::nullopt,
                     u"",
                     u"【お知らせ！】さんが参加しました\r\n"},
        ProtocolCase{"Japanese name counts in characters",
                     {u"CanEnter?花子/*/~鍵", u"/Reflesh//*/~鍵"},
                     {u"花子\r\n/*/【お知らせ！】花子さんが参加しました\r\n",
                      u"花子\r\n/*/【お知らせ！】花子さんが参加しました\r\n"},
                     false,
                     std::nullopt,
                     u"花子\r\n",
                     u"【お知らせ！】花子さんが参加しました\r\n"},
        ProtocolCase{"chat with the stored key posts and replies",
                     {u"CanEnter?A/*/~k", u"NormalTelHello /*/~k"},
                     {u"A\r\n/*/" + std::u16string(kJoinA),
                      u"A\r\n/*/〔A〕Hello \r\n" + std::u16string(kJoinA)},
                     false,
                     std::nullopt,
                     u"A\r\n",
                     u"〔A〕Hello \r\n" + std::u16string(kJoinA)},
        ProtocolCase{
            "empty chat text gives name in brackets only",
            {u"CanEnter?A/*/~k", u"NormalTel/*/~k"},
            {u"A\r\n/*/" + std::u16string(kJoinA), u"A\r\n/*/〔A〕\r\n" + std::u16string(kJoinA)},
            false,
            std::nullopt,
            u"A\r\n",
            u"〔A〕\r\n" + std::u16string(kJoinA)},
        ProtocolCase{"fresh server fetch with empty key gets bare separator",
                     {u"/Reflesh//*/~"},
                     {u"/*/"},
                     false,
                     std::nullopt,
                     u"",
                     u""},
        ProtocolCase{"never joined chat with empty key is carried out",
                     {u"NormalTelhi/*/~"},
                     {u"/*/〔〕hi\r\n"},
                     false,
                     std::nullopt,
                     u"",
                     u"〔〕hi\r\n"},
        ProtocolCase{"command word in small letters is unknown",
                     {u"canenter?A/*/~k"},
                     {},
                     true,
                     kUnknown,
                     u"",
                     u""},
        ProtocolCase{"fetch with a payload is unknown",
                     {u"CanEnter?A/*/~k", u"/Reflesh/x/*/~k"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kUnknown,
                     u"",
                     kJoinA},
        ProtocolCase{"arrival shorter than the command word is unknown",
                     {u"ab/*/~"},
                     {},
                     true,
                     kUnknown,
                     u"",
                     u""},
        ProtocolCase{"arrival beginning with the separator is unknown",
                     {u"/*/~CanEnter?A"},
                     {},
                     true,
                     kUnknown,
                     u"",
                     u""},
        ProtocolCase{"no separator is malformed and forgets the member",
                     {u"CanEnter?A/*/~k", u"NormalTel"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kMalformed,
                     u"",
                     kJoinA},
        ProtocolCase{"separator split over two arrivals is malformed",
                     {u"CanEnter?A/*"},
                     {},
                     true,
                     kMalformed,
                     u"",
                     u""},
        ProtocolCase{"wrong key drops without posting or replying",
                     {u"CanEnter?A/*/~k", u"NormalTelspoof/*/~K"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kWrongKey,
                     u"",
                     kJoinA},
        ProtocolCase{"wrong key on fetch drops without reply",
                     {u"CanEnter?A/*/~k", u"/Reflesh//*/~"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kWrongKey,
                     u"",
                     kJoinA},
        ProtocolCase{"separator inside chat text runs into the key",
                     {u"CanEnter?A/*/~k", u"NormalTela/*/~b/*/~k"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kWrongKey,
                     u"",
                     kJoinA},
        ProtocolCase{"merged join stores the whole tail as key",
                     {u"CanEnter?A/*/~kNormalTelx/*/~k", u"/Reflesh//*/~kNormalTelx/*/~k"},
                     {u"A\r\n/*/" + std::u16string(kJoinA), u"A\r\n/*/" + std::u16string(kJoinA)},
                     false,
                     std::nullopt,
                     u"A\r\n",
                     kJoinA},
        ProtocolCase{"merged chat fails the key check at once",
                     {u"CanEnter?A/*/~k", u"NormalTelx/*/~kNormalTely/*/~k"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kWrongKey,
                     u"",
                     kJoinA},
        ProtocolCase{"key split over two arrivals: rest is malformed",
                     {u"CanEnter?A/*/~ke", u"y"},
                     {u"A\r\n/*/" + std::u16string(kJoinA)},
                     true,
                     kMalformed,
                     u"",
                     kJoinA},
        ProtocolCase{"rejoin replaces name and key without a leave line",
                     {u"CanEnter?A/*/~k", u"CanEnter?B/*/~j", u"/Reflesh//*/~j"},
                     {u"A\r\n/*/" + std::u16string(kJoinA),
                      u"B\r\n/*/【お知らせ！】Bさんが参加しました\r\n" + std::u16string(kJoinA),
                      u"B\r\n/*/【お知らせ！】Bさんが参加しました\r\n" + std::u16string(kJoinA)},
                     false,
                     std::nullopt,
                     u"B\r\n",
                     u"【お知らせ！】Bさんが参加しました\r\n" + std::u16string(kJoinA)},
        ProtocolCase{"separator at character 32767 is accepted",
                     {u"CanEnter?" + kLongName + u"/*/~k"},
                     {kLongName + u"\r\n/*/【お知らせ！】" + kLongName + u"さんが参加しました\r\n"},
                     false,
                     std::nullopt,
                     kLongName + u"\r\n",
                     u"【お知らせ！】" + kLongName + u"さんが参加しました\r\n"},
        ProtocolCase{"separator beyond character 32767 is malformed",
                     {u"CanEnter?" + kLongName + u"n/*/~k"},
                     {},
                     true,
                     kMalformed,
                     u"",
                     u""},
        ProtocolCase{"line breaks and reply separator inside a name are carried unchanged",
                     {u"CanEnter?a\r\n/*/b/*/~k"},
                     {u"a\r\n/*/b\r\n/*/【お知らせ！】a\r\n/*/bさんが参加しました\r\n"},
                     false,
                     std::nullopt,
                     u"a\r\n/*/b\r\n",
                     u"【お知らせ！】a\r\n/*/bさんが参加しました\r\n"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

class RequestFlow : public ::testing::Test {
 protected:
  void Arrive(SlotIndex slot, const std::u16string& text) { room.OnArrival(slot, text); }
  FakeConnections connections;
  FakeStatus status;
  Room room{connections, status};
  FakeDisplay display{room};
};

TEST_F(RequestFlow, WorkedExampleJiroHelloHanako) {
  Arrive(1, u"CanEnter?Jiro/*/~j");
  Arrive(1, u"NormalTelHello/*/~j");
  Arrive(2, u"CanEnter?Hanako/*/~h");
  ASSERT_EQ(connections.sent.size(), 3u);
  EXPECT_EQ(connections.sent[2].first, 2) << "the reply goes to the requester only";
  EXPECT_EQ(connections.sent[2].second,
            u"Jiro\r\nHanako\r\n/*/"
            u"【お知らせ！】Hanakoさんが参加しました\r\n"
            u"〔Jiro〕Hello\r\n"
            u"【お知らせ！】Jiroさんが参加しました\r\n");
}

TEST_F(RequestFlow, ReplyCarriesExactlyTheLastFiftyLines) {
  Arrive(1, u"CanEnter?A/*/~k");
  for (int i = 0; i < 50; ++i) {
    Arrive(1, u"NormalTel" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
                  std::u16string(1, static_cast<char16_t>(u'a' + i / 10)) + u"/*/~k");
  }
  const std::u16string& reply = connections.sent.back().second;
  EXPECT_TRUE(reply.starts_with(u"A\r\n/*/〔A〕9e\r\n〔A〕8e\r\n"));
  EXPECT_TRUE(reply.ends_with(u"〔A〕0a\r\n")) << "the join line was the 51st oldest and is gone";
  EXPECT_EQ(room.LogCount(), 50);
}

TEST_F(RequestFlow, RefreshOnceAtTheEndOfEveryRequestIncludingDrops) {
  room.SetDisplay(&display);
  Arrive(1, u"CanEnter?A/*/~k");
  EXPECT_EQ(display.calls.size(), 2u);
  Arrive(1, u"NormalTelx/*/~wrong");
  EXPECT_EQ(display.calls.size(), 4u);
  EXPECT_EQ(display.calls[2], u"M:") << "the dropped member is gone from the view";
  Arrive(2, u"no separator");
  EXPECT_EQ(display.calls.size(), 6u);
  Arrive(3, u"bad/*/~");
  EXPECT_EQ(display.calls.size(), 8u);
}

TEST_F(RequestFlow, DropsTouchOnlyTheirOwnSlot) {
  Arrive(1, u"CanEnter?A/*/~a");
  Arrive(2, u"CanEnter?B/*/~b");
  Arrive(2, u"NormalTelx/*/~a");  // B guesses A's key
  EXPECT_EQ(room.MemberName(1), u"A");
  EXPECT_EQ(room.MemberKey(1), u"a");
  EXPECT_TRUE(room.MemberName(2).empty());
  EXPECT_EQ(connections.released, std::vector<SlotIndex>{2});
}

}  // namespace
}  // namespace velmor::testing
