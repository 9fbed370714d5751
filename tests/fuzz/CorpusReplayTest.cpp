// The fuzzers' rules, run in every test pass: the seed corpus, then a fixed
// series of random and mutated inputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/fuzz/Cp932Rules.h"
#include "tests/fuzz/RoomDriver.h"

namespace velmor::testing {
namespace {

std::vector<std::pair<std::string, std::string>> Corpus(const std::string& name) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(VELMOR_CORPUS) + "/" + name)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    files.emplace_back(entry.path().filename().string(), bytes.str());
  }
  return files;
}

std::string RandomBytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST(RoomRules, HoldForEverySeed) {
  const auto seeds = Corpus("room");
  ASSERT_GE(seeds.size(), 5u);
  for (const auto& [name, bytes] : seeds) {
    RoomDriver driver;
    EXPECT_EQ(driver.Play(bytes), "") << name;
  }
}

TEST(RoomRules, SeedOfAVisitReachesTheLog) {
  // Guards the driver itself: a join, a chat and a close are three lines.
  for (const auto& [name, bytes] : Corpus("room")) {
    if (name != "join-chat-fetch-close") continue;
    RoomDriver driver;
    ASSERT_EQ(driver.Play(bytes), "");
    EXPECT_EQ(driver.LinesAppended(), 3);
    ASSERT_EQ(driver.TheRoom().LogCount(), 3);
    EXPECT_EQ(driver.TheRoom().LogLine(1), u"〔Taro〕こんにちは");
    EXPECT_EQ(driver.TheRoom().LogLine(2), u"【お知らせ】Taroさんが退室されました");
    return;
  }
  FAIL() << "the seed is missing";
}

TEST(RoomRules, SeedsOfFloodsPostMoreThanALogBetweenTwoFetches) {
  // Guards the driver: the encoder's log is made anew at the next fetch.
  int found = 0;
  for (const auto& [name, bytes] : Corpus("room")) {
    if (name.find("flood-between-fetches") == std::string::npos) continue;
    RoomDriver driver;
    ASSERT_EQ(driver.Play(bytes), "") << name;
    EXPECT_EQ(driver.RepliesChecked(), 5) << name;
    EXPECT_EQ(driver.LongestFlood(), 61) << name;
    ++found;
  }
  EXPECT_EQ(found, 2);
}

TEST(RoomRules, HoldForRandomAndMutatedInputs) {
  std::mt19937 random(932);
  const auto seeds = Corpus("room");
  long replies = 0;
  long steps = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string input;
    if (i % 2 == 0) {
      input = RandomBytes(random, 1 + random() % 4096);
    } else {
      input = seeds[random() % seeds.size()].second;
      for (int flips = 1 + random() % 8; flips > 0 && !input.empty(); --flips) {
        input[random() % input.size()] = static_cast<char>(random() & 0xFF);
      }
    }
    RoomDriver driver;
    const std::string fault = driver.Play(input);
    ASSERT_EQ(fault, "") << "input " << i;
    replies += driver.RepliesChecked();
    steps += driver.Steps();
  }
  RecordProperty("steps", static_cast<int>(steps));
  RecordProperty("replies", static_cast<int>(replies));
  EXPECT_GT(replies, 1000);
}

TEST(Cp932Rules, HoldForEverySeedAndRandomBytes) {
  for (const auto& [name, bytes] : Corpus("cp932"))
    EXPECT_EQ(CheckCp932RoundTrip(bytes), "") << name;
  std::mt19937 random(1252);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(CheckCp932RoundTrip(RandomBytes(random, 1 + random() % 512)), "") << "input " << i;
  }
}

}  // namespace
}  // namespace velmor::testing
