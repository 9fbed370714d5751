// The request parser alone: text in; command, payload, separator and key out.
// One row per fault it would catch.
#include <gtest/gtest.h>

#include <string>

#include "room/Request.h"

namespace velmor::testing {
namespace {

using Command = Request::Command;

struct ParseCase {
  const char* name;
  std::u16string text;
  Command what;
  std::u16string payload;
  int sepPos;
  std::u16string key;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseRequestTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestTable, CommandPayloadSeparatorAndKey) {
  const ParseCase& c = GetParam();
  const Request r = ParseRequest(c.text);
  EXPECT_EQ(r.what, c.what);
  EXPECT_EQ(r.payload, c.payload);
  EXPECT_EQ(r.separatorAt, c.sepPos);
  EXPECT_EQ(r.key, c.key);
}

const std::u16string kFar(MaxSepPos - 1, u'x');

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseRequestTable,
    ::testing::Values(
        ParseCase{"join", u"CanEnter?花子/*/~鍵", Command::Join, u"花子", 12, u"鍵"},
        ParseCase{"chat with an empty text", u"NormalTel/*/~k", Command::Chat, u"", 10, u"k"},
        ParseCase{"fetch", u"/Reflesh//*/~k", Command::Fetch, u"", 10, u"k"},
        ParseCase{"key runs to the end, later separators included", u"NormalTela/*/~b/*/~c",
                  Command::Chat, u"a", 11, u"b/*/~c"},
        ParseCase{"empty key", u"CanEnter?x/*/~", Command::Join, u"x", 11, u""},
        ParseCase{"separator across two runs of four", u"NormalTelab/*/~k", Command::Chat, u"ab",
                  12, u"k"},
        ParseCase{"separator from the last of eight on", u"NormalTelabcdef/*/~k", Command::Chat,
                  u"abcdef", 16, u"k"},
        ParseCase{"slashes before the separator", u"NormalTel/*//*/*/~k", Command::Chat, u"/*//*",
                  15, u"k"},
        ParseCase{"characters whose low byte is a slash", u"NormalTel\u012F\u2F2F/*/~k",
                  Command::Chat, u"\u012F\u2F2F", 12, u"k"},
        ParseCase{"separator in the last characters", u"NormalTelabcdefg/*/~", Command::Chat,
                  u"abcdefg", 17, u""},
        ParseCase{"separator across two blocks of 32", u"NormalTel" + kFar.substr(0, 20) + u"/*/~k",
                  Command::Chat, kFar.substr(0, 20), 30, u"k"},
        ParseCase{"a lone slash in a long line",
                  u"NormalTel" + kFar.substr(0, 40) + u"/" + kFar.substr(0, 40) + u"/*/~k",
                  Command::Chat, kFar.substr(0, 40) + u"/" + kFar.substr(0, 40), 91, u"k"},
        ParseCase{"no separator", u"CanEnter?x", Command::Malformed, u"", 0, u""},
        ParseCase{"half a separator", u"CanEnter?x/*/", Command::Malformed, u"", 0, u""},
        ParseCase{"command word in small letters", u"canenter?x/*/~k", Command::Unknown, u"", 11,
                  u"k"},
        ParseCase{"separator inside the fetch word", u"/Reflesh/*/~k", Command::Unknown, u"", 9,
                  u"k"},
        ParseCase{"fetch with a payload", u"/Reflesh/x/*/~k", Command::Unknown, u"", 11, u"k"},
        ParseCase{"separator before the word ends", u"Can/*/~Enter?", Command::Unknown, u"", 4,
                  u"Enter?"},
        ParseCase{"separator at the last position that counts",
                  u"NormalTel" + kFar.substr(9) + u"/*/~k", Command::Chat, kFar.substr(9),
                  MaxSepPos, u"k"},
        ParseCase{"separator one position too far", u"NormalTel" + kFar.substr(8) + u"/*/~k",
                  Command::Malformed, u"", 0, u""}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

// A request read by its connection in a form of its own is the one its line
// would be, or Malformed where no line could carry it.
struct CarriedCase {
  const char* name;
  std::u16string payload;
  bool carried;
};

void PrintTo(const CarriedCase& c, std::ostream* os) { *os << c.name; }

class CarriedRequestTable : public ::testing::TestWithParam<CarriedCase> {};

TEST_P(CarriedRequestTable, JoinAndChatAreWhatTheirLinesParseTo) {
  const CarriedCase& c = GetParam();
  const std::u16string key = u"k/*/~";
  const auto check = [&](const Request& built, const std::u16string& word) {
    if (!c.carried) {
      EXPECT_EQ(built.what, Command::Malformed);
      return;
    }
    const std::u16string text = word + c.payload + u"/*/~" + key;
    const Request line = ParseRequest(text);
    EXPECT_EQ(built.what, line.what);
    EXPECT_EQ(built.payload, line.payload);
    EXPECT_EQ(built.separatorAt, line.separatorAt);
    EXPECT_EQ(built.key, line.key);
  };
  {
    SCOPED_TRACE("join");
    check(JoinRequest(c.payload, key), u"CanEnter?");
  }
  {
    SCOPED_TRACE("chat");
    check(ChatRequest(c.payload, key), u"NormalTel");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CarriedRequestTable,
    ::testing::Values(CarriedCase{"a name", u"花子", true}, CarriedCase{"empty", u"", true},
                      CarriedCase{"slashes and stars but no separator", u"/*/ /~ a/*", true},
                      CarriedCase{"separator inside", u"a/*/~b", false},
                      CarriedCase{"separator at the end", u"ab/*/~", false},
                      CarriedCase{"half a separator at the end", u"ab/*/", true},
                      CarriedCase{"longest a line carries", kFar.substr(9), true},
                      CarriedCase{"one character too long", kFar.substr(8), false}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

}  // namespace
}  // namespace velmor::testing
