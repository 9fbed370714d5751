// The server thread's event loop: Qt's timers, posted events and socket
// notifiers and the clients' sockets, served from one epoll set with one
// wait per wake-up, which ends at the nearest timer. Each wake-up sends the
// posted events, serves one batch of ready descriptors in the order they
// became ready and then the timers that are due, so nothing on the thread
// waits behind anything for longer than one batch: a timer due during a
// flood of requests fires once the batch in hand is served, and work a
// handler posts runs before the next batch is taken. A client's handler
// reads at most DescriptorClient::ReadBound bytes a call, so a batch is
// bounded in time too: with nine clients that pipeline requests without
// pause beside ten browsers, a due timer fires 788 us late at p99 on this
// machine's kind (the watch row under pipelining, docs/performance.md).
//
// It keeps Qt's dispatcher contract as QEventDispatcherUNIX does: the
// wake-up is read before its flag is cleared (and before the posted events
// are sent, so that a pass that sent some returns without waiting, as Qt's
// GLib dispatcher does), an interrupt ends the pass at once, the nearest timer is read after
// aboutToBlock, ExcludeSocketNotifiers waits on the wake-up and the timers alone, X11ExcludeTimers
// leaves the timers out of the wait, and clients' handlers run inside QCoreApplication::sendEvent,
// as Qt's own activations do, so that a deleteLater() from a nested loop waits for the outer
// handler to return.
//
// One registry holds every descriptor the set watches: Qt's notifiers on it
// or one client's handler, never both, with a generation that is in every
// report of the set, so a descriptor closed and reused is never served for
// its old owner. Qt's descriptors are watched as Qt expects, for as long as
// they are ready (level-triggered); the clients', edge-triggered, as
// ReadinessWatch says. A descriptor the set refuses (a regular file, or the
// kernel out of watches) is polled beside the set instead, as
// QEventDispatcherUNIX polls all of them: a file is always ready, a socket
// is served when it is, and one that is not open has its notifier disabled,
// with a warning that names it.
//
// Installed before the thread starts (QThread::setEventDispatcher, or
// QCoreApplication::setEventDispatcher for the main thread); the window's
// thread keeps Qt's own, which also serves the windowing system.
#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

#include "loop/ReadinessWatch.h"

struct epoll_event;
struct pollfd;

namespace velmor {

class EpollEventLoop final : public QAbstractEventDispatcher, public ReadinessWatch {
  Q_OBJECT

 public:
  explicit EpollEventLoop(QObject* parent = nullptr);
  ~EpollEventLoop() override;

  bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
  void wakeUp() override;
  void interrupt() override;

  void registerSocketNotifier(QSocketNotifier* notifier) override;
  void unregisterSocketNotifier(QSocketNotifier* notifier) override;

  // Newer Qt adds overloads of these that end up in the ones below.
  using QAbstractEventDispatcher::registerTimer;
  using QAbstractEventDispatcher::remainingTime;
  using QAbstractEventDispatcher::unregisterTimer;
  void registerTimer(int timerId, qint64 intervalMs, Qt::TimerType type, QObject* object) override;
  bool unregisterTimer(int timerId) override;
  bool unregisterTimers(QObject* object) override;
  QList<TimerInfo> registeredTimers(QObject* object) const override;
  int remainingTime(int timerId) override;

  bool Watch(int fd, Handler& handler, bool wantWrite) override;
  bool Change(int fd, Handler& handler, bool wantWrite) override;
  void Forget(int fd) override;

 private:
  using Clock = std::chrono::steady_clock;

  struct Timer {
    int id;
    qint64 intervalMs;
    Qt::TimerType type;
    QObject* object;
    Clock::time_point due;
    bool firing = false;  // its event is being sent: a nested loop skips it
  };
  // What the set watches on one descriptor: a client's handler or Qt's
  // notifiers (by QSocketNotifier::Type).
  struct Entry {
    std::uint32_t generation = 0;  // 0: the descriptor is not watched
    Handler* handler = nullptr;
    QSocketNotifier* notifiers[3] = {};
    bool polled = false;  // refused by the set: polled beside it
    bool HasNotifiers() const { return notifiers[0] || notifiers[1] || notifiers[2]; }
  };

  // The entry a report of the set names, if it still holds that owner.
  Entry* Find(std::uint64_t data);
  Entry& Slot(int fd);
  std::uint64_t Data(int fd) const;
  void Erase(int fd);
  // The timeout until the nearest timer; none when there is no timer.
  bool NearestTimeout(timespec& timeout) const;
  // One wait for the set; timeout nullptr waits until something comes.
  int WaitForSet(epoll_event* ready, int most, const timespec* timeout);
  // The wait when some descriptors are polled, or when sockets are left
  // out: the set (when it is in) and those descriptors, by poll.
  int WaitPolled(epoll_event* ready, int most, const timespec* timeout, bool withSockets);
  void Serve(const epoll_event& event);
  void ServeClient(Handler& handler, std::uint32_t events);
  void TellNotifiers(int fd, std::uint32_t generation, std::uint32_t events);
  void ServePolled();
  int FireDueTimers();
  void UpdateNotifiers(int fd, Entry& entry);
  Timer* FindTimer(int id);
  void TakeWakeUp();

  int epoll_ = -1;
  int wakeFd_ = -1;  // an eventfd: written by wakeUp, from any thread
  std::atomic<bool> wakePending_{false};
  std::atomic<bool> interrupted_{false};
  std::vector<Timer> timers_;
  std::vector<Entry> entries_;  // by descriptor
  std::uint32_t nextGeneration_ = 1;
  bool millisecondsOnly_ = false;  // the kernel cannot wait to the nanosecond
  int polled_ = 0;                 // entries the set refused
  std::vector<pollfd> pollfds_;    // the last wait's poll, when there was one
  class ClientGate;
  ClientGate* clientGate_;  // receives the clients' activations
};

}  // namespace velmor
