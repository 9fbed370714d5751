#include "loop/ReadinessWatch.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "loop/EpollEventLoop.h"

namespace velmor {

namespace {

// The sockets' own set, for a thread whose event loop is not ours: the loop
// sees it as one descriptor and hands each of its wake-ups one batch of
// ready sockets. Each socket's entry carries a generation, as the loop's do,
// so that a socket forgotten within a batch is not served after it.
class NotifiedWatch : public QObject, public ReadinessWatch {
 public:
  explicit NotifiedWatch(QObject* parent)
      : QObject(parent), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) return;  // every Watch then fails, and its client is dropped
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &NotifiedWatch::ServeReady);
  }
  ~NotifiedWatch() override {
    if (epoll_ < 0) return;
    notifier_->setEnabled(false);
    ::close(epoll_);
  }
  bool Watch(int fd, Handler& handler, bool wantWrite) override {
    if (handlers_.contains(fd)) {
      errno = EEXIST;
      return false;
    }
    const Watched watched{&handler, nextGeneration_++};
    if (!Control(epoll_, EPOLL_CTL_ADD, fd, DataOf(fd, watched.generation), wantWrite))
      return false;
    handlers_.emplace(fd, watched);
    return true;
  }
  bool Change(int fd, Handler& handler, bool wantWrite) override {
    const auto found = handlers_.find(fd);
    if (found == handlers_.end() || found->second.handler != &handler) {
      errno = ENOENT;
      return false;
    }
    return Control(epoll_, EPOLL_CTL_MOD, fd, DataOf(fd, found->second.generation), wantWrite);
  }
  void Forget(int fd) override {
    if (handlers_.erase(fd) > 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  }

 private:
  struct Watched {
    Handler* handler;
    std::uint32_t generation;
  };
  static std::uint64_t DataOf(int fd, std::uint32_t generation) {
    return std::uint64_t{generation} << 32 | std::uint32_t(fd);
  }

  void ServeReady() {
    constexpr int Batch = 64;
    epoll_event ready[Batch];
    const int count = ::epoll_wait(epoll_, ready, Batch, 0);
    for (int i = 0; i < count; ++i) {
      const auto found = handlers_.find(static_cast<int>(std::uint32_t(ready[i].data.u64)));
      if (found == handlers_.end() ||
          found->second.generation != std::uint32_t(ready[i].data.u64 >> 32))
        continue;
      Tell(*found->second.handler, ready[i].events);
    }
  }

  int epoll_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::unordered_map<int, Watched> handlers_;
  std::uint32_t nextGeneration_ = 1;
};

}  // namespace

ReadinessWatch& ReadinessWatch::OnThisThread(QObject& owner) {
  if (auto* loop = qobject_cast<EpollEventLoop*>(QAbstractEventDispatcher::instance()))
    return *loop;
  return *new NotifiedWatch(&owner);
}

bool ReadinessWatch::Control(int epoll, int operation, int fd, std::uint64_t data, bool wantWrite) {
  if (epoll < 0) {
    errno = EBADF;
    return false;
  }
  // Edge-triggered: a level-triggered set would look at every socket served
  // in one wake-up again in the next, only to find most of them idle. A
  // change of the watch (EPOLL_CTL_MOD) reports the socket again if it is
  // ready, which a handler that left input unread relies on. EPOLLRDHUP
  // tells the handler that a close came with the last input, since no
  // further edge would announce it.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (wantWrite ? EPOLLOUT : 0u);
  event.data.u64 = data;
  return ::epoll_ctl(epoll, operation, fd, &event) == 0;
}

void ReadinessWatch::Tell(Handler& handler, std::uint32_t events) {
  const bool peerDone = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
  if (peerDone || (events & EPOLLIN)) handler.OnReadable(peerDone);
  if (events & EPOLLOUT) handler.OnWritable();
}

}  // namespace velmor
