// The server's event loop as Qt's own dispatcher tests hold a dispatcher to
// its contract (posted events, wake-ups, interrupts, timers, socket
// notifiers, the process-events flags), and as the clients' sockets use it.
// Each case runs on a thread of its own with a loop of its own.
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loop/EpollEventLoop.h"
#include "loop/ReadinessWatch.h"
#include "tests/support/RowName.h"
#include "tests/support/Wait.h"

namespace velmor::testing {
namespace {

// Runs body on a thread of its own that runs the server's event loop.
void OnServerLoop(std::function<void()> body) {
  std::unique_ptr<QThread> thread(QThread::create(std::move(body)));
  thread->setEventDispatcher(new EpollEventLoop);
  thread->start();
  ASSERT_TRUE(thread->wait(QDeadlineTimer(30000)));
}

EpollEventLoop& Loop() {
  return *static_cast<EpollEventLoop*>(QAbstractEventDispatcher::instance());
}

double ThreadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct SocketPair {
  SocketPair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd), 0);
  }
  ~SocketPair() {
    for (int end : fd)
      if (end >= 0) ::close(end);
  }
  void Send(const std::string& bytes = "x") const {
    EXPECT_EQ(::write(fd[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  int fd[2] = {-1, -1};
};

// A client's handler that counts its calls, and may do more on each.
struct Counting : QObject, ReadinessWatch::Handler {
  explicit Counting(std::function<void()> then = {}) : then(std::move(then)) {}
  void OnReadable(bool) override {
    ++reads;
    if (then) then();
  }
  void OnWritable() override {}
  int reads = 0;
  std::function<void()> then;
};

// Receives posted events of the user type.
struct Receiver : QObject {
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    ++received;
    if (then) then();
    return true;
  }
  std::atomic<int> received{0};
  std::function<void()> then;
};

// A thread that wakes the loop after a while unless told it need not: the
// case it guards failed when it had to.
struct Watchdog {
  explicit Watchdog(QAbstractEventDispatcher& loop, int ms = 2000)
      : thread([this, &loop, ms] {
          std::unique_lock<std::mutex> hold(guard);
          if (!done.wait_for(hold, std::chrono::milliseconds(ms), [this] { return finished; })) {
            hadToWake = true;
            loop.wakeUp();
          }
        }) {}
  ~Watchdog() { Finish(); }
  void Finish() {
    {
      std::lock_guard<std::mutex> hold(guard);
      finished = true;
    }
    done.notify_all();
    if (thread.joinable()) thread.join();
  }
  std::mutex guard;
  std::condition_variable done;
  bool finished = false;
  std::atomic<bool> hadToWake{false};
  std::thread thread;
};

// A socket whose input never runs dry: each call takes one byte and asks to
// be told again, as a client does that streams more than one bite.
struct Streaming : ReadinessWatch::Handler {
  Streaming(ReadinessWatch& watch, int fd, std::function<void()> then)
      : watch(watch), fd(fd), then(std::move(then)) {}
  void OnReadable(bool) override {
    char byte;
    if (::read(fd, &byte, 1) == 1) watch.Change(fd, *this, false);
    then();
  }
  void OnWritable() override {}
  ReadinessWatch& watch;
  int fd;
  std::function<void()> then;
};

// The loop serves one batch of ready sockets a wake-up, then the timers due:
// during a flood a due timer waits for the rest of the batch in hand and no
// more, and work a handler posts runs before any socket is served again.
TEST(EpollEventLoopTest, DuringAFloodATimerOrPostedWorkWaitsForOneBatchAtMost) {
  constexpr int Flooders = 20;
  int mostCallsWhileDue = -1, mostCallsBeforePosted = -1, fired = 0, postedRuns = 0;
  OnServerLoop([&] {
    QObject here;  // lives on this thread: queued work for it runs here
    ReadinessWatch& watch = ReadinessWatch::OnThisThread(here);
    ASSERT_NE(dynamic_cast<EpollEventLoop*>(&watch), nullptr);
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    int callsWhileDue = 0, callsSincePost = -1;
    const auto spin = [] {  // a request's work
      QElapsedTimer work;
      work.start();
      while (work.nsecsElapsed() < 50'000) {
      }
    };
    std::vector<std::array<int, 2>> pairs(Flooders);
    std::vector<std::unique_ptr<Streaming>> flooders;
    for (int i = 0; i < Flooders; ++i) {
      ASSERT_EQ(
          ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pairs[i].data()), 0);
      const std::string input(4096, 'x');
      ASSERT_EQ(::write(pairs[i][1], input.data(), input.size()), ssize_t(input.size()));
      flooders.push_back(std::make_unique<Streaming>(watch, pairs[i][0], [&, i] {
        spin();
        if (timer.isActive() && timer.remainingTime() == 0) ++callsWhileDue;
        if (callsSincePost >= 0) ++callsSincePost;
        if (i == 0 && callsSincePost < 0) {
          callsSincePost = 0;
          QMetaObject::invokeMethod(
              &here,
              [&] {
                mostCallsBeforePosted = std::max(mostCallsBeforePosted, callsSincePost);
                callsSincePost = -1;
                ++postedRuns;
              },
              Qt::QueuedConnection);
        }
      }));
      ASSERT_TRUE(watch.Watch(pairs[i][0], *flooders.back(), false));
    }
    QObject::connect(&timer, &QTimer::timeout, [&] {
      mostCallsWhileDue = std::max(mostCallsWhileDue, callsWhileDue);
      callsWhileDue = 0;
      ++fired;
    });
    timer.start(3);
    EXPECT_TRUE(WaitUntil([&] { return fired >= 30 && postedRuns >= 30; }, 20000));
    for (auto& pair : pairs) {
      ::close(pair[0]);
      ::close(pair[1]);
    }
  });
  EXPECT_GE(fired, 30);
  EXPECT_GE(postedRuns, 30);
  // A batch holds each flooder once, ready again at once.
  EXPECT_GE(mostCallsWhileDue, 0);
  EXPECT_LE(mostCallsWhileDue, Flooders);
  EXPECT_LE(mostCallsBeforePosted, Flooders - 1);
}

// Work a handler queued on the event loop (the news of a chat line for the
// browsers), and input on a descriptor Qt serves (a connection on a
// listening port), have their turn before the next socket that became
// ready is served, with nothing handed back by the handler.
TEST(EpollEventLoopTest, QueuedWorkAndQtsDescriptorsComeBeforeTheNextSocket) {
  struct Drain : ReadinessWatch::Handler {
    Drain(int fd, std::function<void()> then) : fd(fd), then(std::move(then)) {}
    void OnReadable(bool) override {
      char buffer[64];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
      then();
    }
    void OnWritable() override {}
    int fd;
    std::function<void()> then;
  };
  for (const bool queued : {true, false}) {
    SCOPED_TRACE(queued ? "work queued by the handler" : "input on a descriptor Qt serves");
    std::optional<bool> otherRanBeforeSecond;
    OnServerLoop([&] {
      QObject here;
      ReadinessWatch& watch = ReadinessWatch::OnThisThread(here);
      int first[2], second[2], qts[2];
      for (int* pair : {first, second, qts}) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
      }
      bool otherRan = false;
      QSocketNotifier notifier(qts[0], QSocketNotifier::Read);
      QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char byte;
        while (::read(qts[0], &byte, 1) > 0) {
        }
        otherRan = true;
      });
      Drain secondHandler(second[0], [&] { otherRanBeforeSecond = otherRan; });
      Drain firstHandler(first[0], [&] {
        if (queued) {
          QMetaObject::invokeMethod(
              &here, [&] { otherRan = true; }, Qt::QueuedConnection);
        } else {
          ASSERT_EQ(::write(qts[1], "x", 1), 1);
        }
        // The next socket is ready before this handler returns.
        ASSERT_EQ(::write(second[1], "x", 1), 1);
      });
      ASSERT_TRUE(watch.Watch(first[0], firstHandler, false));
      ASSERT_TRUE(watch.Watch(second[0], secondHandler, false));
      ASSERT_EQ(::write(first[1], "x", 1), 1);
      EXPECT_TRUE(WaitUntil([&] { return otherRanBeforeSecond.has_value(); }));
      for (int* pair : {first, second, qts}) {
        ::close(pair[0]);
        ::close(pair[1]);
      }
    });
    ASSERT_TRUE(otherRanBeforeSecond.has_value());
    EXPECT_TRUE(*otherRanBeforeSecond);
  }
}

struct ContractCase {
  const char* name;
  std::function<void()> body;  // runs on the loop's own thread
};

const ContractCase ContractCases[] = {
    // Qt: sendPostedEvents, for both flags.
    {"a posted event is sent by the next pass, which does not wait",
     [] {
       for (const auto flags : {QEventLoop::WaitForMoreEvents, QEventLoop::AllEvents}) {
         Receiver receiver;
         for (int i = 0; i < 50; ++i) {
           QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
           EXPECT_EQ(receiver.received, i) << "not sent by the posting";
           EXPECT_TRUE(Loop().processEvents(flags));
           EXPECT_EQ(receiver.received, i + 1);
         }
       }
     }},
    // Qt: processEventsOnlySendsQueuedEvents.
    {"events posted during a pass, or by a timer, are sent by the next pass",
     [] {
       Receiver receiver;
       receiver.then = [&] {
         if (receiver.received == 1)
           QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       };
       QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(receiver.received, 1);
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(receiver.received, 2);
       QTimer::singleShot(
           0, &receiver, [&] { QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User)); });
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(receiver.received, 2);
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(receiver.received, 3);
     }},
    // Qt: postEventFromThread.
    {"an event posted from another thread wakes a waiting pass",
     [] {
       Receiver receiver;
       Watchdog watchdog(Loop());
       for (int i = 0; i < 300 && !watchdog.hadToWake; ++i) {
         std::thread poster(
             [&] { QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User)); });
         while (receiver.received <= i && !watchdog.hadToWake)
           Loop().processEvents(QEventLoop::WaitForMoreEvents);
         poster.join();
       }
       watchdog.Finish();
       EXPECT_FALSE(watchdog.hadToWake);
     }},
    // Qt: postEventFromEventHandler (which Qt's own poll loop fails).
    {"an event posted by an event's handler is sent without waiting",
     [] {
       Receiver receiver;
       receiver.then = [&] {
         if (receiver.received < 2)
           QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       };
       Watchdog watchdog(Loop(), 250);
       QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       while (receiver.received < 2) Loop().processEvents(QEventLoop::WaitForMoreEvents);
       watchdog.Finish();
       EXPECT_FALSE(watchdog.hadToWake);
     }},
    // A wake-up that comes while the pass reads the one before must not be
    // lost, nor leave the loop unable to wait again.
    {"many threads posting and waking leave an idle loop idle",
     [] {
       Receiver receiver;
       EpollEventLoop& loop = Loop();
       constexpr int Posters = 4, Each = 20000;
       std::vector<std::thread> posters;
       for (int p = 0; p < Posters; ++p) {
         posters.emplace_back([&] {
           for (int i = 0; i < Each; ++i) {
             QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
             for (int k = 0; k < 32; ++k) loop.wakeUp();
           }
         });
       }
       Watchdog watchdog(loop, 20000);
       while (receiver.received < Posters * Each && !watchdog.hadToWake)
         loop.processEvents(QEventLoop::WaitForMoreEvents);
       for (auto& poster : posters) poster.join();
       watchdog.Finish();
       ASSERT_EQ(receiver.received, Posters * Each);
       QEventLoop idle;
       QTimer::singleShot(1000, &idle, &QEventLoop::quit);
       const double before = ThreadCpuSeconds();
       idle.exec();
       EXPECT_LT(ThreadCpuSeconds() - before, 0.05) << "CPU seconds over an idle second";
     }},
    // Qt: eventLoopExit and interruptTrampling; and the pass an interrupt
    // ends serves nothing more.
    {"an interrupt ends the pass at once",
     [] {
       SocketPair pair;
       pair.Send();
       QSocketNotifier ready(pair.fd[0], QSocketNotifier::Read);
       int activations = 0, fired = 0;
       QObject::connect(&ready, &QSocketNotifier::activated, [&] { ++activations; });
       QTimer due;
       QObject::connect(&due, &QTimer::timeout, [&] { ++fired; });
       due.start(0);
       Receiver receiver;
       receiver.then = [&] { Loop().interrupt(); };
       QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       EXPECT_FALSE(Loop().processEvents(QEventLoop::WaitForMoreEvents));
       EXPECT_EQ(activations, 0);
       EXPECT_EQ(fired, 0);

       Watchdog watchdog(Loop(), 1000);
       Loop().interrupt();
       Loop().processEvents(QEventLoop::WaitForMoreEvents);
       watchdog.Finish();
       EXPECT_FALSE(watchdog.hadToWake) << "an interrupt before the pass ends it too";

       QEventLoop loop;
       bool timedOut = false;
       QTimer::singleShot(0, &loop, [&] {
         QTimer::singleShot(0, &loop, [&] { QCoreApplication::processEvents(); });
         QTimer::singleShot(0, &loop, [&] { loop.exit(); });
       });
       QTimer::singleShot(500, &loop, [&] {
         timedOut = true;
         loop.exit();
       });
       loop.exec();
       EXPECT_FALSE(timedOut) << "an exit from a nested pass ends the loop";
     }},
    // Qt: postedEventsPingPong.
    {"a quit posted from two nested passes deep ends the outer loop",
     [] {
       QEventLoop main;
       QObject here;
       QMetaObject::invokeMethod(
           &here,
           [&] {
             QMetaObject::invokeMethod(
                 &here,
                 [&] { QMetaObject::invokeMethod(&main, &QEventLoop::quit, Qt::QueuedConnection); },
                 Qt::QueuedConnection);
             main.processEvents();
           },
           Qt::QueuedConnection);
       QTimer::singleShot(500, &main, [&] { main.exit(1); });
       EXPECT_EQ(main.exec(), 0);
     }},
    // Qt: registerTimer, and a timer's remaining time.
    {"timers of every kind are listed, fire in order and go when unregistered",
     [] {
       struct Fired : QObject {
         bool event(QEvent* e) override {
           if (e->type() == QEvent::Timer) ids.push_back(static_cast<QTimerEvent*>(e)->timerId());
           return QObject::event(e);
         }
         std::vector<int> ids;
       } target;
       EpollEventLoop& loop = Loop();
       const int precise = loop.registerTimer(10, Qt::PreciseTimer, &target);
       const int coarse = loop.registerTimer(60, Qt::CoarseTimer, &target);
       const int veryCoarse = loop.registerTimer(1000, Qt::VeryCoarseTimer, &target);
       const auto listed = loop.registeredTimers(&target);
       ASSERT_EQ(listed.size(), 3);
       EXPECT_EQ(listed[0].interval, 10);
       EXPECT_EQ(listed[1].timerType, Qt::CoarseTimer);
       EXPECT_LE(loop.remainingTime(coarse), 60);
       EXPECT_GT(loop.remainingTime(coarse), 10);
       EXPECT_TRUE(WaitUntil([&] { return !target.ids.empty(); }, 1000));
       EXPECT_EQ(target.ids.front(), precise);
       EXPECT_TRUE(loop.unregisterTimer(precise));
       target.ids.clear();
       EXPECT_TRUE(WaitUntil([&] { return !target.ids.empty(); }, 1000));
       EXPECT_EQ(target.ids.front(), coarse);
       EXPECT_EQ(loop.registeredTimers(&target).size(), 2);
       EXPECT_TRUE(loop.unregisterTimers(&target));
       EXPECT_TRUE(loop.registeredTimers(&target).isEmpty());
       EXPECT_EQ(loop.remainingTime(veryCoarse), -1);
     }},
    // Qt's timer tests: a timer stopped, restarted or deleted from its slot.
    {"a timer's slot may stop, restart or delete it",
     [] {
       int stops = 0, restarts = 0;
       QTimer stopping;
       QObject::connect(&stopping, &QTimer::timeout, [&] {
         ++stops;
         stopping.stop();
       });
       stopping.start(0);
       QTimer restarting;
       restarting.setSingleShot(true);
       QObject::connect(&restarting, &QTimer::timeout, [&] {
         if (++restarts < 3) restarting.start(1);
       });
       restarting.start(1);
       QPointer<QTimer> deleting = new QTimer;
       QObject::connect(deleting.data(), &QTimer::timeout, [&] { deleting->deleteLater(); });
       deleting->start(0);
       EXPECT_TRUE(WaitUntil([&] { return restarts >= 3 && deleting.isNull(); }, 2000));
       WaitUntil([] { return false; }, 30);
       EXPECT_EQ(stops, 1);
       EXPECT_EQ(restarts, 3);
     }},
    {"a timer started on aboutToBlock is waited for in the same wait",
     [] {
       QTimer started;
       started.setSingleShot(true);
       bool fired = false;
       QObject::connect(&started, &QTimer::timeout, [&] { fired = true; });
       const auto once = QObject::connect(&Loop(), &QAbstractEventDispatcher::aboutToBlock,
                                          [&] { started.start(1); });
       Watchdog watchdog(Loop());
       Loop().processEvents(QEventLoop::WaitForMoreEvents);
       QObject::disconnect(once);
       while (!fired && !watchdog.hadToWake) Loop().processEvents(QEventLoop::WaitForMoreEvents);
       watchdog.Finish();
       EXPECT_TRUE(fired);
       EXPECT_FALSE(watchdog.hadToWake);
     }},
    {"with timers left out a pass waits for something else",
     [] {
       QTimer timer;
       int fired = 0;
       QObject::connect(&timer, &QTimer::timeout, [&] { ++fired; });
       timer.start(1);
       std::atomic<bool> posted{false};
       Receiver receiver;
       std::thread poster([&] {
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         posted = true;
         QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
       });
       Loop().processEvents(QEventLoop::X11ExcludeTimers | QEventLoop::WaitForMoreEvents);
       EXPECT_TRUE(posted) << "the pass returned before anything came";
       poster.join();
       EXPECT_EQ(fired, 0);
       Loop().processEvents(QEventLoop::AllEvents);
     }},
    {"with sockets left out a pass waits on the wake-up and the timers alone",
     [] {
       SocketPair qts, client;
       qts.Send();
       client.Send();
       QSocketNotifier notifier(qts.fd[0], QSocketNotifier::Read);
       int activations = 0;
       QObject::connect(&notifier, &QSocketNotifier::activated, [&] { ++activations; });
       Counting handler;
       ASSERT_TRUE(Loop().Watch(client.fd[0], handler, false));
       QTimer tick;
       int ticks = 0;
       QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
       tick.start(5);
       for (int i = 0; i < 3; ++i) {
         Loop().processEvents(QEventLoop::ExcludeSocketNotifiers | QEventLoop::WaitForMoreEvents);
       }
       EXPECT_EQ(ticks, 3) << "each pass waited for the timer";
       EXPECT_EQ(activations, 0);
       EXPECT_EQ(handler.reads, 0);
       tick.stop();
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(activations, 1) << "served once, as it was ready once";
       EXPECT_EQ(handler.reads, 1);
       Loop().Forget(client.fd[0]);
     }},
    // Qt: posixSockets.
    {"read, write and exception notifiers fire for what the socket is ready for",
     [] {
       SocketPair pair;
       QSocketNotifier read(pair.fd[0], QSocketNotifier::Read);
       QSocketNotifier exception(pair.fd[0], QSocketNotifier::Exception);
       int reads = 0, writes = 0, exceptions = 0;
       QObject::connect(&read, &QSocketNotifier::activated, [&] {
         ++reads;
         char buffer[16];
         while (::read(pair.fd[0], buffer, sizeof buffer) > 0) {
         }
       });
       QObject::connect(&exception, &QSocketNotifier::activated, [&] { ++exceptions; });
       pair.Send("hello");
       EXPECT_TRUE(WaitUntil([&] { return reads == 1; }));
       QSocketNotifier write(pair.fd[0], QSocketNotifier::Write);
       QObject::connect(&write, &QSocketNotifier::activated, [&] {
         ++writes;
         write.setEnabled(false);
       });
       EXPECT_TRUE(WaitUntil([&] { return writes == 1; }));
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(reads, 1);
       EXPECT_EQ(exceptions, 0);
     }},
    // Qt: unexpectedDisconnection.
    {"a notifier ready in the batch is activated though another slot drained it",
     [] {
       SocketPair one, two;
       one.Send();
       two.Send();
       int sequence = 0;
       const auto activated = [&] {
         char byte;
         if (++sequence == 1) {
           EXPECT_EQ(::read(one.fd[0], &byte, 1), 1);
           EXPECT_EQ(::read(two.fd[0], &byte, 1), 1);
         } else {
           EXPECT_EQ(::read(two.fd[0], &byte, 1), -1) << "already drained";
         }
       };
       QSocketNotifier first(one.fd[0], QSocketNotifier::Read);
       QSocketNotifier second(two.fd[0], QSocketNotifier::Read);
       QObject::connect(&first, &QSocketNotifier::activated, activated);
       QObject::connect(&second, &QSocketNotifier::activated, activated);
       EXPECT_TRUE(WaitUntil([&] { return sequence > 0; }));
       EXPECT_EQ(sequence, 2);
     }},
    // Qt: mixingWithTimers.
    {"a zero timer and a listening socket are served in the same pass",
     [] {
       QTimer timer;
       bool timerFired = false, connected = false;
       QObject::connect(&timer, &QTimer::timeout, [&] { timerFired = true; });
       timer.start(0);
       QTcpServer server;
       ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
       QObject::connect(&server, &QTcpServer::newConnection, [&] { connected = true; });
       QCoreApplication::processEvents();
       EXPECT_TRUE(timerFired);
       EXPECT_FALSE(connected);
       timerFired = false;
       QTcpSocket socket;
       socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
       QCoreApplication::processEvents();
       EXPECT_TRUE(timerFired);
       EXPECT_TRUE(WaitUntil([&] { return connected; }));
     }},
    {"a notifier on a descriptor that is not open is disabled and named",
     [] {
       const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
       ASSERT_GE(fd, 0);
       ::close(fd);
       static std::vector<std::string> warnings;
       warnings.clear();
       const auto previous =
           qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
             warnings.push_back(text.toStdString());
           });
       QSocketNotifier notifier(fd, QSocketNotifier::Read);
       bool activated = false;
       QObject::connect(&notifier, &QSocketNotifier::activated, [&] { activated = true; });
       WaitUntil([&] { return !notifier.isEnabled(); }, 1000);
       qInstallMessageHandler(previous);
       EXPECT_FALSE(notifier.isEnabled());
       EXPECT_FALSE(activated);
       bool named = false;
       for (const auto& text : warnings)
         named |= text.find("descriptor " + std::to_string(fd)) != std::string::npos;
       EXPECT_TRUE(named);
     }},
    {"a notifier on a regular file is always ready, as poll has it",
     [] {
       char path[] = "/tmp/velmor-loop-XXXXXX";
       const int fd = ::mkstemp(path);
       ASSERT_GE(fd, 0);
       ::unlink(path);
       int activations = 0;
       QSocketNotifier notifier(fd, QSocketNotifier::Read);
       QObject::connect(&notifier, &QSocketNotifier::activated, [&] { ++activations; });
       EXPECT_TRUE(WaitUntil([&] { return activations >= 3; }, 1000));
       notifier.setEnabled(false);
       ::close(fd);
     }},
    {"a descriptor is watched for one owner: neither kind takes the other's over",
     [] {
       SocketPair client, qts;
       Counting handler;
       ASSERT_TRUE(Loop().Watch(client.fd[0], handler, false));
       QtMessageHandler previous =
           qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
       int activations = 0;
       {
         QSocketNotifier intruder(client.fd[0], QSocketNotifier::Read);
         QObject::connect(&intruder, &QSocketNotifier::activated, [&] { ++activations; });
         client.Send();
         EXPECT_TRUE(WaitUntil([&] { return handler.reads == 1; }, 1000));
       }
       QSocketNotifier notifier(qts.fd[0], QSocketNotifier::Read);
       Counting other;
       errno = 0;
       EXPECT_FALSE(Loop().Watch(qts.fd[0], other, false));
       EXPECT_EQ(errno, EEXIST);
       EXPECT_FALSE(Loop().Change(qts.fd[0], other, false));
       qInstallMessageHandler(previous);
       QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
         ++activations;
         char byte;
         ::read(qts.fd[0], &byte, 1);
       });
       qts.Send();
       EXPECT_TRUE(WaitUntil([&] { return activations == 1; }, 1000));
       EXPECT_EQ(other.reads, 0);
       client.Send();
       EXPECT_TRUE(WaitUntil([&] { return handler.reads == 2; }, 1000));
       Loop().Forget(client.fd[0]);
     }},
    {"a descriptor forgotten and reused within a batch is not served for its old owner",
     [] {
       auto first = std::make_unique<SocketPair>(), second = std::make_unique<SocketPair>();
       std::unique_ptr<SocketPair> reused;
       Counting successor;
       Counting* secondHandler = nullptr;
       int reportsForSecond = 0;
       Counting firstHandler([&] {
         if (reused) return;
         // Whichever of the two is served first ends the other and hands
         // its descriptor's number to a new socket with a new owner.
         Loop().Forget(second->fd[0]);
         ::close(second->fd[0]);
         const int number = second->fd[0];
         second->fd[0] = -1;
         reused = std::make_unique<SocketPair>();
         if (reused->fd[0] != number) {
           ::dup2(reused->fd[0], number);
           ::close(reused->fd[0]);
           reused->fd[0] = number;
         }
         ASSERT_TRUE(Loop().Watch(number, successor, false));
       });
       Counting secondOwner([&] { ++reportsForSecond; });
       secondHandler = &secondOwner;
       ASSERT_TRUE(Loop().Watch(first->fd[0], firstHandler, false));
       ASSERT_TRUE(Loop().Watch(second->fd[0], *secondHandler, false));
       // Both are ready before the loop looks: one batch holds both, in the
       // order they became ready.
       first->Send();
       second->Send();
       Loop().processEvents(QEventLoop::AllEvents);
       EXPECT_EQ(firstHandler.reads, 1);
       EXPECT_EQ(reportsForSecond, 0);
       EXPECT_EQ(successor.reads, 0) << "served for the old owner's report";
       reused->Send();
       EXPECT_TRUE(WaitUntil([&] { return successor.reads == 1; }, 1000));
       Loop().Forget(first->fd[0]);
       Loop().Forget(reused->fd[0]);
     }},
    // A member deleted from a nested pass while the outer batch still holds
    // its report: Qt's guard keeps it until the handler in hand returns.
    {"a deleteLater from a client's handler waits for it through a nested pass",
     [] {
       SocketPair one, two;
       std::optional<bool> aliveAfterNestedPass;
       QPointer<Counting> other = new Counting;
       Counting first([&] {
         if (aliveAfterNestedPass) return;
         if (other) other->deleteLater();
         QCoreApplication::processEvents();
         aliveAfterNestedPass = !other.isNull();
       });
       // Served from the top of a running loop, with no other event's
       // handler around it.
       QEventLoop loop;
       first.then = [&, then = first.then] {
         then();
         loop.quit();
       };
       ASSERT_TRUE(Loop().Watch(one.fd[0], first, false));
       one.Send();
       QTimer::singleShot(2000, &loop, &QEventLoop::quit);
       loop.exec();
       ASSERT_TRUE(aliveAfterNestedPass.has_value());
       EXPECT_TRUE(*aliveAfterNestedPass);
       WaitUntil([&] { return other.isNull(); }, 1000);
       EXPECT_TRUE(other.isNull()) << "deleted once the handler returned";
       Loop().Forget(one.fd[0]);
     }},
};

class EpollEventLoopContract : public ::testing::TestWithParam<ContractCase> {};

TEST_P(EpollEventLoopContract, Holds) { OnServerLoop(GetParam().body); }

INSTANTIATE_TEST_SUITE_P(QtsDispatcherCases, EpollEventLoopContract,
                         ::testing::ValuesIn(ContractCases),
                         [](const ::testing::TestParamInfo<ContractCase>& info) {
                           return RowName(info.param.name);
                         });

}  // namespace
}  // namespace velmor::testing
