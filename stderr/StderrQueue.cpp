#include "stderr/StderrQueue.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace velmor {

StderrQueue& StderrQueue::Instance() {
  static StderrQueue* queue = new StderrQueue;  // lives as long as the process
  return *queue;
}

// A pipe or a terminal is opened anew, so that this process's description of
// it can be non-blocking without changing the one it shares with the shell
// or the supervisor. The journal's stream is a socket, which can be asked
// not to wait on each send. A regular file never keeps a writer waiting.
StderrQueue::StderrQueue() {
  struct stat info = {};
  if (::fstat(STDERR_FILENO, &info) != 0) return;
  if (S_ISSOCK(info.st_mode)) {
    isSocket_ = true;
  } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      fd_ = fd;
      ownFd_ = true;
    }
  }
}

StderrQueue::~StderrQueue() {
  if (ownFd_) ::close(fd_);
}

std::size_t StderrQueue::WriteSome(const char* data, std::size_t size) {
  for (;;) {
    ssize_t n;
    if (isSocket_) {
      n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      if (!ownFd_) {
        // Standard error could not be opened anew: write only when it has room.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return 0;
      }
      n = ::write(fd_, data, size);
    }
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

namespace {

// Set while this thread holds the queue: a message Qt raises from inside it
// (creating the notifier, say) is dropped rather than wait for itself.
thread_local bool InsideQueue = false;

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
  const std::lock_guard<std::mutex> hold(guard_);
  InsideQueue = true;
  struct Leave {
    ~Leave() { InsideQueue = false; }
  } leave;
  if (pending_.empty()) {
    const std::size_t written = WriteSome(line.data(), line.size());
    if (written == line.size()) return;
    // The rest of a line begun must follow it, so it is kept whatever the bound.
    pending_.append(line.substr(written));
    WatchForRoom();
    return;
  }
  if (pending_.size() + line.size() > Capacity) {
    ++dropped_;
    return;
  }
  pending_.append(line);
}

void StderrQueue::WatchForRoom() {
  // Watched from the event loop of the thread that first needed it.
  if (writable_ == nullptr && QCoreApplication::instance() != nullptr) {
    writable_ = new QSocketNotifier(fd_, QSocketNotifier::Write);
    QObject::connect(writable_, &QSocketNotifier::activated, [this] { Flush(); });
  }
  if (writable_ != nullptr) writable_->setEnabled(true);
}

void StderrQueue::Flush() {
  const std::lock_guard<std::mutex> hold(guard_);
  InsideQueue = true;
  struct Leave {
    ~Leave() { InsideQueue = false; }
  } leave;
  while (!pending_.empty()) {
    const std::size_t written = WriteSome(pending_.data(), pending_.size());
    if (written == 0) return;  // still full: the notifier stays on
    pending_.erase(0, written);
    if (pending_.empty() && dropped_ > 0) {
      pending_ = "velmor: " + std::to_string(dropped_) +
                 " status lines were dropped while standard error could not take them\n";
      dropped_ = 0;
    }
  }
  if (writable_ != nullptr) writable_->setEnabled(false);
}

}  // namespace velmor
