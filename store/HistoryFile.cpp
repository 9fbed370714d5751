#include "store/HistoryFile.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include "room/Room.h"

namespace velmor {

namespace {

// The layout this program writes; a file of any other is set aside.
constexpr int Format = 1;
// The largest id a page may give its lines (see the browser protocol).
constexpr std::int64_t LargestId = (std::int64_t{1} << 53) - 1;

constexpr const char* Schema =
    "CREATE TABLE lines(number INTEGER PRIMARY KEY, text BLOB NOT NULL);"
    "CREATE TABLE places(slot INTEGER PRIMARY KEY, name BLOB NOT NULL, key BLOB NOT NULL,"
    " highest_done INTEGER NOT NULL, address BLOB NOT NULL, label BLOB NOT NULL,"
    " failed INTEGER NOT NULL);"
    "PRAGMA user_version = 1;";

// Text is kept as its UTF-16 code units, little-endian: the room's text
// may hold what UTF-8 cannot (half a surrogate pair a client sent), and the
// state reply must come back byte for byte.
std::string Bytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

bool Text(sqlite3_stmt* row, int column, std::u16string& text) {
  const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(row, column));
  const int size = sqlite3_column_bytes(row, column);
  if (size % 2 != 0 || (size > 0 && bytes == nullptr)) return false;
  text.resize(static_cast<std::size_t>(size / 2));
  for (int i = 0; i < size / 2; ++i)
    text[static_cast<std::size_t>(i)] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return true;
}

struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return nullptr;
  return Statement(statement);
}

// A damaged or foreign file is set aside; a file the process may not use
// (no right to it, no room on the disk) is only left alone.
bool Unusable(int code) {
  switch (code & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_AUTH:
      return true;
    default:
      return false;
  }
}

// SQLite's own words, on one line: they end up in a status text.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text;
}

std::string Said(sqlite3* db) {
  return OneLine(db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

void BindText(sqlite3_stmt* statement, int index, const std::u16string& text) {
  const std::string bytes = Bytes(text);
  sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_TRANSIENT);
}

}  // namespace

HistoryFile::~HistoryFile() { CloseDatabase(); }

void HistoryFile::CloseDatabase() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool HistoryFile::Execute(const char* sql, std::string& why) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  why = message != nullptr ? OneLine(message) : Said(db_);
  sqlite3_free(message);
  return false;
}

HistoryFile::Opening HistoryFile::Open(const std::string& path, KeptRoom& kept) {
  Opening opening;
  const Check check = OpenAndRead(path, kept, opening.why);
  if (check == Check::Unusable) {
    CloseDatabase();
    kept = {};
    return opening;
  }
  if (check == Check::Broken) {
    CloseDatabase();
    kept = {};
    opening.brokenWhy = opening.why;
    opening.why.clear();
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    opening.setAsideAs = path + ".broken-" + stamp;
    if (std::rename(path.c_str(), opening.setAsideAs.c_str()) != 0) {
      opening.why = opening.setAsideAs + ": " + std::strerror(errno);
      opening.setAsideAs.clear();
      return opening;
    }
    // The journal goes with the file it belongs to.
    for (const char* suffix : {"-wal", "-shm"}) {
      std::rename((path + suffix).c_str(), (opening.setAsideAs + suffix).c_str());
    }
    KeptRoom none;
    if (OpenAndRead(path, none, opening.why) != Check::Good) {
      CloseDatabase();
      return opening;
    }
  }
  opening.writable = true;
  return opening;
}

HistoryFile::Check HistoryFile::OpenAndRead(const std::string& path, KeptRoom& kept,
                                            std::string& why) {
  CloseDatabase();
  // The file holds the browser members' keys: made readable by the program
  // alone before SQLite opens it (its journal takes the same mode).
  if (const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      fd >= 0) {
    ::fchmod(fd, 0600);
    ::close(fd);
  }
  const int opened = sqlite3_open_v2(
      path.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (opened != SQLITE_OK) {
    why = path + ": " + Said(db_);
    return Check::Unusable;
  }
  sqlite3_extended_result_codes(db_, 1);
  // A writer that finds the file locked (another program holding it) waits
  // a moment rather than failing the room's commit at once.
  sqlite3_busy_timeout(db_, 2000);
  const auto failed = [&](int code) {
    why = path + ": " + Said(db_);
    return Unusable(code) ? Check::Unusable : Check::Broken;
  };

  Statement version = Prepare(db_, "PRAGMA user_version");
  if (!version) return failed(sqlite3_errcode(db_));
  int step = sqlite3_step(version.get());
  if (step != SQLITE_ROW) return failed(step);
  const int format = sqlite3_column_int(version.get(), 0);
  version.reset();

  Statement check = Prepare(db_, "PRAGMA quick_check");
  if (!check) return failed(sqlite3_errcode(db_));
  step = sqlite3_step(check.get());
  if (step != SQLITE_ROW) return failed(step);
  const auto* verdict = sqlite3_column_text(check.get(), 0);
  if (verdict == nullptr || std::string(reinterpret_cast<const char*>(verdict)) != "ok") {
    why = path + ": damaged (" +
          OneLine(verdict != nullptr ? std::string(reinterpret_cast<const char*>(verdict)) : "") +
          ")";
    return Check::Broken;
  }
  check.reset();

  // Judged before anything is written to it: a file set aside is the file
  // as it was found.
  if (format == 0) {
    Statement tables = Prepare(db_, "SELECT count(*) FROM sqlite_master");
    if (!tables || sqlite3_step(tables.get()) != SQLITE_ROW) return failed(sqlite3_errcode(db_));
    if (sqlite3_column_int(tables.get(), 0) != 0) {
      why = path + ": not a history of this program";
      return Check::Broken;
    }
  } else if (format != Format) {
    why = path + ": a history of another format (" + std::to_string(format) + ")";
    return Check::Broken;
  }

  // WAL: a commit appends to the journal and syncs it once, and readers never
  // wait for the writer. FULL: the sync comes before the commit returns, so
  // what a member was told is kept survives a power cut as well as a crash.
  if (!Execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;"
               " PRAGMA journal_size_limit = 8388608;",
               why)) {
    why = path + ": " + why;
    return Unusable(sqlite3_errcode(db_)) ? Check::Unusable : Check::Broken;
  }

  if (format == 0) {
    if (!Execute("BEGIN IMMEDIATE;", why) || !Execute(Schema, why) || !Execute("COMMIT;", why)) {
      why = path + ": " + why;
      return Unusable(sqlite3_errcode(db_)) ? Check::Unusable : Check::Broken;
    }
    return Check::Good;
  }
  Statement lines = Prepare(db_, "SELECT number, text FROM lines ORDER BY number");
  if (!lines) return failed(sqlite3_errcode(db_));
  while ((step = sqlite3_step(lines.get())) == SQLITE_ROW) {
    KeptLine line;
    const sqlite3_int64 number = sqlite3_column_int64(lines.get(), 0);
    if (number < 1 || !Text(lines.get(), 1, line.text) || line.text.empty() ||
        (!kept.lines.empty() &&
         static_cast<std::uint64_t>(number) != kept.lines.back().number + 1) ||
        kept.lines.size() == static_cast<std::size_t>(Room::LogCapacity)) {
      why = path + ": the log is not one the room could hold";
      return Check::Broken;
    }
    line.number = static_cast<std::uint64_t>(number);
    kept.lines.push_back(std::move(line));
  }
  if (step != SQLITE_DONE) return failed(step);

  Statement places = Prepare(
      db_,
      "SELECT slot, name, key, highest_done, address, label, failed FROM places ORDER BY slot");
  if (!places) return failed(sqlite3_errcode(db_));
  while ((step = sqlite3_step(places.get())) == SQLITE_ROW) {
    KeptPlace place;
    const sqlite3_int64 slot = sqlite3_column_int64(places.get(), 0);
    const sqlite3_int64 highest = sqlite3_column_int64(places.get(), 3);
    if (slot < 1 || slot > MaxClientSlot || highest < -1 || highest > LargestId ||
        !Text(places.get(), 5, place.label) || !Text(places.get(), 1, place.name) ||
        !Text(places.get(), 2, place.key) || !Text(places.get(), 4, place.address) ||
        place.name.empty() || place.key.empty()) {
      why = path + ": a member's place is not one the room could hold";
      return Check::Broken;
    }
    place.slot = static_cast<SlotIndex>(slot);
    place.highestDone = highest;
    place.failed = sqlite3_column_int(places.get(), 6) != 0;
    kept.places.push_back(std::move(place));
  }
  if (step != SQLITE_DONE) return failed(step);
  return Check::Good;
}

bool HistoryFile::Write(const std::vector<KeptLine>& lines, const std::vector<KeptPlace>* places,
                        std::string& why) {
  if (db_ == nullptr) {
    why = "no history file";
    return false;
  }
  const auto fail = [&] {
    why = Said(db_);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  if (!Execute("BEGIN IMMEDIATE", why)) return false;
  if (!lines.empty()) {
    Statement insert = Prepare(db_, "INSERT OR REPLACE INTO lines(number, text) VALUES(?, ?)");
    if (!insert) return fail();
    for (const KeptLine& line : lines) {
      sqlite3_bind_int64(insert.get(), 1, static_cast<sqlite3_int64>(line.number));
      BindText(insert.get(), 2, line.text);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) return fail();
      sqlite3_reset(insert.get());
    }
    Statement trim = Prepare(db_, "DELETE FROM lines WHERE number <= ?");
    if (!trim) return fail();
    sqlite3_bind_int64(trim.get(), 1,
                       static_cast<sqlite3_int64>(lines.back().number) - Room::LogCapacity);
    if (sqlite3_step(trim.get()) != SQLITE_DONE) return fail();
  }
  if (places != nullptr) {
    if (sqlite3_exec(db_, "DELETE FROM places", nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail();
    Statement insert = Prepare(db_,
                               "INSERT INTO places(slot, name, key, highest_done, address, label,"
                               " failed) VALUES(?, ?, ?, ?, ?, ?, ?)");
    if (!insert) return fail();
    std::set<SlotIndex> seen;
    for (const KeptPlace& place : *places) {
      if (!seen.insert(place.slot).second) continue;
      sqlite3_bind_int64(insert.get(), 1, place.slot);
      BindText(insert.get(), 2, place.name);
      BindText(insert.get(), 3, place.key);
      sqlite3_bind_int64(insert.get(), 4, place.highestDone);
      BindText(insert.get(), 5, place.address);
      BindText(insert.get(), 6, place.label);
      sqlite3_bind_int(insert.get(), 7, place.failed ? 1 : 0);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) return fail();
      sqlite3_reset(insert.get());
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  return true;
}

}  // namespace velmor
