// The room's history at the start, one row for each state the state
// directory can be found in: nothing kept, a room kept, files the program
// must set aside, --no-history, a disk that fills, a read-only one, and the
// packaged unit's own command line. Each row starts the real program and
// checks what it says, the files it leaves, and the room a Pibbet client
// fetches and chats in.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "harness/ProcessHarness.h"
#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {

const std::string& PrivateMountsError();

namespace {

namespace fs = std::filesystem;

const std::string Accepted = "Pibbetより接続を受け付けました";
const std::string Fetch = "/Reflesh//*/~";

// What the start says about the history.
enum class Said { Kept, SetAside, Unavailable, SaveFailed, Nothing };
enum class Launch { Plain, NoHistory, Unit };
enum class Disk { Plain, Full, ReadOnly };

struct Setting;

struct StartCase {
  const char* name;
  void (*prepare)(Setting&);
  Said said;
  const char* reason = nullptr;  // the exact words, where they are the program's own
  bool takenBack = false;        // the earlier run's log is the room's again
  Launch launch = Launch::Plain;
  Disk disk = Disk::Plain;
};

void PrintTo(const StartCase& row, std::ostream* out) { *out << row.name; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The packaged unit's ExecStart=, run from the build: the program's own
// path in place of the installed one, and $VELMOR_OPTIONS left empty, which
// systemd then passes as no word at all.
std::vector<std::string> UnitArguments() {
  const fs::path unit = fs::path(__FILE__).parent_path() / "../../packaging/velmor.service";
  std::istringstream text(ReadFile(unit));
  std::vector<std::string> words;
  for (std::string line; std::getline(text, line);) {
    if (!line.starts_with("ExecStart=")) continue;
    std::istringstream split(line.substr(10));
    for (std::string word; split >> word;) words.push_back(word);
  }
  EXPECT_FALSE(words.empty()) << unit;
  if (words.empty()) return {};
  EXPECT_TRUE(words.front().ends_with("/velmor")) << words.front();
  std::erase(words, "$VELMOR_OPTIONS");
  return {words.begin() + 1, words.end()};
}

// A folder of the test's own standing for $XDG_STATE_HOME (the program's
// directory is then dir), or holding the state directory systemd would
// make for the unit.
struct Setting {
  explicit Setting(const StartCase& row) : row(row) {
    if (row.launch == Launch::Unit) {
      fs::create_directory(dir);
      fs::permissions(dir, fs::perms::owner_all);
    }
    if (row.disk == Disk::Plain) return;
    fs::create_directory(dir);
    const unsigned long flags = row.disk == Disk::ReadOnly ? MS_RDONLY : 0;
    mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", flags, "size=256k,mode=0700") == 0;
    EXPECT_TRUE(mounted) << dir << ": " << std::strerror(errno);
  }
  ~Setting() {
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
    fs::remove_all(home);
  }
  std::vector<std::string> Environment() const {
    if (row.launch == Launch::Unit) return {"STATE_DIRECTORY=" + dir.string()};
    return {"XDG_STATE_HOME=" + home.string()};
  }
  std::vector<std::string> Arguments() const {
    if (row.launch == Launch::Unit) return UnitArguments();
    if (row.launch == Launch::NoHistory) return {"--no-window", "--no-history"};
    return {"--no-window"};
  }

  const StartCase& row;
  const fs::path home = harness::MakeTempDir("velmor-history");
  const fs::path dir = home / "velmor";
  const fs::path file = dir / "room.sqlite";
  bool mounted = false;
  std::vector<std::string> earlierLog;  // the earlier run's last fetch, newest first
};

// The lines of the log after "/*/", each without its CR LF.
std::vector<std::string> LogOf(const std::string& reply) {
  std::vector<std::string> lines;
  for (auto at = reply.find("/*/") + 3; at < reply.size();) {
    const auto end = reply.find("\r\n", at);
    lines.push_back(reply.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// The state reply to a room of the given members and log, newest line first.
std::string Reply(const std::string& members, const std::vector<std::string>& log) {
  std::string reply = members + "/*/";
  for (std::size_t k = 0; k < log.size() && k < 50; ++k) reply += log[k] + "\r\n";
  return reply;
}

// An earlier run keeps a full log: a member posts lines of every kind of
// character (a tab, half-width kana, a kanji whose second byte is a
// backslash, an NEC symbol) and leaves, and the run is stopped as
// systemctl stops it.
void KeepRoom(Setting& s) {
  VelmorProcess earlier({}, s.Environment(), s.Arguments());
  ASSERT_TRUE(earlier.WaitForStatus(WaitingStatus)) << earlier.Stderr();
  const Client watcher;  // fetches without joining: no line of its own
  {
    const Client poster;
    poster.Send(Wire("CanEnter?記録係/*/~k"));
    ASSERT_FALSE(poster.ReceiveState(1).empty());
    for (int n = 0; n < 55; ++n) {
      poster.Send(Wire("NormalTel第" + std::to_string(n) + "行\t表ｶﾅ①/*/~k"));
      ASSERT_FALSE(poster.ReceiveState(std::min(n + 2, 50)).empty());
    }
  }
  // Its leave line is in the log once it is no longer listed.
  std::string last;
  for (int tries = 0; tries < 400 && !last.starts_with("/*/"); ++tries) {
    if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    watcher.Send(Wire(Fetch));
    last = watcher.ReceiveState(50);
  }
  ASSERT_TRUE(
      last.starts_with(Wire("/*/【お知らせ】記録係さんが退室されました\r\n〔記録係〕第54行")))
      << last;
  s.earlierLog = LogOf(last);
  ASSERT_EQ(s.earlierLog.size(), 50u);
  const int status = earlier.Stop();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << earlier.Stderr();
}

void Sql(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

const StartCase Cases[] = {
    {"NothingKeptYet", [](Setting&) {}, Said::Kept},
    {"ARoomKeptByARunStoppedWithSigterm", KeepRoom, Said::Kept, nullptr, true},
    {"ARoomKeptUnderThePackagedUnit", KeepRoom, Said::Kept, nullptr, true, Launch::Unit},
    {"GarbageBytes",
     [](Setting& s) {
       fs::create_directory(s.dir);
       std::string garbage(3000, '\0');
       for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = char(i * 37 + 11);
       WriteFile(s.file, garbage);
     },
     Said::SetAside},
    {"AnotherProgramsDatabase",
     [](Setting& s) {
       fs::create_directory(s.dir);
       Sql(s.file,
           "CREATE TABLE contacts(name TEXT, phone TEXT); INSERT INTO contacts "
           "VALUES('Taro', '0123');");
     },
     Said::SetAside, "not a history of this program"},
    {"AHistoryOfAnotherFormat",
     [](Setting& s) {
       KeepRoom(s);
       Sql(s.file, "PRAGMA user_version = 2;");
     },
     Said::SetAside, "a history of another format (2)"},
    {"ALogWithALineMissing",
     [](Setting& s) {
       KeepRoom(s);
       Sql(s.file, "DELETE FROM lines WHERE number = (SELECT min(number) + 20 FROM lines);");
     },
     Said::SetAside, "the log is not one the room could hold"},
    {"DamagedPages",
     [](Setting& s) {
       KeepRoom(s);
       // Every page but the first (the schema) and the last overwritten.
       std::string bytes = ReadFile(s.file);
       const std::size_t page = 4096;
       ASSERT_GE(bytes.size(), 3 * page);
       for (std::size_t at = page; at + page < bytes.size(); ++at) bytes[at] = char(0xA5 ^ at);
       WriteFile(s.file, bytes);
     },
     Said::SetAside},
    {"NoHistoryWithNothingKept", [](Setting&) {}, Said::Nothing, nullptr, false, Launch::NoHistory},
    {"NoHistoryWithARoomKept", KeepRoom, Said::Nothing, nullptr, false, Launch::NoHistory},
    {"AFullDisk", [](Setting&) {}, Said::SaveFailed, nullptr, false, Launch::Plain, Disk::Full},
    {"AReadOnlyStateDirectory", [](Setting&) {}, Said::Unavailable, nullptr, false, Launch::Plain,
     Disk::ReadOnly},
};

// Takes every byte the disk has left.
void FillDisk(const fs::path& dir) {
  const int filler = ::open((dir / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0) << std::strerror(errno);
  const std::string block(4096, 'x');
  int blocks = 0;
  while (blocks < 1024 && ::write(filler, block.data(), block.size()) > 0) ++blocks;
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_LT(blocks, 1024);
  ::close(filler);
}

// The one status line that begins with prefix; empty when there is none.
std::string StatusBeginning(const VelmorProcess& server, const std::string& prefix) {
  std::string found;
  for (const std::string& line : server.StatusLines()) {
    if (!line.starts_with(prefix)) continue;
    EXPECT_TRUE(found.empty()) << "said twice: " << line;
    found = line;
  }
  return found;
}

class HistoryStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(HistoryStart, SaysWhatItFoundAndServesTheRoomItShould) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  const StartCase& row = GetParam();
  if (row.disk != Disk::Plain && !PrivateMountsError().empty())
    GTEST_SKIP() << PrivateMountsError();
  Setting s(row);
  ASSERT_FALSE(s.home.empty());
  ASSERT_NO_FATAL_FAILURE(row.prepare(s));
  const bool dirWasThere = fs::exists(s.dir);
  const std::string fileBefore = ReadFile(s.file);
  const std::string file = s.file.string();

  VelmorProcess server({}, s.Environment(), s.Arguments());
  ASSERT_TRUE(server.WaitForStatus(WaitingStatus)) << server.Stderr();
  const bool keeps = row.said != Said::Unavailable && row.said != Said::Nothing;
  const std::string kept = "velmor: the room is kept in " + file + " (" +
                           (row.takenBack ? "50" : "0") +
                           " lines and 0 browser members' places taken back)\n";
  // Said before the loop serves anyone: later lines come after it.
  if (row.said != Said::Nothing) {
    EXPECT_TRUE(server.WaitForStderr(keeps ? kept : "velmor: status: 部屋の履歴を開けません["))
        << server.Stderr();
  }
  if (row.disk == Disk::Full) {
    ASSERT_NO_FATAL_FAILURE(FillDisk(s.dir));
  }

  // The room as a client that has not joined fetches it (a room taken back:
  // byte for byte the earlier run's last fetch), then a member's join and
  // two lines, each reply exact.
  std::vector<std::string> log = row.takenBack ? s.earlierLog : std::vector<std::string>{};
  const Client watcher;
  EXPECT_EQ(watcher.Exchange(Wire(Fetch), Reply("", log).size()), Reply("", log));
  const Client member;
  const std::string members = Wire("試験\r\n");
  log.insert(log.begin(), Wire("【お知らせ！】試験さんが参加しました"));
  EXPECT_EQ(member.Exchange(Wire("CanEnter?試験/*/~t"), Reply(members, log).size()),
            Reply(members, log));
  for (const std::string text : {"一行目", "二行目"}) {
    log.insert(log.begin(), Wire("〔試験〕" + text));
    EXPECT_EQ(member.Exchange(Wire("NormalTel" + text + "/*/~t"), Reply(members, log).size()),
              Reply(members, log));
    // The room goes on after the disk said no.
    if (row.said == Said::SaveFailed) {
      EXPECT_TRUE(server.WaitForStderr("velmor: status: 部屋の履歴を保存できません["));
    }
  }
  EXPECT_TRUE(server.WaitForStatus(Accepted, 2)) << server.Stderr();
  EXPECT_EQ(server.Stderr().find("velmor: the room is kept in ") != std::string::npos, keeps)
      << server.Stderr();

  // What the status line said, its fixed words exact.
  const std::string inMemory = "]、部屋はメモリ上だけで続けます";
  const std::string unavailable = StatusBeginning(server, "部屋の履歴を開けません[" + file + ": ");
  const std::string failed = StatusBeginning(server, "部屋の履歴を保存できません[");
  const std::string unreadable = StatusBeginning(server, "部屋の履歴を読めません[" + file + ": ");
  EXPECT_EQ(unavailable.ends_with(inMemory), row.said == Said::Unavailable) << unavailable;
  EXPECT_EQ(failed.ends_with(inMemory), row.said == Said::SaveFailed) << failed;
  EXPECT_EQ(StatusBeginning(server, "部屋の履歴").empty(),
            row.said == Said::Kept || row.said == Said::Nothing);
  const std::string setAside = " に退避して空の部屋で始めます";
  EXPECT_EQ(unreadable.ends_with(setAside), row.said == Said::SetAside) << server.Stderr();
  if (row.said == Said::SetAside && unreadable.ends_with(setAside)) {
    // The file is set aside whole, under the name the status line gives.
    const std::size_t begins = ("部屋の履歴を読めません[" + file + ": ").size();
    const std::size_t reasonEnds = unreadable.rfind("]、");
    if (row.reason != nullptr) {
      EXPECT_EQ(unreadable.substr(begins, reasonEnds - begins), row.reason);
    }
    const std::string aside =
        unreadable.substr(reasonEnds + 4, unreadable.size() - setAside.size() - reasonEnds - 4);
    const std::regex named(std::regex_replace(file, std::regex("[.]"), "[.]") +
                           "[.]broken-\\d{8}T\\d{6}Z");
    EXPECT_TRUE(std::regex_match(aside, named)) << aside;
    EXPECT_TRUE(ReadFile(aside) == fileBefore) << aside << " is not the file that was there";
  }

  // The files: made private where the program makes them, else left alone.
  if (!keeps) {
    EXPECT_EQ(fs::exists(s.dir), dirWasThere);
    EXPECT_TRUE(ReadFile(s.file) == fileBefore) << s.file << " was changed";
  }
  // The journal too, while the history is written (a disk that failed may
  // have ended it); nothing of it where nothing is written.
  for (const std::string suffix : {"", "-wal", "-shm"}) {
    struct stat info {};
    const bool there = ::stat((file + suffix).c_str(), &info) == 0;
    if (!keeps) {
      EXPECT_EQ(there, suffix.empty() && !fileBefore.empty()) << file << suffix;
    } else if (row.said != Said::SaveFailed || suffix.empty()) {
      EXPECT_TRUE(there) << file << suffix;
    }
    if (keeps && there) {
      EXPECT_EQ(info.st_mode & 07777, 0600u) << file << suffix;
    }
  }
  struct stat info {};
  if (keeps && !dirWasThere) {
    ASSERT_EQ(::stat(s.dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
  }
  const int status = server.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryStart, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmor::testing
