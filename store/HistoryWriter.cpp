#include "store/HistoryWriter.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "room/Room.h"
#include "store/HistoryFile.h"

namespace velmor {

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryFile> file, Kept kept, Failed failed)
    : file_(std::move(file)),
      kept_(std::move(kept)),
      failed_(std::move(failed)),
      thread_([this] { Run(); }) {}

HistoryWriter::~HistoryWriter() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void HistoryWriter::Hand(std::vector<KeptLine> lines, std::optional<std::vector<KeptPlace>> places,
                         std::uint64_t through) {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (broken_) return;
    std::vector<KeptLine>& waiting = pending_.lines;
    for (KeptLine& line : lines) waiting.push_back(std::move(line));
    // Only the log's last lines can outlive the commit; older ones are
    // never written.
    if (waiting.size() > static_cast<std::size_t>(Room::LogCapacity)) {
      waiting.erase(waiting.begin(), waiting.end() - Room::LogCapacity);
    }
    if (places) pending_.places = std::move(places);
    pending_.through = std::max(pending_.through, through);
    pending_.any = true;
    // A writer busy or resting between commits takes this with the rest;
    // only an idle one is woken, so a flood costs no wake-up per pass.
    if (!idle_) return;
  }
  wake_.notify_one();
}

void HistoryWriter::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  auto nextCommit = std::chrono::steady_clock::now();
  for (;;) {
    idle_ = true;
    wake_.wait(hold, [this] { return pending_.any || stopping_; });
    idle_ = false;
    if (!pending_.any) return;  // stopping, and everything written
    // Under a flood, commits come at most once per CommitIntervalMs, each
    // taking all that came meanwhile: the disk's syncs and SQLite's work
    // then cost the server's core a bounded share however fast lines come,
    // and a line at a human pace is still written at once.
    wake_.wait_until(hold, nextCommit, [this] { return stopping_; });
    nextCommit = std::chrono::steady_clock::now() + std::chrono::milliseconds(CommitIntervalMs);
    Batch batch = std::exchange(pending_, Batch{});
    hold.unlock();
    std::string why;
    const bool written = file_->Write(batch.lines, batch.places ? &*batch.places : nullptr, why);
    if (written) {
      kept_(batch.through);
    } else {
      failed_(why);
    }
    hold.lock();
    if (!written) {
      broken_ = true;
      pending_ = Batch{};
    }
  }
}

}  // namespace velmor
