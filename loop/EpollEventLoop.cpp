// Longer than most files here: a QAbstractEventDispatcher's contract (timers,
// posted events, socket notifiers, interrupts, the wake-up) is one whole that
// Qt's own dispatcher tests check case by case, and split across files its
// cases would be harder to hold against them.
#include "loop/EpollEventLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmor {

namespace {

// What the set reports for an entry: its generation above, its descriptor
// below. Generations start at 1, so the wake-up's report, 0, names no entry.
constexpr std::uint64_t WakeEntry = 0;

// What wakes each of Qt's notifier types; a hang-up or an error wakes them
// all, as with poll(), so that the socket behind them learns of it.
constexpr std::uint32_t WakesType[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP,  // QSocketNotifier::Read
    EPOLLOUT | EPOLLHUP | EPOLLERR,              // QSocketNotifier::Write
    EPOLLPRI | EPOLLHUP | EPOLLERR,              // QSocketNotifier::Exception
};
constexpr std::uint32_t WatchesType[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr short PollsType[3] = {POLLIN, POLLOUT, POLLPRI};
constexpr const char* TypeNames[3] = {"Read", "Write", "Exception"};

timespec ToTimespec(std::chrono::steady_clock::duration wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

// What poll() reports, as the set would report it.
std::uint32_t FromPoll(short revents) {
  std::uint32_t events = 0;
  if (revents & POLLIN) events |= EPOLLIN;
  if (revents & POLLOUT) events |= EPOLLOUT;
  if (revents & POLLPRI) events |= EPOLLPRI;
  if (revents & POLLHUP) events |= EPOLLHUP;
  if (revents & POLLERR) events |= EPOLLERR;
  if (revents & POLLRDHUP) events |= EPOLLRDHUP;
  return events;
}

// A client's turn, sent through QCoreApplication::sendEvent like Qt's own
// socket activations, so that Qt counts it as an event being handled.
const QEvent::Type ClientReadyType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct ClientReady final : QEvent {
  ClientReady(ReadinessWatch::Handler& handler, std::uint32_t events)
      : QEvent(ClientReadyType), handler(handler), events(events) {}
  ReadinessWatch::Handler& handler;
  std::uint32_t events;
};

}  // namespace

// Receives the clients' turns and tells their handlers.
class EpollEventLoop::ClientGate final : public QObject {
 public:
  using QObject::QObject;
  bool event(QEvent* event) override {
    if (event->type() != ClientReadyType) return QObject::event(event);
    auto* ready = static_cast<ClientReady*>(event);
    EpollEventLoop::Tell(ready->handler, ready->events);
    return true;
  }
};

EpollEventLoop::EpollEventLoop(QObject* parent)
    : QAbstractEventDispatcher(parent),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      clientGate_(new ClientGate(this)) {
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
  // A wake-up is taken before the posted events are sent: one posted before
  // it is taken is sent now, and one posted after writes the wake-up again,
  // so the wait below returns at once. A pass woken for posted events sends
  // them and does not wait: what they were posted for may be done now.
  const bool woken = wakePending_.load(std::memory_order_acquire);
  if (woken) TakeWakeUp();
  QCoreApplication::sendPostedEvents();

  const bool withSockets = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
  const bool withTimers = !flags.testFlag(QEventLoop::X11ExcludeTimers);
  const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents) && !woken &&
                       !interrupted_.load(std::memory_order_relaxed) &&
                       !wakePending_.load(std::memory_order_acquire);
  if (mayWait) emit aboutToBlock();
  if (interrupted_.load(std::memory_order_relaxed)) return false;
  // Read after aboutToBlock, whose slots may start a timer.
  timespec timeout{0, 0};
  const timespec* wait = &timeout;
  if (mayWait && !(withTimers && NearestTimeout(timeout))) wait = nullptr;

  constexpr int Batch = 64;
  epoll_event ready[Batch];
  const bool polling = !withSockets || polled_ > 0;
  if (!polling) pollfds_.clear();
  const int count =
      polling ? WaitPolled(ready, Batch, wait, withSockets) : WaitForSet(ready, Batch, wait);
  int handled = woken ? 1 : 0;
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.u64 == WakeEntry) {
      ++handled;  // taken at the start of the next pass
    } else if (withSockets) {
      Serve(ready[i]);
      ++handled;
    }
  }
  if (withSockets && polled_ > 0) ServePolled();
  if (withTimers) handled += FireDueTimers();
  return handled > 0;
}

void EpollEventLoop::TakeWakeUp() {
  // Read first and clear after: a wakeUp between the two finds the flag
  // still set and writes nothing, and the events it was for are sent next,
  // before anything waits.
  eventfd_t ignored;
  ::eventfd_read(wakeFd_, &ignored);
  wakePending_.store(false, std::memory_order_release);
}

int EpollEventLoop::WaitForSet(epoll_event* ready, int most, const timespec* timeout) {
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

int EpollEventLoop::WaitPolled(epoll_event* ready, int most, const timespec* timeout,
                               bool withSockets) {
  // First the set itself (readable when it has something to report) or,
  // with sockets left out, the wake-up alone; then the refused descriptors.
  pollfds_.clear();
  pollfds_.push_back(pollfd{withSockets ? epoll_ : wakeFd_, POLLIN, 0});
  if (withSockets) {
    for (std::size_t fd = 0; fd < entries_.size(); ++fd) {
      const Entry& entry = entries_[fd];
      if (!entry.polled) continue;
      short events = 0;
      for (int type = 0; type < 3; ++type) {
        if (entry.notifiers[type] != nullptr) events |= PollsType[type];
      }
      pollfds_.push_back(pollfd{static_cast<int>(fd), events, 0});
    }
  }
  const int polled = ::ppoll(pollfds_.data(), pollfds_.size(), timeout, nullptr);
  if (polled <= 0) {
    pollfds_.clear();
    return polled;
  }
  if (!(pollfds_[0].revents & POLLIN)) return 0;
  if (!withSockets) {
    ready[0].events = EPOLLIN;
    ready[0].data.u64 = WakeEntry;
    return 1;
  }
  return ::epoll_wait(epoll_, ready, most, 0);
}

void EpollEventLoop::wakeUp() {
  // One write a wake-up, however many events are posted before it.
  if (!wakePending_.exchange(true, std::memory_order_acq_rel)) ::eventfd_write(wakeFd_, 1);
}

void EpollEventLoop::interrupt() {
  interrupted_.store(true, std::memory_order_relaxed);
  wakeUp();
}

EpollEventLoop::Entry* EpollEventLoop::Find(std::uint64_t data) {
  const auto fd = static_cast<std::uint32_t>(data);
  const auto generation = static_cast<std::uint32_t>(data >> 32);
  if (fd >= entries_.size() || entries_[fd].generation != generation) return nullptr;
  return &entries_[fd];
}

EpollEventLoop::Entry& EpollEventLoop::Slot(int fd) {
  if (static_cast<std::size_t>(fd) >= entries_.size()) entries_.resize(std::size_t(fd) + 1);
  Entry& entry = entries_[std::size_t(fd)];
  if (entry.generation == 0) {
    entry.generation = nextGeneration_;
    nextGeneration_ = nextGeneration_ == UINT32_MAX ? 1 : nextGeneration_ + 1;
  }
  return entry;
}

std::uint64_t EpollEventLoop::Data(int fd) const {
  return std::uint64_t{entries_[std::size_t(fd)].generation} << 32 | std::uint32_t(fd);
}

void EpollEventLoop::Erase(int fd) {
  Entry& entry = entries_[std::size_t(fd)];
  if (entry.polled) {
    --polled_;
  } else {
    // The descriptor may already be closed, which took it out of the set.
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  }
  entry = Entry{};
}

void EpollEventLoop::Serve(const epoll_event& event) {
  Entry* entry = Find(event.data.u64);
  if (entry == nullptr) return;  // forgotten, or ended, earlier in this batch
  const int fd = static_cast<int>(std::uint32_t(event.data.u64));
  if (entry->handler != nullptr) {
    ServeClient(*entry->handler, event.events);
  } else {
    TellNotifiers(fd, entry->generation, event.events);
  }
}

void EpollEventLoop::ServeClient(Handler& handler, std::uint32_t events) {
  ClientReady ready(handler, events);
  QCoreApplication::sendEvent(clientGate_, &ready);
}

void EpollEventLoop::TellNotifiers(int fd, std::uint32_t generation, std::uint32_t events) {
  // Each activation may change the descriptor's notifiers, or end them and
  // see the descriptor reused: they are looked up again before each.
  for (int type = 0; type < 3; ++type) {
    if (static_cast<std::size_t>(fd) >= entries_.size()) return;
    const Entry& entry = entries_[std::size_t(fd)];
    if (entry.generation != generation) return;
    QSocketNotifier* notifier = entry.notifiers[type];
    if (notifier == nullptr || (events & WakesType[type]) == 0) continue;
    QEvent activation(QEvent::SockAct);
    QCoreApplication::sendEvent(notifier, &activation);
  }
}

void EpollEventLoop::ServePolled() {
  // What the last wait polled, taken first: an activation may change it.
  QVarLengthArray<std::pair<int, short>, 8> ready;
  for (std::size_t i = 1; i < pollfds_.size(); ++i) {
    if (pollfds_[i].revents != 0) ready.append({pollfds_[i].fd, pollfds_[i].revents});
  }
  pollfds_.clear();
  for (const auto& [fd, revents] : ready) {
    if (static_cast<std::size_t>(fd) >= entries_.size()) continue;
    const std::uint32_t generation = entries_[std::size_t(fd)].generation;
    if (!(revents & POLLNVAL)) {
      TellNotifiers(fd, generation, FromPoll(revents));
      continue;
    }
    // Not open: it would be reported on every pass, and never be anything
    // else. As Qt does, its notifiers are disabled, and it is said.
    for (int type = 0; type < 3; ++type) {
      if (std::size_t(fd) >= entries_.size() || entries_[std::size_t(fd)].generation != generation)
        break;
      QSocketNotifier* notifier = entries_[std::size_t(fd)].notifiers[type];
      if (notifier == nullptr) continue;
      qWarning("velmor: descriptor %d is not open; its %s notifier is disabled", fd,
               TypeNames[type]);
      notifier->setEnabled(false);
    }
  }
}

void EpollEventLoop::registerSocketNotifier(QSocketNotifier* notifier) {
  const int fd = static_cast<int>(notifier->socket());
  const int type = static_cast<int>(notifier->type());
  if (fd < 0 || type < 0 || type > 2) return;
  if (static_cast<std::size_t>(fd) < entries_.size() && entries_[std::size_t(fd)].handler) {
    qWarning("velmor: descriptor %d is a client's; its %s notifier is not watched", fd,
             TypeNames[type]);
    return;
  }
  Entry& entry = Slot(fd);
  entry.notifiers[type] = notifier;
  UpdateNotifiers(fd, entry);
}

void EpollEventLoop::unregisterSocketNotifier(QSocketNotifier* notifier) {
  const int fd = static_cast<int>(notifier->socket());
  const int type = static_cast<int>(notifier->type());
  if (fd < 0 || type < 0 || type > 2 || static_cast<std::size_t>(fd) >= entries_.size()) return;
  Entry& entry = entries_[std::size_t(fd)];
  if (entry.notifiers[type] != notifier) return;
  entry.notifiers[type] = nullptr;
  if (entry.HasNotifiers()) {
    UpdateNotifiers(fd, entry);
  } else {
    Erase(fd);
  }
}

void EpollEventLoop::UpdateNotifiers(int fd, Entry& entry) {
  if (entry.polled) return;  // poll is asked anew each pass
  epoll_event event{};
  for (int type = 0; type < 3; ++type) {
    if (entry.notifiers[type] != nullptr) event.events |= WatchesType[type];
  }
  event.data.u64 = Data(fd);
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) == 0) return;
  // New here, or closed and reused since it was added.
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0) return;
  // A regular file (EPERM), the kernel out of watches (ENOSPC) or memory
  // (ENOMEM), or a descriptor not open (EBADF): poll serves it as it would
  // under Qt's own loop, so its notifiers are never left silent.
  if (errno != EPERM) {
    qWarning("velmor: descriptor %d cannot be watched in the set (%s); it is polled", fd,
             std::strerror(errno));
  }
  entry.polled = true;
  ++polled_;
}

bool EpollEventLoop::Watch(int fd, Handler& handler, bool wantWrite) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  if (static_cast<std::size_t>(fd) < entries_.size() && entries_[std::size_t(fd)].generation != 0) {
    // Another owner watches it (Qt's notifiers, or a client not forgotten):
    // taking it over would leave that owner unserved without a word.
    qWarning("velmor: descriptor %d is watched already; a client cannot take it over", fd);
    errno = EEXIST;
    return false;
  }
  Entry& entry = Slot(fd);
  entry.handler = &handler;
  if (Control(epoll_, EPOLL_CTL_ADD, fd, Data(fd), wantWrite)) return true;
  const int error = errno;
  entry = Entry{};
  errno = error;
  return false;
}

bool EpollEventLoop::Change(int fd, Handler& handler, bool wantWrite) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= entries_.size() ||
      entries_[std::size_t(fd)].handler != &handler) {
    errno = ENOENT;
    return false;
  }
  return Control(epoll_, EPOLL_CTL_MOD, fd, Data(fd), wantWrite);
}

void EpollEventLoop::Forget(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= entries_.size()) return;
  if (entries_[std::size_t(fd)].handler == nullptr) return;
  Erase(fd);
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
