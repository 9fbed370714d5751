#include "net/ReadinessWatch.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "net/EpollEventLoop.h"

namespace velmor {

namespace {

// The sockets' own set, for a thread whose event loop is not ours: the loop
// sees it as one descriptor and hands each of its wake-ups one batch of
// ready sockets.
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
    return Control(epoll_, EPOLL_CTL_ADD, fd, handler, wantWrite);
  }
  bool Change(int fd, Handler& handler, bool wantWrite) override {
    return Control(epoll_, EPOLL_CTL_MOD, fd, handler, wantWrite);
  }

 private:
  void ServeReady() {
    constexpr int Batch = 64;
    epoll_event ready[Batch];
    const int count = ::epoll_wait(epoll_, ready, Batch, 0);
    // A handler closed earlier in this batch is still alive (members are
    // deleted later) and ignores the call.
    for (int i = 0; i < count; ++i)
      Tell(*static_cast<Handler*>(ready[i].data.ptr), ready[i].events);
  }

  int epoll_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace

ReadinessWatch& ReadinessWatch::OnThisThread(QObject& owner) {
  if (auto* loop = qobject_cast<EpollEventLoop*>(QAbstractEventDispatcher::instance()))
    return *loop;
  return *new NotifiedWatch(&owner);
}

bool ReadinessWatch::Control(int epoll, int operation, int fd, Handler& handler, bool wantWrite) {
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
  event.data.ptr = &handler;
  return ::epoll_ctl(epoll, operation, fd, &event) == 0;
}

void ReadinessWatch::Tell(Handler& handler, std::uint32_t events) {
  const bool peerDone = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
  if (peerDone || (events & EPOLLIN)) handler.OnReadable(peerDone);
  if (events & EPOLLOUT) handler.OnWritable();
}

}  // namespace velmor
