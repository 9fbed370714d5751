// The kept reply bytes must always be exactly what encoding the whole text
// gives, whatever the change from one reply to the next: for the reply
// encoder, and for the state encoder that keeps the reply in its parts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "room/Room.h"
#include "tests/support/FakePorts.h"
#include "wire/Cp932.h"
#include "wire/ReplyEncoder.h"
#include "wire/StateEncoder.h"

namespace velmor {
namespace {

std::u16string Reply(const std::vector<std::u16string>& members,
                     const std::vector<std::u16string>& log) {
  std::u16string text;
  for (const auto& name : members) text += name + u"\r\n";
  text += u"/*/";
  for (auto it = log.rbegin(); it != log.rend(); ++it) text += *it + u"\r\n";
  return text;
}

TEST(ReplyEncoder, FollowsARoomThroughJoinsChatsRolloverAndLeaves) {
  const Cp932& codec = Cp932::Instance();
  ReplyEncoder encoder;
  std::vector<std::u16string> members, log;
  const auto check = [&](const char* what) {
    const std::u16string text = Reply(members, log);
    ASSERT_EQ(encoder.Encode(text), codec.Encode(text)) << what;
    ASSERT_EQ(encoder.Encode(text), codec.Encode(text)) << what << ", asked again";
  };
  for (int i = 0; i < 20; ++i) {
    members.push_back(u"利用者" + std::u16string(1, u'A' + i));
    log.push_back(u"【お知らせ！】" + members.back() + u"さんが参加しました");
    check("join");
  }
  for (int i = 0; i < 120; ++i) {
    log.push_back(u"〔利用者A〕会話テスト文ｶﾀｶﾅ①Ⅻ\\~" + std::u16string(i % 7, u'x'));
    if (log.size() > 50) log.erase(log.begin());
    check("chat");
  }
  members.erase(members.begin() + 5);
  log.push_back(u"【お知らせ】利用者Fさんが退室されました");
  log.erase(log.begin());
  check("leave");
  members.clear();
  check("everyone gone");
}

TEST(ReplyEncoder, SurrogatePairsAndUnmappableCharactersAtEveryCut) {
  const Cp932& codec = Cp932::Instance();
  // An emoji is one "?" whole; its halves, if ever cut apart, would be two.
  const std::u16string emoji = u"\U0001F600";
  std::vector<std::u16string> texts;
  const std::u16string base =
      u"名前\r\n/*/" + emoji + u"本文の行です。" + emoji + u"\r\n古い行" + emoji + u"\r\n";
  for (std::size_t cut = 0; cut <= base.size(); ++cut) {
    texts.push_back(base.substr(0, cut) + emoji + base.substr(cut));
    texts.push_back(base.substr(0, cut) + emoji.substr(0, 1) +
                    base.substr(cut));  // a lone high surrogate
    texts.push_back(base.substr(0, cut) + emoji.substr(1) +
                    base.substr(cut));  // a lone low surrogate
    texts.push_back(base.substr(cut) + base.substr(0, cut));
  }
  ReplyEncoder encoder;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(encoder.Encode(texts[i]), codec.Encode(texts[i])) << "text " << i;
    ASSERT_EQ(encoder.Encode(base), codec.Encode(base)) << "after text " << i;
  }
}

TEST(ReplyEncoder, RandomEditsOfLongTexts) {
  const Cp932& codec = Cp932::Instance();
  std::u16string alphabet = u"ab/*~\\\r\n会話者ｱ①\u00A5\U0001F600\uFFFD";
  alphabet += u'\0';
  std::mt19937 random(5000);
  ReplyEncoder encoder;
  std::u16string text;
  for (int step = 0; step < 4000; ++step) {
    std::u16string piece(1 + random() % 40, u' ');
    for (char16_t& c : piece) c = alphabet[random() % alphabet.size()];
    const std::size_t at = text.empty() ? 0 : random() % text.size();
    switch (random() % 4) {
      case 0:
        text.insert(at, piece);
        break;
      case 1:
        text.erase(at, random() % 60);
        break;
      case 2:
        text.insert(at, piece), text.erase(random() % text.size(), random() % 60);
        break;
      default:
        break;  // the same text again
    }
    if (text.size() > 4000) text.erase(0, text.size() - 3000);
    ASSERT_EQ(encoder.Encode(text), codec.Encode(text)) << "step " << step;
  }
}

}  // namespace
}  // namespace velmor

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
  // Lines of every length up to a few hundred characters, with characters
  // code page 932 lacks and surrogate pairs, whole and split.
  const std::u16string pieces[] = {u"a", u"日本語", u"髙", u"😀", u"\xD83D", u"\r\n", u"ｶﾅ"};
  const auto text = [&] {
    std::u16string t;
    for (int i = random() % 80; i > 0; --i) t += pieces[random() % std::size(pieces)];
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
      default:
        room.OnArrival(slot, u"NormalTel" + text() + u"/*/~" + room.MemberKey(slot));
        break;
    }
  }
  EXPECT_GT(connections.checked, 1500);
}

}  // namespace
}  // namespace velmor
