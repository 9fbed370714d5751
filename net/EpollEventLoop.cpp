#include "net/EpollEventLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmor {

namespace {

// How a descriptor's entry is told apart in what the set reports: the
// clients' handlers by their address (never odd), the wake-up descriptor by
// zero, Qt's descriptors by an odd number holding the descriptor and its
// generation.
constexpr std::uint64_t WakeEntry = 0;
std::uint64_t NotifierEntry(int fd, std::uint32_t generation) {
  return (std::uint64_t{generation} << 32) | (std::uint64_t(std::uint32_t(fd)) << 1) | 1u;
}

// What wakes each of Qt's notifier types; a hang-up or an error wakes them
// all, as with poll(), so that the socket behind them learns of it.
constexpr std::uint32_t WakesType[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP,  // QSocketNotifier::Read
    EPOLLOUT | EPOLLHUP | EPOLLERR,              // QSocketNotifier::Write
    EPOLLPRI | EPOLLHUP | EPOLLERR,              // QSocketNotifier::Exception
};
constexpr std::uint32_t WatchesType[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

timespec ToTimespec(std::chrono::steady_clock::duration wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

}  // namespace

EpollEventLoop::EpollEventLoop(QObject* parent)
    : QAbstractEventDispatcher(parent),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (epoll_ < 0 || wakeFd_ < 0) {
    qFatal("velmor: the server's event loop cannot start: %s", std::strerror(errno));
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = WakeEntry;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &event) != 0) {
    qFatal("velmor: the server's event loop cannot start: %s", std::strerror(errno));
  }
}

EpollEventLoop::~EpollEventLoop() {
  ::close(wakeFd_);
  ::close(epoll_);
}

bool EpollEventLoop::processEvents(QEventLoop::ProcessEventsFlags flags) {
  interrupted_.store(false, std::memory_order_relaxed);
  emit awake();
  QCoreApplication::sendPostedEvents();

  const bool excludeSockets = flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
  const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents) &&
                       !interrupted_.load(std::memory_order_relaxed) &&
                       !wakePending_.load(std::memory_order_acquire) &&
                       (excludeSockets || (deferred_.empty() && alwaysReady_ == 0));
  timespec timeout{0, 0};
  const timespec* wait = &timeout;
  if (mayWait) {
    if (!NearestTimeout(timeout)) wait = nullptr;  // no timer: until something comes
    emit aboutToBlock();
  }

  int handled = 0;
  if (!excludeSockets && !deferred_.empty()) {
    std::vector<epoll_event> earlier;
    earlier.swap(deferred_);
    for (const epoll_event& event : earlier) Serve(event);
    handled += static_cast<int>(earlier.size());
  }

  constexpr int Batch = 64;
  epoll_event ready[Batch];
  const int count = Wait(ready, Batch, wait);
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.u64 == WakeEntry) {
      wakePending_.store(false, std::memory_order_release);
      eventfd_t ignored;
      ::eventfd_read(wakeFd_, &ignored);
    } else if (excludeSockets) {
      deferred_.push_back(ready[i]);
    } else {
      Serve(ready[i]);
    }
  }
  handled += std::max(count, 0);
  if (!excludeSockets && alwaysReady_ > 0) ServeAlwaysReady();
  if (!flags.testFlag(QEventLoop::X11ExcludeTimers)) handled += FireDueTimers();
  return handled > 0;
}

int EpollEventLoop::Wait(epoll_event* ready, int most, const timespec* timeout) {
  if (!millisecondsOnly_) {
    const int count = ::epoll_pwait2(epoll_, ready, most, timeout, nullptr);
    // Older kernels lack the call, and some sandboxes refuse it.
    if (count >= 0 || (errno != ENOSYS && errno != EPERM)) return count;
    millisecondsOnly_ = true;
  }
  // Rounded up, so that a timer is never found early and waited for again.
  int ms = -1;
  if (timeout != nullptr) {
    const auto wait =
        std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec);
    ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
        std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 24 * 3600 * 1000));
  }
  return ::epoll_wait(epoll_, ready, most, ms);
}

void EpollEventLoop::wakeUp() {
  // One write a wake-up, however many events are posted before it.
  if (!wakePending_.exchange(true, std::memory_order_acq_rel)) ::eventfd_write(wakeFd_, 1);
}

void EpollEventLoop::interrupt() {
  interrupted_.store(true, std::memory_order_relaxed);
  wakeUp();
}

void EpollEventLoop::Serve(const epoll_event& event) {
  const std::uint64_t entry = event.data.u64;
  if (entry & 1u) {
    TellNotifiers(static_cast<int>(std::uint32_t(entry) >> 1), std::uint32_t(entry >> 32),
                  event.events);
  } else {
    // A handler closed earlier in this batch is still alive (members are
    // deleted later) and ignores the call.
    Tell(*static_cast<Handler*>(event.data.ptr), event.events);
  }
}

void EpollEventLoop::TellNotifiers(int fd, std::uint32_t generation, std::uint32_t events) {
  // Each activation may change the descriptor's notifiers, or end them and
  // see the descriptor reused: they are looked up again before each.
  for (int type = 0; type < 3; ++type) {
    const auto found = notifiers_.find(fd);
    if (found == notifiers_.end() || found->second.generation != generation) return;
    QSocketNotifier* notifier = found->second.byType[type];
    if (notifier == nullptr || (events & WakesType[type]) == 0) continue;
    QEvent activation(QEvent::SockAct);
    QCoreApplication::sendEvent(notifier, &activation);
  }
}

void EpollEventLoop::ServeAlwaysReady() {
  QVarLengthArray<std::pair<int, std::uint32_t>, 4> ready;
  for (const auto& [fd, notifiers] : notifiers_) {
    if (notifiers.alwaysReady) ready.append({fd, notifiers.generation});
  }
  for (const auto& [fd, generation] : ready) {
    TellNotifiers(fd, generation, EPOLLIN | EPOLLOUT);
  }
}

void EpollEventLoop::registerSocketNotifier(QSocketNotifier* notifier) {
  const int fd = static_cast<int>(notifier->socket());
  const int type = static_cast<int>(notifier->type());
  if (fd < 0 || type < 0 || type > 2) return;
  Notifiers& notifiers = notifiers_[fd];
  if (notifiers.Empty()) notifiers.generation = nextGeneration_++;
  notifiers.byType[type] = notifier;
  UpdateNotifiers(fd, notifiers);
}

void EpollEventLoop::unregisterSocketNotifier(QSocketNotifier* notifier) {
  const int fd = static_cast<int>(notifier->socket());
  const int type = static_cast<int>(notifier->type());
  const auto found = notifiers_.find(fd);
  if (found == notifiers_.end() || type < 0 || type > 2 || found->second.byType[type] != notifier) {
    return;
  }
  found->second.byType[type] = nullptr;
  if (!found->second.Empty()) {
    UpdateNotifiers(fd, found->second);
    return;
  }
  // The descriptor may already be closed, which took it out of the set.
  if (found->second.alwaysReady) {
    --alwaysReady_;
  } else {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  }
  notifiers_.erase(found);
}

void EpollEventLoop::UpdateNotifiers(int fd, Notifiers& notifiers) {
  if (notifiers.alwaysReady) return;
  epoll_event event{};
  for (int type = 0; type < 3; ++type) {
    if (notifiers.byType[type] != nullptr) event.events |= WatchesType[type];
  }
  event.data.u64 = NotifierEntry(fd, notifiers.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) == 0) return;
  // New here, or closed and reused since it was added.
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0) return;
  if (errno == EPERM) {
    notifiers.alwaysReady = true;
    ++alwaysReady_;
    return;
  }
  qWarning("velmor: descriptor %d cannot be watched: %s", fd, std::strerror(errno));
}

bool EpollEventLoop::Watch(int fd, Handler& handler, bool wantWrite) {
  return Control(epoll_, EPOLL_CTL_ADD, fd, handler, wantWrite);
}

bool EpollEventLoop::Change(int fd, Handler& handler, bool wantWrite) {
  return Control(epoll_, EPOLL_CTL_MOD, fd, handler, wantWrite);
}

void EpollEventLoop::registerTimer(int timerId, qint64 intervalMs, Qt::TimerType type,
                                   QObject* object) {
  // Every timer is kept to the millisecond: the coarse kinds' leeway would
  // save nothing here, where one wait serves all of them.
  const qint64 interval = std::max<qint64>(intervalMs, 0);
  timers_.push_back(
      Timer{timerId, interval, type, object, Clock::now() + std::chrono::milliseconds(interval)});
}

bool EpollEventLoop::unregisterTimer(int timerId) {
  const auto found = std::find_if(timers_.begin(), timers_.end(),
                                  [timerId](const Timer& t) { return t.id == timerId; });
  if (found == timers_.end()) return false;
  timers_.erase(found);
  return true;
}

bool EpollEventLoop::unregisterTimers(QObject* object) {
  return std::erase_if(timers_, [object](const Timer& t) { return t.object == object; }) > 0;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventLoop::registeredTimers(QObject* object) const {
  QList<TimerInfo> found;
  for (const Timer& t : timers_) {
    if (t.object == object) found.append(TimerInfo(t.id, static_cast<int>(t.intervalMs), t.type));
  }
  return found;
}

int EpollEventLoop::remainingTime(int timerId) {
  const Timer* timer = FindTimer(timerId);
  if (timer == nullptr) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(timer->due - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

EpollEventLoop::Timer* EpollEventLoop::FindTimer(int id) {
  for (Timer& timer : timers_) {
    if (timer.id == id) return &timer;
  }
  return nullptr;
}

bool EpollEventLoop::NearestTimeout(timespec& timeout) const {
  Clock::time_point nearest = Clock::time_point::max();
  for (const Timer& timer : timers_) {
    if (!timer.firing) nearest = std::min(nearest, timer.due);
  }
  if (nearest == Clock::time_point::max()) return false;
  timeout = ToTimespec(std::max(nearest - Clock::now(), Clock::duration::zero()));
  return true;
}

int EpollEventLoop::FireDueTimers() {
  const Clock::time_point now = Clock::now();
  // The timers due now, taken first: one that a handler starts, or that is
  // due again at once (an interval of 0), waits for the next wake-up.
  QVarLengthArray<int, 16> due;
  for (const Timer& timer : timers_) {
    if (timer.due <= now && !timer.firing) due.append(timer.id);
  }
  int fired = 0;
  for (const int id : due) {
    Timer* timer = FindTimer(id);  // an earlier timer's event may have ended it
    if (timer == nullptr || timer->firing || timer->due > now) continue;
    // The next one counts from when this one was due, so that a periodic
    // timer keeps its rate; one that fell behind starts again from now.
    const auto interval = std::chrono::milliseconds(timer->intervalMs);
    timer->due += interval;
    if (timer->due <= now) timer->due = now + interval;
    timer->firing = true;
    QObject* object = timer->object;
    QTimerEvent event(id);
    QCoreApplication::sendEvent(object, &event);
    if (Timer* still = FindTimer(id)) still->firing = false;
    ++fired;
  }
  return fired;
}

}  // namespace velmor
