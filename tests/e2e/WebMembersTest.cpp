// Browser members against the real program: what a hostile or careless web
// client does costs the other members nothing, and the room's limits hold.
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"
#include "tests/support/Wait.h"

namespace velmor::testing {
namespace {

const QUrl kSocketUrl(QStringLiteral("ws://127.0.0.1:5081/"));
const std::string kFull = "接続数が上限に達したため、接続を断りました";

class WebMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
    server = std::make_unique<VelmorProcess>(std::string(), std::vector<std::string>{},
                                             std::vector<std::string>{"--no-window", "--web"});
    ASSERT_TRUE(server->WaitForStderr("the page is at")) << server->Stderr();
  }
  // A WebSocket from the page's own origin, open or not.
  std::unique_ptr<QWebSocket> Open(
      const QString& origin = QStringLiteral("http://127.0.0.1:5080")) {
    auto socket = std::make_unique<QWebSocket>(origin);
    socket->open(kSocketUrl);
    WaitUntil([&] {
      const auto state = socket->state();
      return state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState;
    });
    return socket;
  }
  // Sends a request and waits for the reply whose log holds logLines lines.
  static QString Ask(QWebSocket& socket, const QString& request, int logLines) {
    QString reply;
    auto connection = QObject::connect(&socket, &QWebSocket::textMessageReceived,
                                       [&](const QString& text) { reply = text; });
    socket.sendTextMessage(request);
    WaitUntil([&] {
      const auto at = reply.indexOf(QStringLiteral("/*/"));
      return at >= 0 && reply.mid(at).count(QStringLiteral("\r\n")) >= logLines;
    });
    QObject::disconnect(connection);
    return reply;
  }
  void TearDown() override {
    if (!server) return;
    const int status = server->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server->Stderr().substr(0, 4000);
  }
  std::unique_ptr<VelmorProcess> server;
};

TEST_F(WebMembers, HostileFramesOversizedMessagesAndVanishingBrowsersCostTheOthersNothing) {
  Client witness;
  const std::string joined = Wire("W\r\n/*/【お知らせ！】Wさんが参加しました\r\n");
  ASSERT_EQ(witness.Exchange(Wire("CanEnter?W/*/~w"), joined.size()), joined);
  std::mt19937 random(5081);
  const QByteArray handshake =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:5081\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
      "Origin: http://127.0.0.1:5080\r\n\r\n";
  for (int i = 0; i < 60; ++i) {
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, 5081);
    ASSERT_TRUE(raw.waitForConnected(5000));
    QByteArray bytes(1 + random() % 2000, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    switch (i % 3) {
      case 0:  // garbage instead of a handshake
        raw.write(bytes);
        break;
      case 1:  // a handshake, then frames of garbage
        raw.write(handshake + bytes);
        break;
      case 2:  // a handshake, then half a masked text frame of 1000 bytes, then gone
        raw.write(handshake + QByteArray("\x81\xfe\x03\xe8\x01\x02\x03\x04", 8) + bytes.left(100));
        break;
    }
    raw.waitForBytesWritten(1000);
    if (i % 2)
      raw.abort();
    else
      raw.close();
    const std::string state = Wire("W\r\n/*/") + joined.substr(Wire("W\r\n/*/").size());
    ASSERT_EQ(witness.Exchange(Wire("/Reflesh//*/~w"), state.size()).substr(0, 6),
              state.substr(0, 6))
        << "round " << i;
  }

  // A message over 64 KiB closes that connection with 1009, and only it.
  auto big = Open();
  ASSERT_EQ(big->state(), QAbstractSocket::ConnectedState) << server->Stderr().substr(
      server->Stderr().size() > 1500 ? server->Stderr().size() - 1500 : 0);
  big->sendTextMessage(QString(64 * 1024 + 1, QLatin1Char('x')));
  ASSERT_TRUE(WaitUntil([&] { return big->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(big->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData)
      << big->closeReason().toStdString() << " / " << big->errorString().toStdString();

  // The witness's room is as it was: one member, its join line, and a leave
  // line for each browser that got a slot (the oversized one's too).
  witness.Send(Wire("/Reflesh//*/~w"));
  const std::string reply = witness.ReceiveState(1);
  EXPECT_TRUE(reply.starts_with(Wire("W\r\n/*/"))) << "no ghost member";
  EXPECT_EQ(reply.find(Wire("〔")), std::string::npos) << "nobody posted anything";
}

TEST_F(WebMembers, BrowsersShareTheTwentySlotsWithClients) {
  std::vector<std::unique_ptr<QWebSocket>> members;
  for (int i = 0; i < 19; ++i) {
    members.push_back(Open());
    ASSERT_EQ(members.back()->state(), QAbstractSocket::ConnectedState) << i;
    const QString reply =
        Ask(*members.back(), QStringLiteral("CanEnter?web%1/*/~k%1").arg(i), i + 1);
    ASSERT_TRUE(reply.contains(QStringLiteral("web%1\r\n/*/").arg(i))) << reply.toStdString();
  }
  Client twentieth;
  const std::string reply = twentieth.Exchange(Wire("CanEnter?tcp/*/~t"), 1);
  ASSERT_FALSE(reply.empty()) << "the twentieth connection is a client's";

  // The room is full, for browsers and clients alike.
  for (int i = 0; i < 30; ++i) {
    auto late = Open();
    if (late->state() == QAbstractSocket::ConnectedState) {
      EXPECT_TRUE(WaitUntil([&] { return late->state() == QAbstractSocket::UnconnectedState; }))
          << "browser " << i << " kept a connection in a full room";
    }
  }
  Client refused;
  EXPECT_TRUE(refused.ClosedByServer());
  EXPECT_TRUE(server->WaitForStatus(kFull, 31));

  // A browser member leaves; its slot goes to the next newcomer.
  members[4]->close();
  std::unique_ptr<QWebSocket> newcomer;
  ASSERT_TRUE(WaitUntil(
      [&] {
        newcomer = Open();
        if (newcomer->state() != QAbstractSocket::ConnectedState) return false;
        const QString text = Ask(*newcomer, QStringLiteral("CanEnter?new/*/~n"), 1);
        return text.contains(QStringLiteral("web3\r\nnew\r\nweb5\r\n"));
      },
      10000))
      << "the newcomer took slot 5";
}

TEST_F(WebMembers, AnotherSitesPageIsRefusedAtTheHandshake) {
  const int acceptedBefore = static_cast<int>(server->StatusLines().size());
  for (const QString& origin :
       {QStringLiteral("http://evil.example"), QStringLiteral("http://127.0.0.1:8080"),
        QStringLiteral("https://127.0.0.1:5080"), QStringLiteral("null")}) {
    auto socket = Open(origin);
    EXPECT_NE(socket->state(), QAbstractSocket::ConnectedState) << origin.toStdString();
  }
  EXPECT_EQ(static_cast<int>(server->StatusLines().size()), acceptedBefore) << "no slot was taken";
  auto own = Open(QStringLiteral("http://localhost:5080"));
  EXPECT_EQ(own->state(), QAbstractSocket::ConnectedState) << "the page's own origin, by name";
}

TEST(WebPort, HeldPortIsReportedAndTheChatServerGoesOn) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::Any, 6080));
  VelmorProcess server({}, {}, {"--no-window", "--web", "6080"});
  ASSERT_TRUE(server.WaitForStderr("velmor: status: ポート6080でブラウザ用ページを開けません["))
      << server.Stderr();
  EXPECT_NE(server.Stderr().find("velmor: ポート6080でブラウザ用ページを開けません"), std::string::npos)
      << "said on standard error too";
  Client client;
  const std::string expected = Wire("a\r\n/*/【お知らせ！】aさんが参加しました\r\n");
  EXPECT_EQ(client.Exchange(Wire("CanEnter?a/*/~k"), expected.size()), expected);
}

}  // namespace
}  // namespace velmor::testing
