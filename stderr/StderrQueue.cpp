#include "stderr/StderrQueue.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace velmor {

StderrQueue& StderrQueue::Instance() {
  static StderrQueue* queue = new StderrQueue(STDERR_FILENO);  // lives as long as the process
  return *queue;
}

// A pipe or a terminal is opened anew, so that this process's description of
// it can be non-blocking without changing the one it shares with the shell
// or the supervisor. The journal's stream is a socket, which can be asked
// not to wait on each send. A regular file never keeps a writer waiting.
StderrQueue::StderrQueue(int fd) : fd_(fd) {
  struct stat info = {};
  if (::fstat(fd, &info) != 0) return;
  if (S_ISSOCK(info.st_mode)) {
    isSocket_ = true;
  } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
      fd_ = own;
      ownFd_ = true;
    }
  }
}

StderrQueue::~StderrQueue() {
  delete owner_;  // and the notifier with it
  if (ownFd_) ::close(fd_);
}

std::optional<std::size_t> StderrQueue::WriteSome(const char* data, std::size_t size) {
  for (;;) {
    ssize_t n;
    if (isSocket_) {
      n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      if (!ownFd_) {
        // Standard error could not be opened anew: write only when it has
        // room or an error to report.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1) return 0;
      }
      n = ::write(fd_, data, size);
    }
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return std::nullopt;
  }
}

void StderrQueue::GiveUp() {
  gone_ = true;
  // Counted, though no one will read the count.
  dropped_ += static_cast<std::size_t>(std::count(pending_.begin(), pending_.end(), '\n'));
  pending_.clear();
}

namespace {

// Set while this thread holds the queue: a message Qt raises from inside it
// (creating the notifier, say) is dropped rather than wait for itself.
thread_local bool InsideQueue = false;

// The queue held by this thread.
class Holding {
 public:
  explicit Holding(std::mutex& guard) : hold_(guard) { InsideQueue = true; }
  ~Holding() { InsideQueue = false; }

 private:
  std::lock_guard<std::mutex> hold_;
};

std::string DroppedLine(std::size_t dropped) {
  return "velmor: " + std::to_string(dropped) +
         " status lines were dropped while standard error could not take them\n";
}

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
  if (type == QtFatalMsg) {
    // The process ends next: say why, even if it has to wait.
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    return;
  }
  StderrQueue::Instance().WriteLine(std::string_view(line.constData(), line.size()));
}

}  // namespace

void StderrQueue::TakeQtMessages() { qInstallMessageHandler(OnQtMessage); }

void StderrQueue::WriteLine(std::string_view line) {
  if (InsideQueue) {
    ++dropped_;
    return;
  }
  const Holding hold(guard_);
  if (gone_) {
    ++dropped_;
    return;
  }
  // Lines dropped from inside the queue are said before the next one.
  if (pending_.empty() && dropped_ > 0) {
    pending_ = DroppedLine(dropped_);
    dropped_ = 0;
  }
  if (pending_.empty()) {
    const std::optional<std::size_t> written = WriteSome(line.data(), line.size());
    if (!written) {
      ++dropped_;
      GiveUp();
      return;
    }
    if (*written == line.size()) return;
    // The rest of a line begun must follow it, so it is kept whatever the bound.
    pending_.append(line.substr(*written));
  } else if (pending_.size() + line.size() > Capacity) {
    ++dropped_;
  } else {
    pending_.append(line);
  }
  WatchForRoom();
}

// The notifier belongs to the application's thread, the main thread: Qt lets
// only a notifier's own thread switch it on or off, and the main thread is
// the one whose event loop runs as long as the program does, with a window
// or without (the server's thread exists only beside a window). Any thread
// leaves what it could not write in pending_ and wakes that one. Beside a
// window the main thread has the lowest priority, so standard error drains
// on CPU time the clients do not want.
void StderrQueue::WatchForRoom() {
  if (watched_) return;
  QCoreApplication* const app = QCoreApplication::instance();
  if (app == nullptr) return;  // no event loop yet: the next line asks again
  if (owner_ == nullptr) {
    owner_ = new QObject;
    owner_->moveToThread(app->thread());
  }
  watched_ = true;
  QMetaObject::invokeMethod(
      owner_, [this] { WatchHere(); }, Qt::QueuedConnection);
}

void StderrQueue::WatchHere() {
  const Holding hold(guard_);
  if (pending_.empty()) {
    watched_ = false;
    return;
  }
  if (writable_ == nullptr) {
    writable_ = new QSocketNotifier(fd_, QSocketNotifier::Write, owner_);
    QObject::connect(writable_, &QSocketNotifier::activated, owner_, [this] { Flush(); });
  }
  writable_->setEnabled(true);
}

void StderrQueue::Flush() {
  const Holding hold(guard_);
  while (!pending_.empty()) {
    const std::optional<std::size_t> written = WriteSome(pending_.data(), pending_.size());
    if (!written) {
      // A descriptor whose reader is gone is ready for ever: the notifier
      // goes off for good, or the loop would turn without end.
      GiveUp();
      break;
    }
    if (*written == 0) return;  // still full: the notifier stays on
    pending_.erase(0, *written);
    if (pending_.empty() && dropped_ > 0) {
      pending_ = DroppedLine(dropped_);
      dropped_ = 0;
    }
  }
  writable_->setEnabled(false);
  watched_ = false;
}

}  // namespace velmor
