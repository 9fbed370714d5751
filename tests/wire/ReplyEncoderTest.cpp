// The kept reply bytes must always be exactly what encoding the whole text
// gives, whatever the change from one reply to the next.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "wire/Cp932.h"
#include "wire/ReplyEncoder.h"

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
