// Standard error's queue on a pipe that is read slowly, with lines from two
// threads, as the server's thread and the window's write them: every line
// arrives whole or is counted in the line that says how many were dropped.
#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "stderr/StderrQueue.h"

namespace velmor::testing {
namespace {

constexpr std::string_view DroppedTail =
    " status lines were dropped while standard error could not take them";
constexpr std::size_t LineLength = 100;
// Far more than the pipe and the queue hold together.
constexpr int LinesPerBurst = 3000;

// What came out of the pipe so far.
struct Arrivals {
  std::size_t lines = 0;
  std::size_t dropped = 0;  // as the dropped lines' counts say
  std::size_t malformed = 0;
  std::string partial;
};

void Take(Arrivals& arrivals, std::string_view bytes) {
  arrivals.partial.append(bytes);
  for (std::size_t end; (end = arrivals.partial.find('\n')) != std::string::npos;) {
    const std::string line = arrivals.partial.substr(0, end + 1);
    arrivals.partial.erase(0, end + 1);
    if (line.starts_with("velmor: ") && line.find(DroppedTail) != std::string::npos) {
      arrivals.dropped += std::stoul(line.substr(8));
    } else if (line.starts_with("from ") && line.size() == LineLength) {
      ++arrivals.lines;
    } else {
      ++arrivals.malformed;
    }
  }
}

// Reads a little at a time, turning this thread's event loop between reads,
// until the lines that arrived and those said dropped add up to written.
void ReadSlowly(int readEnd, Arrivals& arrivals, std::size_t written) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[512];
  while (arrivals.lines + arrivals.dropped < written &&
         std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents();
    pollfd ready{readEnd, POLLIN, 0};
    if (::poll(&ready, 1, 5) != 1) continue;
    const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
    if (n <= 0) return;
    Take(arrivals, std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

// A thread with an event loop of its own, as the server's is.
class Writer {
 public:
  explicit Writer(const char* name) : name_(name) {
    thread_.start();
    context_.moveToThread(&thread_);
  }
  ~Writer() {
    thread_.quit();
    thread_.wait();
  }
  // Writes a burst of lines on the writer's thread, by default returning
  // once it is written.
  void Burst(StderrQueue& queue, Qt::ConnectionType how = Qt::BlockingQueuedConnection) {
    QMetaObject::invokeMethod(
        &context_,
        [this, &queue] {
          for (int i = 0; i < LinesPerBurst; ++i) {
            std::string line = "from " + name_ + ", line " + std::to_string(i) + " ";
            line.resize(LineLength - 1, '.');
            queue.WriteLine(line + '\n');
          }
        },
        how);
  }

 private:
  std::string name_;
  QThread thread_;
  QObject context_;
};

TEST(StderrQueue, LinesFromTwoThreadsArriveOrAreCounted) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  ::fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
  Arrivals arrivals;
  {
    StderrQueue queue(pipeFds[1]);
    Writer first("first"), second("second");
    // One thread fills the pipe and the queue, and they drain; then the
    // other does; then both at once.
    first.Burst(queue);
    ReadSlowly(pipeFds[0], arrivals, LinesPerBurst);
    ASSERT_EQ(arrivals.lines + arrivals.dropped, std::size_t{LinesPerBurst}) << "the first alone";
    EXPECT_GT(arrivals.dropped, 0u) << "the burst was more than the queue holds";

    second.Burst(queue);
    ReadSlowly(pipeFds[0], arrivals, 2 * LinesPerBurst);
    ASSERT_EQ(arrivals.lines + arrivals.dropped, std::size_t{2 * LinesPerBurst})
        << "the second alone";

    first.Burst(queue, Qt::QueuedConnection);
    second.Burst(queue, Qt::QueuedConnection);
    ReadSlowly(pipeFds[0], arrivals, 4 * LinesPerBurst);
    EXPECT_EQ(arrivals.lines + arrivals.dropped, std::size_t{4 * LinesPerBurst}) << "both at once";
    EXPECT_EQ(arrivals.malformed, 0u) << "every line arrives whole";
    EXPECT_EQ(arrivals.partial, "");
  }
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

}  // namespace
}  // namespace velmor::testing
