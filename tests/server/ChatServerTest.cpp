// The server over real loopback sockets, on a port of the system's choosing.
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
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
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "loop/EpollEventLoop.h"
#include "loop/ReadinessWatch.h"
#include "members/DescriptorClient.h"
#include "server/ChatServer.h"
#include "server/Seats.h"
#include "tests/support/FakePorts.h"
#include "tests/support/Wait.h"
#include "web/SharedPort.h"
#include "web/SocketAdopter.h"
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
  // The log as the operator's window sees it, newest line first.
  QString LogView() {
    if (!watchingViews) {
      QObject::connect(server.get(), &OperatorLink::ViewsChanged, server.get(), [] {});
      watchingViews = true;
    }
    if (const RoomViews views = server->TakeViews(); views.log) logView = *views.log;
    return logView;
  }
  int Accepted() const {
    int n = 0;
    for (const auto& text : status.texts) n += text == u"Pibbetより接続を受け付けました";
    return n;
  }

  QTemporaryDir runtimeDir;
  FakeStatus status;
  std::unique_ptr<ChatServer> server;
  bool watchingViews = false;
  QString logView;
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
  EXPECT_EQ(Accepted(), 1);
  // The key was kept as sent: a refresh with it is answered, not dropped.
  EXPECT_EQ(
      Request(*client, u"/Reflesh//*/~鍵①", static_cast<qsizetype>(expected.size())).toStdString(),
      expected);
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
  ASSERT_TRUE(WaitUntil([&] { return Accepted() == 2; }));
  first->close();
  ASSERT_TRUE(WaitUntil([&] { return !LogView().isEmpty(); }));
  EXPECT_EQ(LogView(), QStringLiteral("【お知らせ】さんが退室されました\r\n"));
  auto third = Connect();
  ASSERT_TRUE(WaitUntil([&] { return Accepted() == 3; }));
  EXPECT_TRUE(Request(*third, u"/Reflesh//*/~", 3).startsWith("/*/"));
}

TEST_F(ChatServerTest, TwentyFirstClientIsRefusedAndAFreedSlotServesTheNext) {
  StartServer();
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(Connect());
  ASSERT_TRUE(WaitUntil([&] { return Accepted() == 20; }));

  auto refused = Connect();
  ASSERT_TRUE(WaitUntil([&] {
    return refused->state() == QAbstractSocket::UnconnectedState ||
           (refused->waitForReadyRead(10), refused->state() != QAbstractSocket::ConnectedState);
  }));
  EXPECT_EQ(status.texts.back(), u"接続数が上限に達したため、接続を断りました");

  clients[4]->close();
  ASSERT_TRUE(WaitUntil([&] { return !LogView().isEmpty(); }));
  auto late = Connect();
  ASSERT_TRUE(WaitUntil([&] { return Accepted() == 21; }));
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

// On a thread that runs Qt's own loop, the page port's readiness watch is a
// child of the port, made before the connections waiting in it: one still
// undecided when the port goes ends first, its descriptor closed.
TEST(SharedPortTest, AnUndecidedConnectionEndsWithThePortOnQtsOwnLoop) {
  QTcpServer listener;
  ASSERT_TRUE(listener.listen(QHostAddress::LocalHost));
  QTcpSocket browser;
  browser.connectToHost(QHostAddress::LocalHost, listener.serverPort());
  ASSERT_TRUE(listener.waitForNewConnection(3000));
  QTcpSocket* accepted = listener.nextPendingConnection();
  ASSERT_NE(accepted, nullptr);
  const int fd = ::dup(static_cast<int>(accepted->socketDescriptor()));
  ASSERT_GE(fd, 0);
  accepted->close();
  browser.write("GET /ch");  // a start that decides nothing yet
  ASSERT_TRUE(browser.waitForBytesWritten(3000));

  QThread thread;  // its dispatcher is Qt's, not the server's epoll loop
  thread.start();
  int handed = 0;
  const auto take = [&handed](int taken) {
    ::close(taken);
    ++handed;
  };
  auto* port = new SharedPort(4, 10000, take, take, nullptr);
  port->moveToThread(&thread);
  QMetaObject::invokeMethod(
      port, [port, fd] { port->Route(fd); }, Qt::BlockingQueuedConnection);
  QMetaObject::invokeMethod(
      port, [port] { delete port; }, Qt::BlockingQueuedConnection);
  thread.quit();
  ASSERT_TRUE(thread.wait(3000));
  EXPECT_EQ(handed, 0);
  EXPECT_TRUE(browser.waitForDisconnected(3000)) << "the undecided connection was closed";
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
    void OnFailedUnseated(const Member&) override { told.push_back(u"failed unseated"); }
    bool HasJoined(SlotIndex) const override { return false; }
    std::u16string_view JoinedKey(SlotIndex) const override { return u"鍵"; }
    Seating PlaceJoin(Member&, std::u16string_view, std::u16string_view) override {
      return Seating::Join;
    }
    const StateReply& RoomNow() const override { return room.State(); }
    std::uint64_t KeptThrough() const override { return 0; }
    void PlaceChanged() override {}
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

// A client that streams holds the loop for one bounded read a turn, and
// what it sent at once is still one arrival.
TEST_F(DescriptorClientTest, AStreamIsReadInBoundedTurnsAndArrivesWhole) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  const std::string stream(6 * DescriptorClient::ReadBound, 'x');
  ASSERT_EQ(::write(pair[1], stream.data(), stream.size()), ssize_t(stream.size()));
  int passes = 0;
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &owner,
                   [&] { ++passes; });
  auto* client = new DescriptorClient(pair[0], 4, events, shared, &owner);
  ASSERT_TRUE(WaitUntil([&] { return !events.told.empty(); }));
  EXPECT_GE(passes, 6) << "one read of at most ReadBound a pass";
  ASSERT_EQ(events.told.size(), 1u);
  EXPECT_EQ(events.told[0].size(), std::u16string(u"arrival ").size() + stream.size());
  client->Close();
  ::close(pair[1]);
}

// The one owner of the seats: who holds each slot as members are seated,
// take over another's place and go. After every step each slot holds what
// the model says, and a slot's peer stays readable once it is freed.
TEST_F(DescriptorClientTest, SeatsAreTakenMovedAndFreedByTheirOneOwner) {
  struct Seated : Member {
    Seated(int i, MemberEvents& events) : Member(Unplaced, events, nullptr) {
      SetPeer(QHostAddress(QStringLiteral("10.0.0.%1").arg(i)), 5000);
    }
    qint64 UnsentBytes() const override { return 0; }
    void WriteState(const StateReply&) override {}
    void Release() override {}
  };
  std::vector<std::unique_ptr<Seated>> members;
  for (int i = 0; i < 24; ++i) members.push_back(std::make_unique<Seated>(i, events));
  Seats seats(u"0.0.0.0", u"listener");
  seats.Open();
  std::map<SlotIndex, int> model;  // slot: the member holding it
  enum class Step { Take, Move, Free };
  const struct {
    const char* rule;
    Step step;
    int member;      // Take, Move: the member; Free: the one expected back (-1: none)
    SlotIndex slot;  // Take: the slot expected (-1: refused); Move, Free: the slot
  } rows[] = {
      {"the first member takes slot 1", Step::Take, 0, 1},
      {"the next a new slot above it", Step::Take, 1, 2},
      {"freeing gives back the member that held it", Step::Free, 0, 1},
      {"a freed slot is taken again before a new one is made", Step::Take, 2, 1},
      {"an unseated member moves into another's place", Step::Move, 3, 2},
      {"a seated one moving frees the slot it held", Step::Move, 2, 2},
      {"which the next newcomer takes", Step::Take, 4, 1},
      {"a slot never made gives nothing back", Step::Free, -1, 7},
      {"the listener's slot is never freed", Step::Free, -1, 0},
  };
  const auto check = [&](const char* rule) {
    for (SlotIndex slot = 1; slot < std::max<SlotIndex>(seats.Count(), 21); ++slot) {
      const auto held = model.find(slot);
      EXPECT_EQ(seats.At(slot), held == model.end() ? nullptr : members[held->second].get())
          << rule << ": slot " << slot;
      if (held != model.end()) {
        EXPECT_EQ(members[held->second]->Slot(), slot) << rule;
      }
    }
  };
  for (const auto& row : rows) {
    switch (row.step) {
      case Step::Take: {
        const std::optional<SlotIndex> slot = seats.Take(*members[row.member]);
        EXPECT_EQ(slot.value_or(-1), row.slot) << row.rule;
        if (slot) model[*slot] = row.member;
        break;
      }
      case Step::Move:
        std::erase_if(model, [&](const auto& entry) { return entry.second == row.member; });
        seats.Move(*members[row.member], row.slot);
        model[row.slot] = row.member;
        break;
      case Step::Free:
        EXPECT_EQ(seats.Free(row.slot), row.member < 0 ? nullptr : members[row.member].get())
            << row.rule;
        model.erase(row.slot);
        break;
    }
    check(row.rule);
  }
  EXPECT_EQ(seats.Address(0), u"0.0.0.0");
  // Every slot up to the limit, then a full room refuses.
  for (int i = 5; i < 23; ++i) ASSERT_TRUE(seats.Take(*members[i]).has_value()) << i;
  EXPECT_FALSE(seats.Take(*members[23]).has_value()) << "the room is full";
  EXPECT_EQ(members[23]->Slot(), Member::Unplaced);
  // The room names a member that left by the peer its slot was held by.
  ASSERT_EQ(seats.Free(2), members[2].get());
  EXPECT_EQ(seats.Address(2), u"10.0.0.2");
  EXPECT_EQ(seats.Label(2), u"10.0.0.2:5000");
  EXPECT_EQ(seats.Take(*members[23]), std::optional<SlotIndex>(2));
}

}  // namespace
}  // namespace velmor::testing
