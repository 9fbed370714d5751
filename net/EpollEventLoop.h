// The server thread's event loop: Qt's timers, posted events and socket
// notifiers and the clients' sockets, served from one epoll set with one
// wait per wake-up, which ends at the nearest timer. Each wake-up sends the
// posted events, serves one batch of ready descriptors in the order they
// became ready and then the timers that are due, so nothing on the thread
// waits behind anything for longer than one batch: a timer due during a
// flood of requests fires once the batch in hand is served, and work a
// handler posts runs before the next batch is taken.
//
// Qt's descriptors are watched as Qt expects, for as long as they are ready
// (level-triggered); the clients', edge-triggered, as ReadinessWatch says.
// A descriptor epoll refuses (a regular file under a notifier, such as
// standard error written to a file) is always ready, as poll() has it.
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
#include <unordered_map>
#include <vector>

#include "net/ReadinessWatch.h"

struct epoll_event;

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
  // Qt's notifiers on one descriptor, by QSocketNotifier::Type.
  struct Notifiers {
    QSocketNotifier* byType[3] = {};
    std::uint32_t generation = 0;  // tells a reused descriptor from the one reported
    bool alwaysReady = false;      // refused by epoll: served on every wake-up
    bool Empty() const { return !byType[0] && !byType[1] && !byType[2]; }
  };

  // The timeout until the nearest timer; none when there is no timer.
  bool NearestTimeout(timespec& timeout) const;
  // One wait for the set; timeout nullptr waits until something comes.
  int Wait(epoll_event* ready, int most, const timespec* timeout);
  void Serve(const epoll_event& event);
  void TellNotifiers(int fd, std::uint32_t generation, std::uint32_t events);
  void ServeAlwaysReady();
  int FireDueTimers();
  void UpdateNotifiers(int fd, Notifiers& notifiers);
  Timer* FindTimer(int id);

  int epoll_ = -1;
  int wakeFd_ = -1;  // an eventfd: written by wakeUp, from any thread
  std::atomic<bool> wakePending_{false};
  std::atomic<bool> interrupted_{false};
  std::vector<Timer> timers_;
  std::unordered_map<int, Notifiers> notifiers_;
  std::uint32_t nextGeneration_ = 1;
  bool millisecondsOnly_ = false;  // the kernel cannot wait to the nanosecond
  int alwaysReady_ = 0;            // descriptors among notifiers_ that epoll refused
  // Readiness taken from the set while socket notifiers were excluded,
  // served at the next wake-up that does not exclude them.
  std::vector<epoll_event> deferred_;
};

}  // namespace velmor
