// The history file on its own: what is written comes back exactly, it never
// holds more than the room, and a file it cannot trust is set aside whole.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "room/Room.h"
#include "store/HistoryFile.h"
#include "store/HistoryWriter.h"

namespace velmor::testing {
namespace {

namespace fs = std::filesystem;

class HistoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("velmor-history-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
    fs::create_directories(directory);
    path = (directory / "room.sqlite").string();
  }
  void TearDown() override { fs::remove_all(directory); }

  static std::vector<KeptLine> Lines(std::uint64_t from, std::uint64_t to) {
    std::vector<KeptLine> lines;
    for (std::uint64_t n = from; n <= to; ++n)
      lines.push_back({n, u"〔太郎〕" + std::u16string(n % 7 + 1, u'あ')});
    return lines;
  }
  std::vector<fs::path> SetAside() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(directory))
      if (entry.path().filename().string().find(".broken-") != std::string::npos &&
          entry.path().filename().string().find("-wal") == std::string::npos &&
          entry.path().filename().string().find("-shm") == std::string::npos)
        found.push_back(entry.path());
    return found;
  }

  fs::path directory;
  std::string path;
};

TEST_F(HistoryFileTest, WhatIsWrittenComesBackExactlyAndNoMoreThanTheRoomHolds) {
  // What UTF-8 could not carry and what a client may send: half a
  // surrogate pair, control characters, a pair whole.
  const std::u16string odd{u'〔', 0xD800, u'\x01', u'\t', 0xD83D, 0xDE00, u'〕', 0xDC00};
  const std::vector<KeptPlace> places{{3, u"花子", u"鍵", 41, u"10.0.0.2", u"10.0.0.2:50000", true},
                                      {7, odd, u"k", -1, u"::1", u"::1:1", false}};
  {
    HistoryFile file;
    KeptRoom kept;
    ASSERT_TRUE(file.Open(path, kept).writable);
    EXPECT_TRUE(kept.lines.empty() && kept.places.empty());
    std::string why;
    ASSERT_TRUE(file.Write(Lines(1, 40), &places, why)) << why;
    std::vector<KeptLine> more = Lines(41, 69);
    more.back().text = odd;
    // Lines alone: the places stay as they were written.
    ASSERT_TRUE(file.Write(more, nullptr, why)) << why;
  }
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file holds the members' keys";

  HistoryFile file;
  KeptRoom kept;
  ASSERT_TRUE(file.Open(path, kept).writable);
  std::vector<KeptLine> expected = Lines(20, 69);
  expected.back().text = odd;
  EXPECT_EQ(kept.lines, expected) << "the newest " << Room::LogCapacity << " lines, in order";
  EXPECT_EQ(kept.places, places);
  // Places are written whole: a member gone is gone from the file.
  std::string why;
  const std::vector<KeptPlace> fewer{places[1]};
  ASSERT_TRUE(file.Write({}, &fewer, why)) << why;
  HistoryFile again;
  KeptRoom reread;
  ASSERT_TRUE(again.Open(path, reread).writable);
  EXPECT_EQ(reread.places, fewer);
  EXPECT_EQ(reread.lines, expected);
}

TEST_F(HistoryFileTest, AFileItCannotTrustIsSetAsideAndAFreshOneMade) {
  const auto garbage = [](const std::string& at) {
    std::ofstream(at) << "Pibbet log, not a database\n";
  };
  const auto foreign = [](const std::string& at) {
    HistoryFile made;
    KeptRoom none;
    made.Open(at, none);
    std::string why;
    // A log no room could hold: a gap between its line numbers.
    made.Write({{1, u"a"}, {3, u"c"}}, nullptr, why);
  };
  const auto damaged = [](const std::string& at) {
    {
      HistoryFile made;
      KeptRoom none;
      made.Open(at, none);
      std::string why;
      std::vector<KeptLine> lines;
      for (std::uint64_t n = 1; n <= 50; ++n) lines.push_back({n, std::u16string(2000, u'x')});
      made.Write(lines, nullptr, why);
    }
    // Closed, so the journal is folded in; then pages in the middle
    // overwritten, as a failing disk would.
    std::fstream file(at, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 * 3);
    const std::string noise(8192, '\x5A');
    file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
  };
  const struct {
    const char* what;
    void (*make)(const std::string&);
  } cases[] = {{"garbage", garbage}, {"a log with a gap", foreign}, {"damaged pages", damaged}};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    fs::remove_all(directory);
    fs::create_directories(directory);
    row.make(path);
    HistoryFile file;
    KeptRoom kept;
    const HistoryFile::Opening opening = file.Open(path, kept);
    EXPECT_TRUE(opening.writable) << opening.why;
    EXPECT_FALSE(opening.brokenWhy.empty());
    EXPECT_TRUE(kept.lines.empty() && kept.places.empty()) << "nothing half read";
    ASSERT_EQ(SetAside().size(), 1u);
    EXPECT_EQ(SetAside().front().string(), opening.setAsideAs);
    std::string why;
    EXPECT_TRUE(file.Write(Lines(1, 2), nullptr, why)) << why;
  }
}

TEST_F(HistoryFileTest, TheWriterKeepsEverythingHandedBeforeItEndsAndSaysHowFar) {
  auto file = std::make_unique<HistoryFile>();
  KeptRoom kept;
  ASSERT_TRUE(file->Open(path, kept).writable);
  std::atomic<std::uint64_t> keptThrough{0};
  {
    HistoryWriter writer(
        std::move(file), [&](std::uint64_t through) { keptThrough = through; },
        [](const std::string& why) { ADD_FAILURE() << why; });
    for (std::uint64_t n = 1; n <= 2000; ++n) writer.Hand({{n, u"line"}}, std::nullopt, n);
  }  // written whole before the writer ends
  EXPECT_EQ(keptThrough, 2000u);
  HistoryFile reread;
  KeptRoom back;
  ASSERT_TRUE(reread.Open(path, back).writable);
  ASSERT_EQ(back.lines.size(), static_cast<std::size_t>(Room::LogCapacity));
  EXPECT_EQ(back.lines.back().number, 2000u);
}

}  // namespace
}  // namespace velmor::testing
