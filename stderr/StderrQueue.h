// Lines for standard error that can never hold the server up. Whatever reads
// standard error (a terminal, a supervisor's pipe, the journal) may stop
// reading; a blocking write would then stop every client with it. Lines that
// standard error cannot take now wait in a bounded queue and go out when it
// can; beyond the bound they are dropped and counted, and the count is
// reported once standard error takes lines again. When standard error fails
// for good (its reader went away, say), every line from then on is dropped
// and counted, and nothing watches it any more.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class QObject;
class QSocketNotifier;

namespace velmor {

class StderrQueue {
 public:
  static constexpr std::size_t Capacity = 200 * 1024;

  // The one queue of this process's standard error.
  static StderrQueue& Instance();

  // A queue of its own for the lines written to fd (tests make one on a
  // pipe); fd stays open as long as the queue. It ends on the application's
  // thread once no other thread writes to it.
  explicit StderrQueue(int fd);
  ~StderrQueue();
  StderrQueue(const StderrQueue&) = delete;
  StderrQueue& operator=(const StderrQueue&) = delete;

  // Writes one whole line (ending in a line feed) now, or queues it.
  void WriteLine(std::string_view line);
  // From now on Qt's own messages (warnings of its network modules, say)
  // take the same way, so that they cannot hold the server up either.
  static void TakeQtMessages();

 private:
  // Bytes taken by standard error without waiting, 0 when it is full; none
  // when it failed in a way that waiting does not mend (EPIPE, say).
  std::optional<std::size_t> WriteSome(const char* data, std::size_t size);
  // Standard error is gone: what waits is dropped, as is every later line.
  void GiveUp();
  // Sees that what is pending has someone to write it.
  void WatchForRoom();
  // On the owning thread: the notifier is made and switched on there only.
  void WatchHere();
  void Flush();

  // Lines may come from the server's thread and the window's.
  std::mutex guard_;
  int fd_ = 2;
  bool ownFd_ = false;
  bool isSocket_ = false;
  std::string pending_;
  std::size_t dropped_ = 0;
  bool gone_ = false;
  // Set while a wake-up is on its way to the owning thread or its notifier
  // is on, so that what is pending will be written.
  bool watched_ = false;
  // Both live on the owning thread, and only that thread touches them.
  QObject* owner_ = nullptr;
  QSocketNotifier* writable_ = nullptr;
};

}  // namespace velmor
