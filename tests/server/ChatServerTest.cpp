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

#include "loop/EpollEventLoop.h"
#include "loop/ReadinessWatch.h"
#include "members/DescriptorClient.h"
#include "server/ChatServer.h"
#include "tests/support/FakePorts.h"
#include "tests/support/Wait.h"
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
    void OnFailedUnseated(const Member&) override { told.push_back(u"failed unseated"); }
    bool HasJoined(SlotIndex) const override { return false; }
    std::u16string_view JoinedKey(SlotIndex) const override { return u"鍵"; }
    Seating PlaceJoin(Member&, std::u16string_view, std::u16string_view) override {
      return Seating::Join;
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

}  // namespace
}  // namespace velmor::testing
