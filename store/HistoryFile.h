// The file that keeps the room across restarts: a SQLite database (WAL, each
// commit synced) holding the last Room::LogCapacity lines by number and the
// browser members' places. It never grows past them: older lines are deleted
// in the transaction that writes newer ones, and the places are written whole.
//
// A file that fails its check at the start (not a database, damaged, of
// another format, or holding what no room could) is set aside under a new
// name and a fresh one made in its place, so the room starts empty rather
// than half read.
#pragma once

#include <string>
#include <vector>

#include "room/KeptRoom.h"

struct sqlite3;

namespace velmor {

class HistoryFile {
 public:
  HistoryFile() = default;
  ~HistoryFile();
  HistoryFile(const HistoryFile&) = delete;
  HistoryFile& operator=(const HistoryFile&) = delete;

  struct Opening {
    bool writable = false;  // Write may be called
    std::string why;        // when not writable: what stands in the way
    // A file that failed its check: why, and the name it now has.
    std::string brokenWhy;
    std::string setAsideAs;
  };
  // Opens the file at path, making it if need be, and reads what it keeps
  // into kept. Nothing is read from a file that fails its check.
  Opening Open(const std::string& path, KeptRoom& kept);

  // In one transaction: the lines (numbered, oldest first; only the newest
  // Room::LogCapacity of the log stay) and, when places is given, every
  // place in place of those kept. False, with why, when the disk said no.
  bool Write(const std::vector<KeptLine>& lines, const std::vector<KeptPlace>* places,
             std::string& why);

 private:
  enum class Check { Good, Broken, Unusable };
  Check OpenAndRead(const std::string& path, KeptRoom& kept, std::string& why);
  bool Execute(const char* sql, std::string& why);
  void CloseDatabase();

  sqlite3* db_ = nullptr;
};

}  // namespace velmor
