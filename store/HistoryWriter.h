// Writes the room's history on a thread of its own, so the server's thread
// never waits for the disk. The server hands over what changed once per pass
// of its loop; whatever is handed while a commit runs is folded into the
// next one, so a flood costs a commit every CommitIntervalMs at most, not one
// per line.
// After each commit it says how far the log is kept (on the writer's thread:
// the caller takes it to its own); after a failure it says why, once, and
// writes nothing more.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "room/KeptRoom.h"

namespace velmor {

class HistoryFile;

class HistoryWriter {
 public:
  // The least time from one commit's start to the next one's.
  static constexpr int CommitIntervalMs = 50;

  using Kept = std::function<void(std::uint64_t throughLine)>;
  using Failed = std::function<void(const std::string& why)>;

  HistoryWriter(std::unique_ptr<HistoryFile> file, Kept kept, Failed failed);
  // Writes what was handed over and not yet written, then ends the thread.
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // New lines (oldest first) and, when they changed, every place; through is
  // the number of the newest line the room had posted by then.
  void Hand(std::vector<KeptLine> lines, std::optional<std::vector<KeptPlace>> places,
            std::uint64_t through);

 private:
  struct Batch {
    std::vector<KeptLine> lines;
    std::optional<std::vector<KeptPlace>> places;
    std::uint64_t through = 0;
    bool any = false;
  };
  void Run();

  std::unique_ptr<HistoryFile> file_;
  Kept kept_;
  Failed failed_;
  std::mutex lock_;
  std::condition_variable wake_;
  Batch pending_;  // under lock_
  bool stopping_ = false;
  bool idle_ = false;  // waiting for something to write
  bool broken_ = false;
  std::thread thread_;
};

}  // namespace velmor
