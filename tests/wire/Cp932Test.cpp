// The wire encoding, against Python's cp932 codec as the oracle where it is
// installed, and against the rules the clients rely on everywhere.
#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "tests/support/FakePorts.h"
#include "wire/Cp932.h"

namespace velmor {
namespace {

const Cp932& codec() { return Cp932::Instance(); }

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Cp932, EveryAsciiByteRoundTripsUnchanged) {
  for (int b = 0; b < 0x80; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::u16string text = codec().Decode(byte);
    ASSERT_EQ(text, std::u16string(1, static_cast<char16_t>(b))) << "byte " << b;
    ASSERT_EQ(codec().Encode(text), byte) << "byte " << b;
  }
}

// Runs of ASCII are taken many characters at a time: a run of any length,
// with a two-byte character at any place, is read and written exactly.
TEST(Cp932, AsciiRunsOfAnyLengthBesideJapanese) {
  for (int n = 0; n <= 40; ++n) {
    std::u16string text;
    std::string bytes;
    for (int i = 0; i < n; ++i) {
      text.push_back(static_cast<char16_t>(u'!' + i));
      bytes.push_back(static_cast<char>('!' + i));
    }
    text += u"日本";
    bytes += Bytes({0x93, 0xFA, 0x96, 0x7B});
    for (int i = 0; i < n; ++i) {
      text.push_back(static_cast<char16_t>(u'a' + i % 26));
      bytes.push_back(static_cast<char>('a' + i % 26));
    }
    ASSERT_EQ(codec().Decode(bytes), text) << "runs of " << n;
    ASSERT_EQ(codec().Encode(text), bytes) << "runs of " << n;
    // A character below U+0100 that is not ASCII is no single byte of its
    // own: the yen sign is written as 0x5C.
    const auto at = static_cast<std::size_t>(n);
    const std::u16string yen = text.substr(0, at) + u"¥" + text.substr(at + 2);
    const std::string yenBytes = bytes.substr(0, at) + "\x5C" + bytes.substr(at + 4);
    ASSERT_EQ(codec().Encode(yen), yenBytes) << "runs of " << n;
  }
}

// Runs of kanji are taken many characters at a time too: a run of any
// length, ended at any place by a one-byte character, a broken pair or a
// character without a byte form, is read and written as each character
// alone would be.
TEST(Cp932, KanjiRunsOfAnyLengthEndedByAnything) {
  struct Break {
    std::string bytes;
    std::u16string text;
    bool decodes, encodes;
  };
  const Break breaks[] = {{"x", u"x", true, true},
                          {Bytes({0xB1}), u"ｱ", true, true},
                          {Bytes({0x81, 0x20}), u"\uFFFD ", true, false},
                          {"?", u"😀", false, true}};
  for (int n = 0; n <= 40; ++n) {
    std::string run;
    std::u16string runText;
    for (int i = 0; i < n; ++i) {
      const auto lead = static_cast<std::uint8_t>(0x89 + i % 15);
      const auto trail = static_cast<std::uint8_t>(0x40 + i * 7 % 0x3F);
      const char16_t c = codec().DoubleByteChar(lead, trail);
      ASSERT_NE(c, Cp932::NoChar);
      ASSERT_EQ(codec().Encode(std::u16string(1, c)), Bytes({lead, trail}));
      run += Bytes({lead, trail});
      runText.push_back(c);
    }
    for (const Break& b : breaks) {
      if (b.decodes) {
        ASSERT_EQ(codec().Decode(run + b.bytes + run), runText + b.text + runText)
            << "runs of " << n;
      }
      if (b.encodes) {
        ASSERT_EQ(codec().Encode(runText + b.text + runText), run + b.bytes + run)
            << "runs of " << n;
      }
    }
  }
}

// A reply may carry a client's bytes in place of encoding their text again
// only where the decoder says they are exactly that encoding.
TEST(Cp932, SaysWhenTheBytesAreExactlyTheTextsEncoding) {
  const auto exact = [](const std::string& bytes) {
    std::u16string text;
    const bool said = codec().DecodeInto(bytes, text);
    EXPECT_EQ(said, codec().Encode(text) == bytes) << ::testing::PrintToString(bytes);
    return said;
  };
  for (int first = 0; first < 0x100; ++first) {
    exact(Bytes({first}));
    for (int next = 0x40; next < 0x100; ++next) exact(Bytes({first, next}));
  }
  // One NEC-selected copy (0xED 0x40, which is written 0xFA 0x5C) at any
  // place in a run of kanji, which is read many characters at a time.
  std::string run;
  for (int i = 0; i < 29; ++i) run += Bytes({0x89 + i % 15, 0x40 + i * 7 % 0x3F});
  EXPECT_TRUE(exact(run + "/*/~key"));
  for (std::size_t at = 0; at < run.size(); at += 2) {
    std::string copy = run;
    copy.replace(at, 2, Bytes({0xED, 0x40}));
    EXPECT_FALSE(exact(copy + "/*/~key")) << "at " << at;
  }
}

TEST(Cp932, SeparatorBytesAreBackslashAndTildeNotYenAndOverline) {
  EXPECT_EQ(codec().Decode("/*/~\\"), u"/*/~\\");
  EXPECT_EQ(codec().Encode(u"/*/~\\"), "/*/~\\");
  EXPECT_EQ(codec().Encode(u"¥‾—"), "\\~\x81\x5c") << "Windows' best fit for yen, overline, dash";
}

TEST(Cp932, JapaneseAndExtensionCharacters) {
  EXPECT_EQ(codec().Decode(Bytes({0x89, 0xd4, 0x8e, 0x71})), u"花子");
  EXPECT_EQ(codec().Encode(u"【お知らせ！】"), Bytes({0x81, 0x79, 0x82, 0xa8, 0x92, 0x6d, 0x82,
                                                      0xe7, 0x82, 0xb9, 0x81, 0x49, 0x81, 0x7a}));
  EXPECT_EQ(codec().Decode(Bytes({0x87, 0x40})), u"①");
  EXPECT_EQ(codec().Encode(u"①"), Bytes({0x87, 0x40}));
  EXPECT_EQ(codec().Decode(Bytes({0xee, 0xe0})), u"髙");
  EXPECT_EQ(codec().Decode(Bytes({0xfb, 0xfc})), u"髙");
  EXPECT_EQ(codec().Encode(u"髙﨑ⅰ"), Bytes({0xfb, 0xfc, 0xfa, 0xb1, 0xfa, 0x40}))
      << "the IBM extension form, never the NEC-selected copy";
  EXPECT_EQ(codec().Encode(u"Ⅰ∵￢"), Bytes({0x87, 0x54, 0x81, 0xe6, 0x81, 0xca}))
      << "JIS before NEC row 13 before the IBM extension";
  EXPECT_EQ(codec().Encode(u"ｱﾌﾟ"), Bytes({0xb1, 0xcc, 0xdf}));
}

TEST(Cp932, UnencodableCharactersBecomeOneQuestionMarkEach) {
  EXPECT_EQ(codec().Encode(u"a😀b"), "a?b");
  EXPECT_EQ(codec().Encode(std::u16string(1, u'\xD800') + u"x"), "?x");
  EXPECT_EQ(codec().Encode(u"\uFFFD"), "?");
}

TEST(Cp932, InvalidBytesDecodeToReplacementAndDecodingGoesOn) {
  EXPECT_EQ(codec().Decode(Bytes({'a', 0x81})), u"a\uFFFD") << "lone lead byte at the end";
  EXPECT_EQ(codec().Decode(Bytes({0x81, 0x20, 'z'})), u"\uFFFD z") << "bad trail is read again";
  EXPECT_EQ(codec().Decode(Bytes({0x85, 0x40})), u"\uFFFD@") << "unassigned row";
  EXPECT_EQ(codec().Decode(Bytes({0x80, 0xa0, 0xfd, 0xfe, 0xff})),
            u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3");
  EXPECT_EQ(codec().Decode(std::string(3, '\0')), std::u16string(3, u'\0'));
}

// Python prints one line per byte form: "d <hex bytes> <hex char or ->".
constexpr char kOracle[] = R"PY(
import sys
out = []
seqs = [bytes([b]) for b in range(256)] + [bytes([l, t]) for l in list(range(0x81, 0xa0)) + list(range(0xe0, 0xfd)) for t in range(0x40, 0xfd)]
for s in seqs:
    try:
        c = s.decode('cp932')
        out.append('d %s %04x' % (s.hex(), ord(c)) if len(c) == 1 else 'd %s -' % s.hex())
    except UnicodeDecodeError:
        out.append('d %s -' % s.hex())
sys.stdout.write('\n'.join(out) + '\n')
)PY";

TEST(Cp932, WholeTableMatchesPythonCp932) {
  std::string command = "python3 -c \"$VELMOR_ORACLE\" 2>/dev/null";
  setenv("VELMOR_ORACLE", kOracle, 1);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[65536];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
    output.append(buffer, n);
  if (output.empty()) GTEST_SKIP() << "python3 with its cp932 codec is not available here";

  std::istringstream lines(output);
  std::string kind, key, value;
  int decoded = 0, mismatches = 0;
  while (lines >> kind >> key >> value) {
    if (kind == "d") {
      const unsigned long bytes = std::stoul(key, nullptr, 16);
      const char16_t ours = key.size() == 2
                                ? codec().SingleByteChar(static_cast<std::uint8_t>(bytes))
                                : codec().DoubleByteChar(bytes >> 8, bytes & 0xff);
      const char16_t theirs =
          value == "-" ? Cp932::NoChar : static_cast<char16_t>(std::stoul(value, nullptr, 16));
      if (ours != theirs && ++mismatches < 10) {
        ADD_FAILURE() << "decode " << key << ": ours " << std::hex << int(ours) << " python "
                      << value;
      }
      // The decoder reads the same within a run of two-byte characters, which
      // it takes four at a time; an invalid pair spends its lead byte alone.
      // Digits follow, which are never a trail byte.
      const std::string sequence = key.size() == 2 ? std::string(1, static_cast<char>(bytes))
                                                   : std::string{static_cast<char>(bytes >> 8),
                                                                 static_cast<char>(bytes & 0xff)};
      const std::u16string read =
          codec().Decode("\x82\xa0\x82\xa0\x82\xa0" + sequence + "01234567");
      const std::u16string expected =
          (theirs != Cp932::NoChar ? u"あああ" + std::u16string(1, theirs)
                                   : u"あああ\uFFFD" + codec().Decode(sequence.substr(1))) +
          u"01234567";
      if (read != expected && ++mismatches < 10) ADD_FAILURE() << "Decode of あああ and " << key;
      ++decoded;
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(decoded, 11000);
}

// Encoding follows glibc's CP932 converter, which writes what Windows writes,
// over the whole first plane; asked here from UTF-32 one character at a time.
TEST(Cp932, WholePlaneEncodesAsGlibcCp932) {
  iconv_t cd = iconv_open("CP932", "UTF-32LE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "glibc's CP932 converter is missing";
  const std::map<char32_t, std::string> windowsSingles = {
      {0x80, "\x80"}, {0xF8F0, "\xa0"}, {0xF8F1, "\xfd"}, {0xF8F2, "\xfe"}, {0xF8F3, "\xff"}};
  int mismatches = 0, forms = 0;
  for (char32_t c = 0; c < 0x10000; ++c) {
    char in[4] = {char(c & 0xff), char(c >> 8 & 0xff), 0, 0};
    char out[8];
    char *inPtr = in, *outPtr = out;
    std::size_t inLeft = sizeof in, outLeft = sizeof out;
    const bool converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != std::size_t(-1);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string expected = converted ? std::string(out, sizeof out - outLeft) : "?";
    if (converted) ++forms;
    if (auto single = windowsSingles.find(c); single != windowsSingles.end()) {
      ASSERT_FALSE(converted) << "iconv now has a form for U+" << std::hex << int(c);
      expected = single->second;
    }
    // Last of four, between two-byte characters, which the encoder takes four
    // at a time.
    const std::string ours =
        codec().Encode(u"あああ" + std::u16string(1, static_cast<char16_t>(c)) + u"あ");
    expected = "\x82\xa0\x82\xa0\x82\xa0" + expected + "\x82\xa0";
    if (ours != expected && ++mismatches < 10) {
      ADD_FAILURE() << "U+" << std::hex << int(c) << ": ours " << ::testing::PrintToString(ours)
                    << " iconv " << ::testing::PrintToString(expected);
    }
  }
  iconv_close(cd);
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(forms, 7000);
}

}  // namespace
}  // namespace velmor
