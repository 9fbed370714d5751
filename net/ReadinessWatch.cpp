#include "net/ReadinessWatch.h"

#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace velmor {

ReadinessWatch::ReadinessWatch(QObject* parent)
    : QObject(parent), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_ < 0) return;  // every Watch then fails, and its client is dropped
  notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &ReadinessWatch::Dispatch);
}

ReadinessWatch::~ReadinessWatch() {
  if (epoll_ < 0) return;
  notifier_->setEnabled(false);
  ::close(epoll_);
}

bool ReadinessWatch::Watch(int fd, Handler& handler, bool wantWrite) {
  return Control(EPOLL_CTL_ADD, fd, handler, wantWrite);
}

bool ReadinessWatch::Change(int fd, Handler& handler, bool wantWrite) {
  changed_ = true;
  return Control(EPOLL_CTL_MOD, fd, handler, wantWrite);
}

bool ReadinessWatch::Control(int operation, int fd, Handler& handler, bool wantWrite) {
  if (epoll_ < 0) {
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
  return ::epoll_ctl(epoll_, operation, fd, &event) == 0;
}

// One wake-up of the event loop serves every socket that is ready, and
// those that became ready meanwhile, up to a bound that lets timers and
// queued work in between: under load the clients served first have asked
// again by the time the last is answered, and taking them here spares a
// round of the event loop's own poll for every few requests. A handler that
// asked to be told again (input left unread, a reply left unsent) waits for
// the next wake-up, so a client that streams is still read in bounded
// bites between timers.
void ReadinessWatch::Dispatch() {
  constexpr int Batch = 64;
  constexpr int MostRounds = 4;
  epoll_event ready[Batch];
  changed_ = false;
  for (int round = 0; round < MostRounds && !changed_; ++round) {
    const int count = ::epoll_wait(epoll_, ready, Batch, 0);
    if (count <= 0) return;
    Serve(ready, count);
  }
}

void ReadinessWatch::Serve(const epoll_event* ready, int count) {
  for (int i = 0; i < count; ++i) {
    // A handler closed earlier in this batch is still alive (members are
    // deleted later) and ignores the call.
    auto* handler = static_cast<Handler*>(ready[i].data.ptr);
    const std::uint32_t events = ready[i].events;
    const bool peerDone = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (peerDone || (events & EPOLLIN)) handler->OnReadable(peerDone);
    if (events & EPOLLOUT) handler->OnWritable();
  }
}

}  // namespace velmor
