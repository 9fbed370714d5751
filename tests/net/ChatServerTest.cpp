// The server over real loopback sockets, on a port of the system's choosing.
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "net/ChatServer.h"
#include "net/DescriptorClient.h"
#include "net/EpollEventLoop.h"
#include "net/ReadinessWatch.h"
#include "net/SocketAdopter.h"
#include "tests/support/FakePorts.h"
#include "tests/support/Wait.h"
#include "wire/Cp932.h"

namespace velmor::testing {
namespace {

class ChatServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
  }
  void StartServer() {
    server = std::make_unique<ChatServer>(status);
    ASSERT_EQ(server->Start(0), ChatServer::StartResult::Listening);
    ASSERT_NE(server->ListeningPort(), 0);
  }
  std::unique_ptr<QTcpSocket> Connect() {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, server->ListeningPort());
    EXPECT_TRUE(socket->waitForConnected(3000));
    return socket;
  }
  // Sends one request and waits for the whole reply of the expected size.
  QByteArray Request(QTcpSocket& socket, const std::u16string& text, qsizetype expected) {
    socket.write(QByteArray::fromStdString(Cp932::Instance().Encode(text)));
    QByteArray reply;
    WaitUntil([&] {
      reply += socket.readAll();
      return reply.size() >= expected;
    });
    return reply;
  }
  int Accepted() const {
    int n = 0;
    for (const auto& text : status.texts) n += text == u"Pibbetより接続を受け付けました";
    return n;
  }

  QTemporaryDir runtimeDir;
  FakeStatus status;
  std::unique_ptr<ChatServer> server;
};

TEST_F(ChatServerTest, JoinOverTheWireIsAnsweredInCodePage932) {
  StartServer();
  EXPECT_EQ(status.texts.front(), u"待機中・・・");
  auto client = Connect();
  const std::string expected =
      Cp932::Instance().Encode(u"花子\r\n/*/【お知らせ！】花子さんが参加しました\r\n");
  const QByteArray reply =
      Request(*client, u"CanEnter?花子/*/~鍵①", static_cast<qsizetype>(expected.size()));
  EXPECT_EQ(reply.toStdString(), expected);
  EXPECT_EQ(server->ChatRoom().MemberKey(1), u"鍵①");
  EXPECT_EQ(Accepted(), 1);
}

// Without a window the views are not rendered; a change must not leave a
// timer going round for them, or an idle server would wake every frame.
TEST_F(ChatServerTest, WithoutAWindowAChangeLeavesNoTimerRunning) {
  StartServer();
  auto client = Connect();
  const std::string joined =
      Cp932::Instance().Encode(u"花子\r\n/*/【お知らせ！】花子さんが参加しました\r\n");
  Request(*client, u"CanEnter?花子/*/~鍵", static_cast<qsizetype>(joined.size()));
  const auto idle = [](const QList<QTimer*>& timers) {
    return std::none_of(timers.begin(), timers.end(), [](QTimer* t) { return t->isActive(); });
  };
  // Nor a frame for the news, with no browser to be told of it: once the
  // work queued after the request has run, the server's own timer is idle.
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(idle(server->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)));
  const auto timers = server->findChildren<QTimer*>();
  EXPECT_TRUE(WaitUntil([&] { return idle(timers); }));
}

TEST_F(ChatServerTest, PeerCloseLeavesEmptyLeaveLineAndFreesTheSlotForReuse) {
  StartServer();
  auto first = Connect();
  auto second = Connect();
  ASSERT_TRUE(WaitUntil([&] { return server->Slots().ClientsInUse() == 2; }));
  first->close();
  ASSERT_TRUE(WaitUntil([&] { return !server->Slots().InUse(1); }));
  EXPECT_EQ(server->ChatRoom().LogLine(0), u"【お知らせ】さんが退室されました");
  auto third = Connect();
  ASSERT_TRUE(WaitUntil([&] { return server->Slots().InUse(1); }));
  EXPECT_EQ(server->Slots().TopSlot(), 2) << "slot 1 was taken again, nothing new made";
}

TEST_F(ChatServerTest, TwentyFirstClientIsRefusedAndAFreedSlotServesTheNext) {
  StartServer();
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(Connect());
  ASSERT_TRUE(WaitUntil([&] { return server->Slots().ClientsInUse() == 20; }));

  auto refused = Connect();
  ASSERT_TRUE(WaitUntil([&] {
    return refused->state() == QAbstractSocket::UnconnectedState ||
           (refused->waitForReadyRead(10), refused->state() != QAbstractSocket::ConnectedState);
  }));
  EXPECT_EQ(status.texts.back(), u"接続数が上限に達したため、接続を断りました");
  EXPECT_EQ(server->Slots().TopSlot(), 20);

  clients[4]->close();
  ASSERT_TRUE(WaitUntil([&] { return !server->Slots().InUse(5); }));
  auto late = Connect();
  ASSERT_TRUE(WaitUntil([&] { return server->Slots().InUse(5); }));
  const QByteArray reply = Request(*late, u"/Reflesh//*/~", 3);
  EXPECT_TRUE(reply.startsWith("/*/"));
}

TEST_F(ChatServerTest, PortHeldByAnotherProgramIsReportedAndTheProgramGoesOn) {
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
  ChatServer blocked(status);
  EXPECT_EQ(blocked.Start(holder.serverPort()), ChatServer::StartResult::ListenFailed);
  ASSERT_EQ(status.texts.size(), 1u);
  EXPECT_EQ(status.texts[0], u"ポート5000で待機できません[Address already in use]");
}

TEST_F(ChatServerTest, OutOfDescriptorsIsReportedOnceWithoutSpinningAndRecovers) {
  StartServer();
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  auto client = Connect();  // its server side cannot be accepted yet

  // Use up every descriptor under a lowered limit.
  const int probe = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(probe + 8);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers{probe};
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  WaitUntil([] { return false; }, 1500);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const double cpuSeconds = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                            (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                            ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                             (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) /
                                1e6;

  for (int fd : fillers) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &original);

  int reports = 0;
  for (const auto& text : status.texts)
    reports += text == u"待受ポート5000(0.0.0.0)でエラーにより、この接続を切ります";
  EXPECT_EQ(reports, 1) << "reported once per episode";
  EXPECT_LT(cpuSeconds, 0.3) << "the listener must rest, not spin";
  EXPECT_EQ(Accepted(), 0);

  ASSERT_TRUE(WaitUntil([&] { return Accepted() == 1; }, 3000))
      << "served again once descriptors are free";
  const QByteArray reply = Request(*client, u"/Reflesh//*/~", 3);
  EXPECT_EQ(reply, QByteArray("/*/"));
}

// A browser's updates go out as soon as they are written: with Nagle's
// algorithm on, an update written while the one before waits for its
// acknowledgement would wait for it too, which a browser's delayed ack
// makes up to 40 ms.
TEST(SocketAdopterTest, AdoptedConnectionsSendWithoutDelay) {
  QTcpServer listener;
  ASSERT_TRUE(listener.listen(QHostAddress::LocalHost));
  QTcpSocket browser;
  browser.connectToHost(QHostAddress::LocalHost, listener.serverPort());
  ASSERT_TRUE(listener.waitForNewConnection(3000));
  QTcpSocket* accepted = listener.nextPendingConnection();
  ASSERT_NE(accepted, nullptr);
  const int fd = ::dup(static_cast<int>(accepted->socketDescriptor()));
  ASSERT_GE(fd, 0);
  SocketAdopter adopter(1, nullptr);
  AdoptedSocket* adopted = adopter.Adopt(fd);
  ASSERT_NE(adopted, nullptr);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);
}

// A descriptor client outside any server, with what it tells its owner
// recorded in order.
class DescriptorClientTest : public ::testing::Test {
 protected:
  struct Recorder : MemberEvents {
    void OnArrival(SlotIndex, std::u16string_view text) override {
      told.push_back(u"arrival " + std::u16string(text));
    }
    void OnRequest(SlotIndex, const Request& request) override {
      told.push_back(u"request " + std::u16string(request.payload));
    }
    void OnEnded(SlotIndex, Ending ending) override {
      told.push_back(ending == Ending::PeerClosed ? u"peer closed" : u"failed");
    }
    bool HasJoined(SlotIndex) const override { return false; }
    Placement PlaceJoin(Member&, std::u16string_view, std::u16string_view) override {
      return Placement::Join;
    }
    const StateReply& RoomNow() const override { return room.State(); }
    std::vector<std::u16string> told;
    testing::FakeConnections connections;
    testing::FakeStatus status;
    Room room{connections, status};
  } events;
  QObject owner;
  DescriptorClient::Shared shared{ReadinessWatch::OnThisThread(owner)};
};

// A socket the watch cannot take would never be heard from: its client ends
// as a connection failure, which frees the slot, instead of holding it.
TEST_F(DescriptorClientTest, OneTheWatchCannotTakeEndsAsAConnectionFailure) {
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);  // epoll refuses it
  ASSERT_GE(fd, 0);
  auto* client = new DescriptorClient(fd, 3, events, shared, &owner);
  ASSERT_TRUE(WaitUntil([&] { return !events.told.empty(); }));
  EXPECT_EQ(events.told, std::vector<std::u16string>{u"failed"});
  client->Close();
}

// The watch announces a socket once for a request and the close sent right
// after it; the close must not be lost, or the member would stay forever.
TEST_F(DescriptorClientTest, ACloseThatCameWithTheRequestEndsTheMemberAfterIt) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  const std::string request = "/Reflesh//*/~";
  ASSERT_EQ(::write(pair[1], request.data(), request.size()), ssize_t(request.size()));
  ::close(pair[1]);
  auto* client = new DescriptorClient(pair[0], 4, events, shared, &owner);
  ASSERT_TRUE(WaitUntil([&] { return events.told.size() >= 2; }));
  EXPECT_EQ(events.told, (std::vector<std::u16string>{u"arrival /Reflesh//*/~", u"peer closed"}));
  client->Close();
}

// Runs body on a thread of its own that runs the server's event loop.
void OnServerLoop(std::function<void()> body) {
  std::unique_ptr<QThread> thread(QThread::create(std::move(body)));
  thread->setEventDispatcher(new EpollEventLoop);
  thread->start();
  ASSERT_TRUE(thread->wait(QDeadlineTimer(30000)));
}

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

}  // namespace
}  // namespace velmor::testing
