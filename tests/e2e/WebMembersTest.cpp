// Browser members against the real program: what a hostile or careless web
// client does costs the other members nothing, and the room's limits hold.
#include <QElapsedTimer>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <QProcess>

#include <linux/if_ether.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <thread>
#include <vector>

#include "room/Request.h"
#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"
#include "tests/support/Wait.h"
#include "web/SelfSigned.h"
#include "wire/Cp932.h"

namespace velmor::testing {
namespace {

const QUrl kSocketUrl(QStringLiteral("ws://127.0.0.1:5080/chat"));
const std::string kFull = "接続数が上限に達したため、接続を断りました";

using namespace std::chrono_literals;

// The headers every response of the page port carries, in lower case: header
// names are case-insensitive, and newer Qt writes them so.
const char* const kSafetyHeaders[] = {"x-content-type-options: nosniff",
                                      "referrer-policy: no-referrer", "frame-ancestors 'none'"};

// One HTTP response, read until its body is whole or the connection ends.
std::string ReadResponse(const Client& http, std::chrono::milliseconds within = 15s) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    const QByteArray text = QByteArray::fromStdString(data).toLower();
    const qsizetype end = text.indexOf("\r\n\r\n");
    const qsizetype length = text.indexOf("content-length:");
    // A response without a body (101) ends with its head.
    if (end >= 0 && (length < 0 || length > end)) return data;
    if (end >= 0 &&
        data.size() >= static_cast<std::size_t>(
                           end + 4 + text.mid(length + 15).trimmed().split('\r')[0].toLongLong()))
      return data;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return data;
    const std::string more = http.Receive(1, left);
    if (more.empty()) return data;  // the server closed the connection
    data += more;
  }
}

// A masked frame, as a browser sends it: opcode 1 text, 0 a continuation,
// 2 binary, 8 close, 9 ping.
std::string ClientFrame(int opcode, const std::string& payload, bool final = true) {
  std::string frame{static_cast<char>((final ? 0x80 : 0) | opcode)};
  const std::uint64_t size = payload.size();
  if (size < 126) {
    frame += static_cast<char>(0x80 | size);
  } else {
    const int bytes = size <= 0xFFFF ? 2 : 8;
    frame += static_cast<char>(bytes == 2 ? 0xFE : 0xFF);
    for (int i = bytes - 1; i >= 0; --i) frame += static_cast<char>(size >> (8 * i));
  }
  frame += std::string{1, 2, 3, 4};
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame += static_cast<char>(payload[i] ^ (1 + i % 4));
  return frame;
}

std::string TextFrame(const std::string& payload) { return ClientFrame(1, payload); }

// The client's Close frame with a code, as a browser answers the server's.
std::string CloseFrame(int code) {
  return ClientFrame(8, std::string{static_cast<char>(code >> 8), static_cast<char>(code)});
}

// A text message cut into fragments at the given offsets of its bytes.
std::vector<std::string> Fragments(const std::string& message, std::vector<std::size_t> cuts) {
  std::vector<std::string> frames;
  std::size_t from = 0;
  cuts.push_back(message.size());
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    frames.push_back(
        ClientFrame(i == 0 ? 1 : 0, message.substr(from, cuts[i] - from), i + 1 == cuts.size()));
    from = cuts[i];
  }
  return frames;
}

// What the server sent on a raw WebSocket: its text messages, and the code
// of its Close frame (-1: none came, the connection ended or the time ran
// out first; 1005: a Close frame without a code).
struct Heard {
  std::vector<std::string> texts;
  int closeCode = -1;
  bool Said(const std::string& fragment) const {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
      return text.find(fragment) != std::string::npos;
    });
  }
};

// Reads the server's frames until its Close frame, the end of the stream,
// or until enough is heard.
Heard Hear(const Client& raw, const std::function<bool(const Heard&)>& enough = {},
           std::chrono::milliseconds within = 5s) {
  Heard heard;
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    while (data.size() >= 2) {
      const auto at = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
      std::uint64_t size = at(1) & 0x7F;
      std::size_t header = 2;
      if (size >= 126) {
        header = size == 126 ? 4 : 10;
        if (data.size() < header) break;
        size = 0;
        for (std::size_t i = 2; i < header; ++i) size = size << 8 | at(i);
      }
      if (data.size() < header + size) break;
      const int opcode = at(0) & 0x0F;
      const std::string payload = data.substr(header, size);
      data.erase(0, header + size);
      if (opcode == 1) heard.texts.push_back(payload);
      if (opcode == 0 && !heard.texts.empty()) heard.texts.back() += payload;
      if (opcode == 8) {
        heard.closeCode = payload.size() >= 2 ? static_cast<unsigned char>(payload[0]) << 8 |
                                                    static_cast<unsigned char>(payload[1])
                                              : 1005;
        return heard;
      }
    }
    if (enough && enough(heard)) return heard;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const std::string more = left.count() > 0 ? raw.Receive(1, left) : std::string();
    if (more.empty()) return heard;
    data += more;
  }
}

// The most the server may be resident with every connection at its bound
// (the README's reliability table adds it up); every test here holds it.
constexpr long kMemoryCeilingKiB = 384 * 1024;

const std::string kHandshake =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:5081\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
    "Origin: http://127.0.0.1:5080\r\n\r\n";

class WebMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
    Start();
  }
  void Start(std::vector<std::string> env = {}, bool stderrToPipe = false) {
    std::vector<std::string> args{"--no-window", "--web", "--web-origin", "chat.example"};
    // Over TLS with a certificate of its own, made in a state directory of
    // the test's, which the test then trusts, and nothing else.
    if (secure) {
      args.push_back("--web-tls");
      env.push_back("XDG_STATE_HOME=" + state.path().toStdString());
    }
    server = std::make_unique<VelmorProcess>(
        std::string(), env, args,
        stderrToPipe ? VelmorProcess::StandardError::SlowPipe : VelmorProcess::StandardError::File);
    if (!stderrToPipe) {
      ASSERT_TRUE(server->WaitForStderr("the page is at")) << server->Stderr();
    }
    if (secure) {
      trusted = QSslConfiguration::defaultConfiguration();
      trusted.setCaCertificates(
          QSslCertificate::fromPath(state.filePath(QStringLiteral("velmor/web-cert.pem"))));
      ASSERT_EQ(trusted.caCertificates().size(), 1) << server->Stderr();
    }
  }

 public:
  // The page's own origin, and its WebSocket's address.
  QString PageOrigin(const QString& host = QStringLiteral("127.0.0.1")) const {
    return (secure ? QStringLiteral("https://") : QStringLiteral("http://")) + host +
           QStringLiteral(":5080");
  }
  QUrl SocketUrl() const {
    return secure ? QUrl(QStringLiteral("wss://127.0.0.1:5080/chat")) : kSocketUrl;
  }
  // A WebSocket from the page's own origin (or the one given), open or not.
  std::unique_ptr<QWebSocket> Open(const QString& origin = {}) {
    auto socket = std::make_unique<QWebSocket>(origin.isEmpty() ? PageOrigin() : origin);
    if (secure) socket->setSslConfiguration(trusted);
    socket->open(SocketUrl());
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
#ifndef VELMOR_SANITIZED
    EXPECT_LT(server->PeakResidentKiB(), kMemoryCeilingKiB);
#endif
    const int status = server->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server->Stderr().substr(0, 4000);
  }
  std::unique_ptr<VelmorProcess> server;
  bool secure = false;
  QTemporaryDir state;
  QSslConfiguration trusted;
};

// The same suite over either scheme: the page's port in clear text, or over
// TLS (https and wss).
class WebMembersOver : public WebMembers, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    secure = std::string(GetParam()) == "https";
    WebMembers::SetUp();
  }
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

  // The room is full, for browsers and clients alike: a browser is refused
  // at its join, whichever language it speaks, and told why in the Close
  // frame, which the page shows as 満室.
  for (int i = 0; i < 30; ++i) {
    auto late = Open();
    ASSERT_EQ(late->state(), QAbstractSocket::ConnectedState) << "browser " << i;
    late->sendTextMessage(i % 2
                              ? QStringLiteral("CanEnter?late/*/~k")
                              : QStringLiteral(R"({"v":1,"type":"join","name":"late","key":"k"})"));
    EXPECT_TRUE(WaitUntil([&] { return late->state() == QAbstractSocket::UnconnectedState; }))
        << "browser " << i << " kept a connection in a full room";
    EXPECT_EQ(late->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated) << i;
    EXPECT_EQ(late->closeReason(), QStringLiteral("room full")) << i;
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

TEST_P(WebMembersOver, AnotherSitesPageIsRefusedAtTheHandshake) {
  const int acceptedBefore = static_cast<int>(server->StatusLines().size());
  // The page of the other scheme too: http and https never share an origin.
  QString otherScheme = PageOrigin();
  otherScheme.replace(QStringLiteral("https://"), QStringLiteral("xx://"))
      .replace(QStringLiteral("http://"), QStringLiteral("https://"))
      .replace(QStringLiteral("xx://"), QStringLiteral("http://"));
  for (const QString& origin :
       {QStringLiteral("http://evil.example"), QStringLiteral("https://evil.example:5080"),
        QStringLiteral("http://127.0.0.1:8080"), otherScheme, QStringLiteral("null")}) {
    auto socket = Open(origin);
    EXPECT_NE(socket->state(), QAbstractSocket::ConnectedState) << origin.toStdString();
  }
  EXPECT_EQ(static_cast<int>(server->StatusLines().size()), acceptedBefore) << "no slot was taken";
  auto own = Open(PageOrigin(QStringLiteral("localhost")));
  EXPECT_EQ(own->state(), QAbstractSocket::ConnectedState) << "the page's own origin, by name";
}

TEST_F(WebMembers, OwnNamesOfThisMachineAreAcceptedAndNoOther) {
  const QString host = QHostInfo::localHostName().toLower();
  QStringList own{host + QStringLiteral(".local"), QStringLiteral("chat.example"),
                  QStringLiteral("CHAT.example")};
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.toLocal8Bit().constData(), nullptr, &hints, &found) == 0) {
    if (found->ai_canonname != nullptr) own << QString::fromLocal8Bit(found->ai_canonname);
    ::freeaddrinfo(found);
  }
  for (const QString& name : own) {
    auto socket = Open(QStringLiteral("http://%1:5080").arg(name));
    EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState) << name.toStdString();
  }
  for (const QString& name :
       {host + QStringLiteral(".local.evil.example"), QStringLiteral("chat.example.evil.example"),
        QStringLiteral("rebound.evil.example")}) {
    auto socket = Open(QStringLiteral("http://%1:5080").arg(name));
    EXPECT_NE(socket->state(), QAbstractSocket::ConnectedState) << name.toStdString();
  }
}

TEST_F(WebMembers, EveryAnswerOfThePagePortIsOneResponseWithTheSafetyHeaders) {
  const std::string host = "Host: 127.0.0.1:5080\r\n";
  const std::string page = "GET / HTTP/1.1\r\n" + host + "\r\n";
  const auto bareLf = [](std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  // The answers on a connection, split by their lengths, until count are
  // whole or the connection ends; whatever comes beyond is one more. An
  // answer to a HEAD is a head alone.
  const auto answers = [](const Client& http, std::size_t count, bool firstToHead) {
    std::vector<std::string> whole;
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (whole.size() < count) {
      const QByteArray text = QByteArray::fromStdString(data).toLower();
      const qsizetype end = text.indexOf("\r\n\r\n");
      const qsizetype length = text.indexOf("content-length:");
      if (end >= 0) {
        qsizetype size = end + 4;
        if (length >= 0 && length < end && !(firstToHead && whole.empty()))
          size += text.mid(length + 15).trimmed().split('\r')[0].toLongLong();
        if (static_cast<qsizetype>(data.size()) >= size) {
          whole.push_back(data.substr(0, size));
          data.erase(0, size);
          continue;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const std::string more = left.count() > 0 ? http.Receive(1, left) : std::string();
      if (more.empty()) break;
      data += more;
    }
    if (!data.empty()) whole.push_back(data);
    return whole;
  };
  // The header lines of an answer, in order of their text, its Date aside
  // (the clock may move on between two answers).
  const auto headLines = [](const std::string& answer) {
    std::vector<std::string> lines;
    for (const QByteArray& line :
         QByteArray::fromStdString(answer.substr(0, answer.find("\r\n\r\n"))).split('\n')) {
      if (!line.toLower().startsWith("date:")) lines.push_back(line.trimmed().toStdString());
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  Client reference(5080);
  reference.Send(page);
  const std::vector<std::string> pageAnswer = answers(reference, 1, false);
  ASSERT_EQ(pageAnswer.size(), 1u);

  // A WebSocket handshake with one field left out or replaced.
  const auto handshake = [](const std::string& field, const std::string& instead = {}) {
    std::string text = kHandshake;
    const std::size_t at = text.find(field);
    text.replace(at, text.find("\r\n", at) + 2 - at, instead.empty() ? "" : instead + "\r\n");
    return text;
  };
  // A handshake sent to the page's port at the WebSocket's path.
  const auto atPagePort = [](std::string text) {
    text.replace(text.find(" /"), 2, " /chat");
    text.replace(text.find("127.0.0.1:5081"), 14, "127.0.0.1:5080");
    return text;
  };
  const struct {
    const char* fault;
    std::string request;
    std::vector<std::string> statuses;  // of the answers, in order
    std::string inFirst = {};           // lower case
    bool firstToHead = false;           // the first answer's head is the page's
    bool closes = false;                // the connection ends after the answers
    std::uint16_t port = 5080;
    std::size_t segment = 0;  // sent in segments of this size (0: at once)
  } cases[] = {
      {"the page", page, {"200"}, "connect-src ws://127.0.0.1:5080/chat;"},
      {"the icon", "GET /favicon.ico HTTP/1.1\r\n" + host + "\r\n", {"200"}},
      {"the page's policy allows its own service worker and manifest",
       page,
       {"200"},
       "worker-src 'self'; manifest-src 'self';"},
      {"the home screen's manifest",
       "GET /manifest.webmanifest HTTP/1.1\r\n" + host + "\r\n",
       {"200"},
       "content-type: application/manifest+json"},
      {"the manifest's icon",
       "GET /icon-512.png HTTP/1.1\r\n" + host + "\r\n",
       {"200"},
       "content-type: image/png"},
      {"the service worker",
       "GET /sw.js HTTP/1.1\r\n" + host + "\r\n",
       {"200"},
       "content-type: text/javascript"},
      {"another path", "GET /elsewhere HTTP/1.1\r\n" + host + "\r\n", {"404"}},
      {"another method", "DELETE / HTTP/1.1\r\n" + host + "\r\n", {"405"}, "allow: get, head\r\n"},
      // The WebSocket has a path of its own: an upgrade elsewhere is one
      // error, not the page.
      {"a WebSocket upgrade", kHandshake, {"400"}},
      {"the WebSocket's address with no port in the Host",
       "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       {"200"},
       "connect-src ws://127.0.0.1/chat;"},
      {"a path that begins with the WebSocket's",
       "GET /chatroom HTTP/1.1\r\n" + host + "\r\n",
       {"404"}},
      {"lines ending in LF alone",
       "DELETE / HTTP/1.1\nHost: a\n\n",
       {"405"},
       "allow: get, head\r\n"},
      {"an upgrade in lines ending in LF alone", bareLf(kHandshake), {"400"}},
      {"the page's answer lost to a bad request after it",
       page + "GET /nope HTTP/1.1\r\n" + host + "\r\n",
       {"200", "404"}},
      {"a bad request answered before the good ones ahead of it",
       page + "GET /favicon.ico HTTP/1.1\r\n" + host + "\r\n" + page + "GET /nope HTTP/1.1\r\n" +
           host + "\r\n",
       {"200", "200", "200", "404"}},
      {"HEAD", "HEAD / HTTP/1.1\r\n" + host + "\r\n" + page, {"200", "200"}, {}, true},
      {"a small body on another method",
       "POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc",
       {"405"},
       "allow: get, head\r\n"},
      {"OPTIONS", "OPTIONS / HTTP/1.1\r\n" + host + "\r\n", {"405"}, "allow: get, head\r\n"},
      {"the absolute form",
       "GET http://127.0.0.1:5080/ HTTP/1.1\r\n" + host + "\r\n",
       {"200"},
       "connect-src ws://127.0.0.1:5080/chat;"},
      {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", {"400"}},
      {"two Host fields", "GET / HTTP/1.1\r\n" + host + "Host: 127.0.0.2:5080\r\n\r\n", {"400"}},
      {"a space before the colon", "GET / HTTP/1.1\r\nHost : 127.0.0.1:5080\r\n\r\n", {"400"}},
      {"an upgrade to h2c",
       "GET / HTTP/1.1\r\n" + host +
           "Connection: Upgrade, HTTP2-Settings\r\nUpgrade: h2c\r\nHTTP2-Settings: "
           "AAMAAABkAAQAAP__\r\n\r\n",
       {"200"}},
      // A client may ask for the connection to end with the response (RFC
      // 9112 9.6); HTTP/1.0 ends it unless it asks to keep it (9.3).
      {"Connection: close",
       "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n" + page,
       {"200"},
       "connection: close\r\n",
       false,
       true},
      {"HTTP/1.0", "GET / HTTP/1.0\r\n\r\n" + page, {"200"}, {}, false, true},
      {"HTTP/1.0 with keep-alive",
       "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + page,
       {"200", "200"}},
      {"a request-target over 4 KiB",
       "GET /?" + std::string(5000, 'q') + " HTTP/1.1\r\n" + host + "\r\n",
       {"414"}},
      {"a request line longer than a head may be",
       "GET /?" + std::string(9000, 'q') + " HTTP/1.1\r\n" + host + "\r\n",
       {"414"}},
      // The WebSocket's port answers a handshake that is no valid upgrade
      // (RFC 6455 4.2.1, 4.2.2, 4.4) before it closes.
      {.fault = "the handshake", .request = kHandshake, .statuses = {"101"}, .port = 5081},
      // On the page's port, at the WebSocket's path, the same judge.
      {.fault = "the handshake at the page's port",
       .request = atPagePort(kHandshake),
       .statuses = {"101"}},
      {.fault = "a handshake from another site's page at the page's port",
       .request = atPagePort(handshake("Origin", "Origin: http://evil.example")),
       .statuses = {"403"}},
      // Its start in pieces, which the port waits for before it decides.
      {.fault = "the handshake at the page's port in 3-byte segments",
       .request = atPagePort(kHandshake),
       .statuses = {"101"},
       .segment = 3},
      {.fault = "the page in 3-byte segments", .request = page, .statuses = {"200"}, .segment = 3},
      {.fault = "a plain GET of the WebSocket's path",
       .request = "GET /chat HTTP/1.1\r\n" + host + "\r\n",
       .statuses = {"400"}},
      {.fault = "a handshake with a query at the page's port",
       .request = atPagePort(handshake("GET / HTTP/1.1", "GET /?v=1 HTTP/1.1")),
       .statuses = {"101"}},
      {.fault = "a handshake without a key",
       .request = handshake("Sec-WebSocket-Key"),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a key of 5 bytes",
       .request = handshake("Sec-WebSocket-Key", "Sec-WebSocket-Key: aGVsbG8="),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a handshake by POST",
       .request = handshake("GET / HTTP/1.1", "POST / HTTP/1.1"),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a handshake in HTTP/1.0",
       .request = handshake("GET / HTTP/1.1", "GET / HTTP/1.0"),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a handshake without Host",
       .request = handshake("Host"),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a handshake without a version",
       .request = handshake("Sec-WebSocket-Version"),
       .statuses = {"426"},
       .inFirst = "sec-websocket-version: 13\r\n",
       .port = 5081},
      {.fault = "a handshake of version 8",
       .request = handshake("Sec-WebSocket-Version", "Sec-WebSocket-Version: 8"),
       .statuses = {"426"},
       .inFirst = "sec-websocket-version: 13\r\n",
       .port = 5081},
      {.fault = "a handshake without Upgrade",
       .request = handshake("Upgrade: websocket"),
       .statuses = {"400"},
       .port = 5081},
      {.fault = "a handshake from another site's page",
       .request = handshake("Origin", "Origin: http://evil.example"),
       .statuses = {"403"},
       .port = 5081},
      {.fault = "a handshake in lines ending in LF alone",
       .request = bareLf(kHandshake),
       .statuses = {"400"},
       .port = 5081},
  };
  // Every answer says when it was made (RFC 9110 6.6.1), in the one form.
  const std::regex date(
      "\r\ndate: (mon|tue|wed|thu|fri|sat|sun), [0-9]{2} "
      "(jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec) [0-9]{4} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} gmt\r\n");
  for (const auto& c : cases) {
    Client http(c.port);
    if (c.segment > 0) {
      http.SendInSegments(c.request, c.segment);
    } else {
      http.Send(c.request);
    }
    const std::vector<std::string> got = answers(http, c.statuses.size(), c.firstToHead);
    if (got.size() != c.statuses.size()) {
      ADD_FAILURE() << c.fault << ": " << got.size() << " answers, the last "
                    << (got.empty() ? std::string() : got.back().substr(0, 300));
      continue;
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i].starts_with("HTTP/1.1 " + c.statuses[i]))
          << c.fault << ": " << got[i].substr(0, 300);
      EXPECT_EQ(QByteArray::fromStdString(got[i]).count("HTTP/1.1 "), 1) << c.fault;
      const std::string lower = QByteArray::fromStdString(got[i]).toLower().toStdString();
      EXPECT_TRUE(std::regex_search(lower.substr(0, lower.find("\r\n\r\n") + 2), date))
          << "Date in " << c.fault << ": " << got[i].substr(0, 600);
      // The switch to the WebSocket is Qt's own answer.
      if (c.statuses[i] != "101") {
        for (const char* header : kSafetyHeaders)
          EXPECT_NE(lower.find(header), std::string::npos) << header << " in " << c.fault;
      }
      if (i == 0 && !c.inFirst.empty()) {
        EXPECT_NE(lower.find(c.inFirst), std::string::npos)
            << c.fault << ": " << got[i].substr(0, 600);
      }
    }
    if (c.firstToHead) {
      EXPECT_EQ(headLines(got[0]), headLines(pageAnswer[0])) << c.fault;
    }
    // The guard's own answers end the connection.
    if (c.closes || (c.statuses.back() != "200" && c.statuses.back() != "101")) {
      EXPECT_TRUE(http.ClosedByServer()) << c.fault;
    }
  }
}

TEST_F(WebMembers, ThePagePortBoundsWhatEachConnectionMayTake) {
  // Idle for longer than a request may take, from the first byte on.
  Client idle(5080);
  Client slow(5080);
  slow.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\n");

  // A head of just under 8 KiB, trickled: served.
  {
    Client trickle(5080);
    const std::string head =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\nX-Filler: " + std::string(7900, 'a') +
        "\r\n\r\n";
    for (std::size_t at = 0; at < head.size(); at += 500) {
      trickle.Send(head.substr(at, 500));
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(ReadResponse(trickle).starts_with("HTTP/1.1 200"));
  }
  const struct {
    std::string request;
    std::string status;
  } refused[] = {
      {"GET / HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
      {"POST / HTTP/1.1\r\nContent-Length: 8388608\r\n\r\n" + std::string(65536, 'b'),
       "HTTP/1.1 413"},
      {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413"},
  };
  for (const auto& r : refused) {
    Client http(5080);
    http.Send(r.request);
    EXPECT_TRUE(ReadResponse(http).starts_with(r.status)) << r.status;
    EXPECT_TRUE(http.ClosedByServer()) << r.status;
  }
  // The WebSocket's handshake head is bounded as a request's: one that
  // passes 8 KiB unfinished is closed at once, not at its deadline.
  {
    Client handshake(5081);
    handshake.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:5081\r\nUpgrade: websocket\r\nX-Filler: " +
                   std::string(9000, 'a') + "\r\n");
    EXPECT_TRUE(ReadResponse(handshake, 5s).starts_with("HTTP/1.1 431"));
    EXPECT_TRUE(handshake.ClosedByServer(5s)) << "a handshake head past 8 KiB";
  }

  // A client that asks and asks and never reads is cut off long before the
  // minute every connection may last.
  {
    Client greedy(5080, 4096);
    std::string requests;
    for (int i = 0; i < 400; ++i) requests += "GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\n\r\n";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 25 && greedy.AwaitAnswer(1ms) != Client::Answer::Closed; ++i) {
      greedy.Send(requests);
      std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(greedy.ClosedByServer(30s)) << "never closed";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40s) << "closed by the minute's limit only";
  }
  EXPECT_TRUE(slow.ClosedByServer(15s)) << "an unfinished request is closed after 10 s";
  EXPECT_TRUE(idle.ClosedByServer(1s)) << "a connection that never asked is closed too";

  // Beyond 64 connections at once, a new one is closed at once.
  std::vector<std::unique_ptr<Client>> crowd;
  for (int i = 0; i < 100; ++i) crowd.push_back(std::make_unique<Client>(5080));
  int closed = 0;
  for (const auto& c : crowd) closed += c->AwaitAnswer(1s) == Client::Answer::Closed;
  EXPECT_EQ(closed, 100 - 64);
  crowd.clear();
  Client after(5080);
  // The crowd's closes reach the server on their own time.
  std::string response;
  for (int i = 0; i < 100 && !response.starts_with("HTTP/1.1 200"); ++i) {
    Client again(5080);
    again.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\n\r\n");
    response = ReadResponse(again, 2s);
  }
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200")) << "served again once the crowd is gone";
}

TEST_P(WebMembersOver, BrowserThatStopsAnsweringPingsIsDroppedAndOneThatAnswersStays) {
  server->Stop();
  Start({"VELMOR_TEST_KEEPALIVE_MS=900"});
  auto alive = Open();
  ASSERT_EQ(alive->state(), QAbstractSocket::ConnectedState);
  Ask(*alive, QStringLiteral("CanEnter?alive/*/~a"), 1);
  // A phone out of range: joined, then silent, its pings never answered,
  // though its kernel still takes them (over TLS, in records larger than
  // the pings themselves).
  QSslSocket gone;
  gone.setSslConfiguration(trusted);
  if (secure) {
    gone.connectToHostEncrypted(QStringLiteral("127.0.0.1"), 5080);
    ASSERT_TRUE(gone.waitForEncrypted(5000)) << gone.errorString().toStdString();
  } else {
    gone.connectToHost(QHostAddress::LocalHost, 5080);
    ASSERT_TRUE(gone.waitForConnected(5000));
  }
  std::string handshake = kHandshake;
  handshake.replace(handshake.find("GET / "), 6, "GET /chat ");
  handshake.replace(handshake.find("127.0.0.1:5081"), 14, "127.0.0.1:5080");
  handshake.replace(handshake.find("http://127.0.0.1:5080"), 21, PageOrigin().toStdString());
  gone.write(QByteArray::fromStdString(handshake));
  ASSERT_TRUE(WaitUntil([&] { return gone.peek(4096).contains("\r\n\r\n"); }))
      << "no answer to the handshake";
  gone.write(QByteArray::fromStdString(TextFrame("CanEnter?gone/*/~g")));
  const std::string label = "127.0.0.1:" + std::to_string(gone.localPort());
  // Waited for with the event loop turning, so that the other one answers.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return server->WaitForStatus(label + "(127.0.0.1)でエラーにより、この接続を切ります", 1,
                                     0ms);
      },
      15000))
      << server->Stderr();
  // The one that answers (its event loop turning here) is still a member.
  const QString reply = Ask(*alive, QStringLiteral("/Reflesh//*/~a"), 3);
  EXPECT_TRUE(reply.startsWith(QStringLiteral("alive\r\n/*/"))) << reply.toStdString();
  EXPECT_TRUE(reply.contains(QStringLiteral("goneさんが参加しました"))) << reply.toStdString();
}

TEST_F(WebMembers, QtMessagesWaitInTheQueueWhileStandardErrorIsFull) {
  server->Stop();
  // Qt's own debug messages, many for every connection, into a pipe of 4 KiB
  // that nobody reads yet.
  Start({"QT_LOGGING_RULES=qt.*.debug=true"}, true);
  for (int i = 0; i < 20; ++i) {
    Client http(5080);
    http.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\n\r\n");
    EXPECT_TRUE(ReadResponse(http, 10s).starts_with("HTTP/1.1 200")) << "request " << i;
  }
  Client client;
  const std::string expected = Wire("a\r\n/*/【お知らせ！】aさんが参加しました\r\n");
  EXPECT_EQ(client.Exchange(Wire("CanEnter?a/*/~k"), expected.size()), expected)
      << "the server went on while standard error was full";
  // Nothing was lost on the way: Qt's messages, then the status lines after them.
  const std::string text = server->ReadStderrPipe("Pibbetより接続を受け付けました");
  EXPECT_NE(text.find("qt."), std::string::npos) << text.substr(0, 2000);
}

TEST_F(WebMembers, OutOfDescriptorsOnTheBrowserPortsIsReportedOnceWithoutSpinning) {
  const int baseline = server->OpenDescriptors();
  ASSERT_TRUE(server->SetDescriptorLimit(baseline + 4));
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<Client>(i % 2 ? 5081 : 5080));
  const auto trouble = [](int port) {
    return "待受ポート" + std::to_string(port) + "(0.0.0.0)でエラーにより、この接続を切ります";
  };
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& line : server->StatusLines())
      if (line == trouble(5080) || line == trouble(5081)) return true;
    return false;
  }));
  const double cpuBefore = server->CpuSeconds();
  std::this_thread::sleep_for(2s);
  const double cpu = server->CpuSeconds() - cpuBefore;
  for (int port : {5080, 5081}) {
    int reports = 0;
    for (const auto& line : server->StatusLines()) reports += line == trouble(port);
    EXPECT_LE(reports, 1) << "port " << port;
  }
  std::printf("browser ports out of descriptors: %.2f s of CPU in 2 s of waiting\n", cpu);
  EXPECT_LT(cpu, 0.2) << "the listeners must rest, not spin";

  // Descriptors free again: both ports answer within the rest of 500 ms.
  idle.clear();
  ASSERT_TRUE(server->SetDescriptorLimit(1024));
  const auto freed = std::chrono::steady_clock::now();
  Client page(5080);
  page.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1:5080\r\n\r\n");
  EXPECT_TRUE(ReadResponse(page, 1s).starts_with("HTTP/1.1 200"));
  Client socket(5081);
  socket.Send(kHandshake);
  EXPECT_TRUE(ReadResponse(socket, 1s).starts_with("HTTP/1.1 101"));
  EXPECT_LT(std::chrono::steady_clock::now() - freed, 1s);
}

// A browser speaking the JSON protocol, and the room as its messages make it.
struct JsonBrowser {
  std::unique_ptr<QWebSocket> socket;
  QStringList members, lines;  // lines newest first
  QString key;
  QString name;
  bool inRoom = false;
  qint64 said = -1, acked = -1;  // the last line sent, and the last confirmed

  JsonBrowser(WebMembers& test, const QString& theName, const QString& theKey)
      : key(theKey), name(theName) {
    socket = test.Open();
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [this](const QString& text) {
      const QJsonObject news = QJsonDocument::fromJson(text.toUtf8()).object();
      const auto strings = [&](const char* field) {
        QStringList list;
        for (const auto& value : news.value(QLatin1String(field)).toArray())
          list << value.toString();
        return list;
      };
      if (news.contains(QLatin1String("ack"))) acked = news.value(QLatin1String("ack")).toInteger();
      if (news.value(QLatin1String("type")).toString() == QLatin1String("room")) {
        inRoom = true;
        members = strings("members");
        lines = strings("lines");
        return;
      }
      if (news.contains(QLatin1String("members"))) members = strings("members");
      lines = strings("lines") + lines;
      while (lines.size() > 50) lines.removeLast();
    });
    Send({{"type", "join"}, {"name", name}});
  }
  void Send(QJsonObject message) {
    message.insert(QLatin1String("v"), 1);
    message.insert(QLatin1String("key"), key);
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
  }
};

TEST_F(WebMembers, EveryPageShowsWhatAFetchShowsThroughRandomEvents) {
  std::mt19937 random(20261208);
  const QStringList words{QStringLiteral("こんにちは"), QStringLiteral("雨"), QStringLiteral("ok"),
                          QStringLiteral("髙橋"),       QStringLiteral("ｶﾅ"), QStringLiteral("①")};
  const auto text = [&] {
    QString t;
    for (int i = 1 + random() % 3; i > 0; --i) t += words[random() % words.size()];
    return t;
  };
  // Every event below posts exactly one line once carried out; the test
  // knows how many the log holds.
  Client witness;
  witness.Send(Wire("CanEnter?witness/*/~w"));
  ASSERT_FALSE(witness.ReceiveState(1).empty());
  int posted = 8;
  std::vector<std::unique_ptr<JsonBrowser>> browsers;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 4; ++i) {
    browsers.push_back(std::make_unique<JsonBrowser>(*this, QStringLiteral("b%1").arg(i),
                                                     QStringLiteral("k%1").arg(i)));
  }
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>());
    clients.back()->Send(Wire("CanEnter?c" + std::to_string(i) + "/*/~c"));
    clients.back()->Receive(1);
  }
  int checkpoints = 0;
  for (int event = 1; event <= 400; ++event) {
    const int who = random() % 10;
    if (who < 4) {
      JsonBrowser& b = *browsers[who];
      if (random() % 12 == 0) {  // leaves, and another comes in its place
        const QString gone = b.name;
        b.Send({{"type", "leave"}});
        browsers[who] = std::make_unique<JsonBrowser>(*this, QStringLiteral("n%1").arg(event),
                                                      QStringLiteral("n%1").arg(event));
        JsonBrowser& other = *browsers[(who + 1) % 4];
        ASSERT_TRUE(WaitUntil([&] {
          return browsers[who]->inRoom && !other.members.contains(gone) &&
                 other.members.contains(browsers[who]->name);
        }));
        posted += 2;
      } else if (b.inRoom) {
        b.Send({{"type", "say"}, {"text", text()}, {"id", event}});
        b.said = event;
        ++posted;
      }
    } else if (who < 7) {
      clients[who - 4]->Send(Wire("NormalTel" + text().toStdString() + "/*/~c"));
      clients[who - 4]->Receive(1);  // carried out: its reply has begun
      ++posted;
    }
    WaitUntil([] { return false; }, random() % 3);
    if (event % 40 != 0) continue;
    // A checkpoint: once the room is quiet, every page is what a fetch is.
    ++checkpoints;
    ASSERT_TRUE(WaitUntil([&] {
      for (const auto& b : browsers)
        if (!b->inRoom || b->acked < b->said) return false;
      return true;
    }));
    witness.Send(Wire("/Reflesh//*/~w"));
    const std::string state = witness.ReceiveState(std::min(posted, 50));
    const QString reply = QString::fromStdU16String(
        Cp932::Instance().Decode(std::string_view(state.data(), state.size())));
    const qsizetype at = reply.indexOf(QStringLiteral("/*/"));
    QStringList members = reply.left(at).split(QStringLiteral("\r\n"));
    QStringList lines = reply.mid(at + 3).split(QStringLiteral("\r\n"));
    members.removeLast();
    lines.removeLast();
    for (std::size_t i = 0; i < browsers.size(); ++i) {
      const bool same = WaitUntil(
          [&] { return browsers[i]->members == members && browsers[i]->lines == lines; }, 5000);
      ASSERT_TRUE(same) << "checkpoint " << checkpoints << ", page " << i << ":\n"
                        << browsers[i]->members.join(u'|').toStdString() << "\n"
                        << members.join(u'|').toStdString() << "\n"
                        << browsers[i]->lines.join(u'|').toStdString() << "\n"
                        << lines.join(u'|').toStdString();
    }
  }
  EXPECT_EQ(checkpoints, 10);
}

// Reads the handshake's answer on a raw connection; false when none came.
bool Upgraded(const Client& raw) {
  std::string answer;
  while (answer.find("\r\n\r\n") == std::string::npos) {
    const std::string more = raw.Receive(1);
    if (more.empty()) return false;
    answer += more;
  }
  return answer.starts_with("HTTP/1.1 101");
}

TEST_F(WebMembers, EveryEndingReleasesItsConnectionAndStalledHandshakesAreClosed) {
  // A thousand sessions in a row, ended every way a browser's session ends.
  for (int i = 0; i < 1000; ++i) {
    auto socket = Open();
    ASSERT_EQ(socket->state(), QAbstractSocket::ConnectedState) << "session " << i;
    if (i % 5 == 4) continue;  // gone before joining: closed below
    const QString reply = Ask(*socket, QStringLiteral("CanEnter?s%1/*/~k").arg(i), 1);
    ASSERT_TRUE(reply.contains(QStringLiteral("s%1\r\n").arg(i))) << "session " << i;
    switch (i % 5) {
      case 0:  // a tab closed
        socket->close();
        break;
      case 1:  // a reset
        socket->abort();
        break;
      case 2:  // dropped by the room: a key that is not its own
        socket->sendTextMessage(QStringLiteral("/Reflesh//*/~wrong"));
        ASSERT_TRUE(
            WaitUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
        break;
      case 3:  // the server ends it for a message that is no request
        socket->sendBinaryMessage("x");
        ASSERT_TRUE(
            WaitUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
        break;
    }
  }

  // Handshakes that never finish hold every connection the port allows.
  std::vector<std::unique_ptr<Client>> stalled;
  for (int i = 0; i < 64; ++i) {
    stalled.push_back(std::make_unique<Client>(5081));
    stalled.back()->Send("GET / HTTP/1.1\r\nHost: x\r\n");
  }
  const auto since = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < stalled.size(); ++i)
    ASSERT_TRUE(stalled[i]->ClosedByServer(15s)) << "stalled handshake " << i << " never closed";
  std::printf("64 stalled handshakes closed after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
  auto after = Open();
  ASSERT_EQ(after->state(), QAbstractSocket::ConnectedState) << "browsers accepted again";
  EXPECT_TRUE(Ask(*after, QStringLiteral("CanEnter?after/*/~a"), 1).contains(u"after\r\n/*/"));
}

// Reads and drops what comes until marker has come; false when the stream
// ends or the time runs out first.
bool ReadPast(const Client& raw, const std::string& marker, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  std::string seen;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const std::string more = left.count() > 0 ? raw.Receive(1, left) : std::string();
    if (more.empty()) return false;
    seen += more;
    if (seen.find(marker) != std::string::npos) return true;
    if (seen.size() >= marker.size()) seen.erase(0, seen.size() - marker.size() + 1);
  }
}

std::string Repeated(const std::string& unit, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += unit;
  return text;
}

TEST_F(WebMembers, SlowBrowserGetsALargeStateWhole) {
  constexpr int keepAliveMs = 1500;
  server->Stop();
  Start({"VELMOR_TEST_KEEPALIVE_MS=" + std::to_string(keepAliveMs)});
  Client poster;
  poster.Send(Wire("CanEnter?p/*/~p"));
  ASSERT_FALSE(poster.ReceiveState(1).empty());
  // 50 lines of 30,000 characters: a state of 1.5 MB.
  for (int i = 0; i < 50; ++i) {
    poster.Send(Wire("NormalTel" + std::string(30000, 'a' + i % 26) + "/*/~p"));
    ASSERT_FALSE(poster.ReceiveState(std::min(i + 2, 50), 30s).empty());
  }
  auto browser = Open();
  ASSERT_EQ(browser->state(), QAbstractSocket::ConnectedState);
  const QString reply = Ask(*browser, QStringLiteral("CanEnter?b/*/~b"), 50);
  EXPECT_GT(reply.size(), 1450000);
  EXPECT_TRUE(reply.startsWith(QStringLiteral("p\r\nb\r\n/*/"))) << "whole, and still a member";
  EXPECT_EQ(browser->state(), QAbstractSocket::ConnectedState);
  // A page on a slow link, which takes the room in several times the
  // keep-alive and answers no ping meanwhile: what it takes shows it is there.
  browser->close();
  Client slow(5081, 4096);
  slow.Send(kHandshake);
  ASSERT_TRUE(Upgraded(slow));
  slow.Send(TextFrame(R"({"v":1,"type":"join","name":"s","key":"s"})"));
  const auto began = std::chrono::steady_clock::now();
  std::string tail;
  std::size_t taken = 0;
  for (int i = 0; i < 4000 && tail.find("\"type\":\"room\"") == std::string::npos; ++i) {
    const std::string more = slow.Receive(1, 5s);
    if (more.empty()) break;
    taken += more.size();
    tail = tail.substr(tail.size() > 16 ? tail.size() - 16 : 0) + more;
    std::this_thread::sleep_for(10ms);
  }
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GT(taken, 1400000u);
  EXPECT_GT(took, 2 * std::chrono::milliseconds(keepAliveMs)) << "slower than the keep-alive";
  slow.Send(TextFrame(R"({"v":1,"type":"ping"})"));
  EXPECT_TRUE(ReadPast(slow, "\"pong\"", 5s)) << "still a member";
}

// The largest reply of each kind owed to every member at once. The log is 50
// of the longest lines a request can post, of the character that costs each
// kind the most bytes as sent: a two-byte kana for a Pibbet client and for
// a browser asking as one (three bytes of UTF-8), a control character for a
// browser speaking JSON (which has no shorter form for it than a six-byte
// escape); the poster's name is as long. Then 19 members that do not read
// are each owed the whole room. The server stays under its ceiling and
// drops none of them.
TEST_F(WebMembers, TheLargestRepliesOwedToEveryMemberAtOnceStayUnderTheCeiling) {
  constexpr std::size_t longest = MaxSepPos - 10;  // after a 9-character command word
  enum class Kind { Client, Json, Text };
  const struct {
    const char* kind;
    std::string unit;
    Kind members;
  } rows[] = {{"Pibbet clients, kana", "あ", Kind::Client},
              {"browsers speaking JSON, control characters", "\x01", Kind::Json},
              {"browsers asking as clients, kana", "あ", Kind::Text}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    if (&row != &rows[0]) {
      server->Stop();
      Start();
    }
    const std::string unit = Wire(row.unit);
    // The members that are to be owed their replies join first, so that
    // the log is all of the longest lines.
    std::vector<std::unique_ptr<Client>> members;
    const auto join = [](int i) {
      return TextFrame(R"({"v":1,"type":"join","name":"b)" + std::to_string(i) + R"(","key":"k)" +
                       std::to_string(i) + R"("})");
    };
    // What a browser is sent is read up to the answer to a ping after it.
    const auto readAll = [&] {
      for (auto& member : members) {
        member->Send(TextFrame(R"({"v":1,"type":"ping"})"));
        ASSERT_TRUE(ReadPast(*member, "\"pong\"", 60s));
      }
    };
    for (int i = 0; i < 19; ++i) {
      const std::string number = std::to_string(10 + i);
      if (row.members == Kind::Client) {
        members.push_back(std::make_unique<Client>(5000, 4096));
        members.back()->Send(Wire("CanEnter?") + Repeated(unit, longest - 2) + number + "/*/~k");
        ASSERT_FALSE(members.back()->ReceiveState(std::size_t(i) + 1, 30s).empty()) << i;
        continue;
      }
      members.push_back(std::make_unique<Client>(5081, 4096));
      members.back()->Send(kHandshake);
      ASSERT_TRUE(Upgraded(*members.back())) << i;
      if (row.members == Kind::Json) {
        members.back()->Send(join(i));
        ASSERT_TRUE(ReadPast(*members.back(), "\"type\":\"room\"", 60s)) << i;
      } else {
        // Its state ends with the oldest line, the first member's join.
        members.back()->Send(TextFrame("CanEnter?t" + number + "/*/~k"));
        ASSERT_TRUE(ReadPast(*members.back(), "t10さんが参加しました\r\n", 60s)) << i;
      }
    }
    Client poster;
    poster.Send(Wire("CanEnter?") + Repeated(unit, longest) + "/*/~p");
    ASSERT_FALSE(poster.ReceiveState(20, 30s).empty());
    for (int i = 0; i < 50; ++i) {
      poster.Send("NormalTel" + Repeated(unit, longest) + "/*/~p");
      ASSERT_FALSE(poster.ReceiveState(std::min(i + 21, 50), 60s).empty()) << i;
      if (row.members == Kind::Json) {
        ASSERT_NO_FATAL_FAILURE(readAll());
      }
    }
    std::vector<std::unique_ptr<Client>> owed;
    for (int i = 0; i < 19; ++i) {
      if (row.members == Kind::Json) {
        // It comes back on a connection it never reads, owed the room.
        owed.push_back(std::make_unique<Client>(5081, 4096));
        owed.back()->Send(kHandshake);
        ASSERT_TRUE(Upgraded(*owed.back())) << i;
        owed.back()->Send(join(i));
        // The connection it left is closed as taken over.
        ASSERT_EQ(Hear(*members[i], {}, 30s).closeCode, 1001) << i;
        members[i]->Send(CloseFrame(1001));
      } else {
        members[i]->Send(row.members == Kind::Text ? TextFrame("/Reflesh//*/~k")
                                                   : Wire("/Reflesh//*/~k"));
        ASSERT_EQ(members[i]->AwaitAnswer(30s), Client::Answer::Reply);
      }
    }
    poster.Send(Wire("/Reflesh//*/~p"));
    const std::string state = poster.ReceiveState(50, 60s);
    EXPECT_EQ(
        std::count(state.begin(), state.begin() + std::min(state.find("/*/"), state.size()), '\n'),
        20)
        << "every member still in the room";
    EXPECT_EQ(std::count(state.begin(), state.end(), '\n'), 70);
    const long peak = server->PeakResidentKiB();
    std::printf("%s: the state %zu bytes; peak resident %ld KiB\n", row.kind, state.size(), peak);
#ifndef VELMOR_SANITIZED
    EXPECT_LT(peak, kMemoryCeilingKiB);
#endif
  }
}

// Over TLS the costliest room, owed at once to 19 pages that do not read,
// stays under the same ceiling: OpenSSL's buffer for what it encrypted keeps
// the size of the most it was handed at once, so a room handed over whole
// would stay in every member's connection twice.
TEST_F(WebMembers, OverTlsTheLargestRoomsOwedAtOnceStayUnderTheCeiling) {
  server->Stop();
  secure = true;
  Start();
  constexpr std::size_t longest = MaxSepPos - 10;
  std::vector<std::unique_ptr<JsonBrowser>> members;
  for (int i = 0; i < 19; ++i) {
    members.push_back(std::make_unique<JsonBrowser>(*this, QStringLiteral("b%1").arg(i),
                                                    QStringLiteral("k%1").arg(i)));
    ASSERT_TRUE(WaitUntil([&] { return members.back()->inRoom; })) << i;
  }
  Client poster;
  poster.Send("CanEnter?" + std::string(longest, '\x01') + "/*/~p");
  ASSERT_FALSE(poster.ReceiveState(20, 30s).empty());
  for (int i = 0; i < 50; ++i) {
    poster.Send("NormalTel" + std::string(longest, '\x01') + "/*/~p");
    ASSERT_FALSE(poster.ReceiveState(std::min(i + 21, 50), 60s).empty()) << i;
    // The pages take each line as it comes.
    ASSERT_TRUE(WaitUntil(
        [&] {
          return std::all_of(members.begin(), members.end(), [&](const auto& m) {
            return m->lines.size() >= std::min(i + 21, 50);
          });
        },
        60000))
        << i;
  }
  // Each comes back on a connection that reads no more than its handshake's
  // answer, and is owed the whole room.
  std::vector<std::unique_ptr<QSslSocket>> owed;
  std::string handshake = kHandshake;
  handshake.replace(handshake.find("GET / "), 6, "GET /chat ");
  handshake.replace(handshake.find("127.0.0.1:5081"), 14, "127.0.0.1:5080");
  handshake.replace(handshake.find("http://127.0.0.1:5080"), 21, PageOrigin().toStdString());
  for (int i = 0; i < 19; ++i) {
    owed.push_back(std::make_unique<QSslSocket>());
    QSslSocket& socket = *owed.back();
    socket.setSslConfiguration(trusted);
    socket.setReadBufferSize(4096);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), 5080);
    ASSERT_TRUE(WaitUntil([&] { return socket.isEncrypted(); })) << i;
    socket.write(QByteArray::fromStdString(handshake));
    ASSERT_TRUE(WaitUntil([&] { return socket.peek(4096).contains("\r\n\r\n"); })) << i;
    socket.write(QByteArray::fromStdString(TextFrame(R"({"v":1,"type":"join","name":"b)" +
                                                     std::to_string(i) + R"(","key":"k)" +
                                                     std::to_string(i) + R"("})")));
    ASSERT_TRUE(WaitUntil(
        [&] { return members[i]->socket->state() == QAbstractSocket::UnconnectedState; }, 30000))
        << "taken over: " << i;
  }
  poster.Send("/Reflesh//*/~p");
  const std::string state = poster.ReceiveState(50, 60s);
  EXPECT_EQ(
      std::count(state.begin(), state.begin() + std::min(state.find("/*/"), state.size()), '\n'),
      20)
      << "every member still in the room";
  const long peak = server->PeakResidentKiB();
  std::printf("over TLS: peak resident %ld KiB\n", peak);
#ifndef VELMOR_SANITIZED
  EXPECT_LT(peak, kMemoryCeilingKiB);
#endif
}

TEST_F(WebMembers, WhatAConnectionMakesTheServerQueueCountsAgainstItsBound) {
  // Pings, each answered with a pong, from a socket that never reads.
  Client flood(5081, 4096);
  flood.Send(kHandshake);
  ASSERT_TRUE(Upgraded(flood));
  const std::string ended = "127.0.0.1:" + std::to_string(flood.LocalPort()) +
                            "(127.0.0.1)でエラーにより、この接続を切ります";
  std::string pings;
  const std::string payload(125, 'p');
  for (int i = 0; i < 8000; ++i) {  // 1 MB
    pings += std::string{'\x89', static_cast<char>(0x80 | 125), 1, 2, 3, 4};
    for (std::size_t k = 0; k < payload.size(); ++k)
      pings += static_cast<char>(payload[k] ^ (1 + k % 4));
  }
  long peak = 0;
  int sent = 0;
  for (; sent < 400 && !server->WaitForStatus(ended, 1, 0ms); ++sent) {
    flood.Send(pings);
    peak = std::max(peak, server->PeakResidentKiB());
  }
  std::printf("ping flood: ended after %d MB sent; peak resident %ld KiB\n", sent, peak);
  EXPECT_TRUE(server->WaitForStatus(ended)) << "the flood was never ended";
  EXPECT_TRUE(server->Running());
#ifndef VELMOR_SANITIZED
  EXPECT_LT(peak, kMemoryCeilingKiB);
#endif
  // The room goes on.
  auto after = Open();
  EXPECT_FALSE(Ask(*after, QStringLiteral("CanEnter?a/*/~a"), 1).isEmpty());
}

TEST_F(WebMembers, FramesAndAcknowledgementsFollowTheProtocol) {
  // A text message's UTF-8 is judged as a whole (RFC 6455 5.6, 8.1): a
  // character may be cut anywhere between frames, which a proxy may cut
  // again (5.4), and control frames may come between them. Each message
  // joins the room as a Pibbet client does, or the server closes with a code.
  const std::string join = "CanEnter?";
  const std::string rest = "/*/~k";
  const std::string ping = ClientFrame(9, "p");
  const auto joined = [](const std::string& name) {
    return "【お知らせ！】" + name + "さんが参加しました";
  };
  const auto plus = [](std::vector<std::string> frames, std::size_t at, const std::string& frame) {
    frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(at), frame);
    return frames;
  };
  const struct {
    const char* fault;
    std::vector<std::string> frames;
    std::string name;   // the member it joins as, or
    int closeCode = 0;  // the code it is closed with
  } framing[] = {
      // A client's frames are masked (RFC 6455 5.1).
      {"a frame without a mask",
       {std::string{'\x81', static_cast<char>(join.size() + 5)} + join + "plain" + rest},
       {},
       1002},
      {"a kana split between two frames", Fragments(join + "かな" + rest, {join.size() + 2}),
       "かな"},
      {"a first fragment that ends in a lead byte",
       Fragments(join + "かな" + rest, {join.size() + 1}), "かな"},
      {"a kana over three frames with a ping between them",
       plus(Fragments(join + "かな" + rest, {join.size() + 1, join.size() + 2}), 1, ping), "かな"},
      {"a four-byte character a byte a frame, one of them empty",
       Fragments(join + "\U0001F600" + rest,
                 {join.size() + 1, join.size() + 2, join.size() + 2, join.size() + 3}),
       "\U0001F600"},
      {"invalid UTF-8 in one frame", {TextFrame(join + "\xC3\x28" + rest)}, {}, 1007},
      {"a message that ends inside a character",
       Fragments(join + "x" + rest + "\xE3\x81", {join.size() + 1}),
       {},
       1007},
      {"an overlong form split between frames",
       Fragments(join + "\xC0\xAF" + rest, {join.size() + 1}),
       {},
       1007},
      {"a binary message", {ClientFrame(2, join + "bin" + rest)}, {}, 1003},
      {"a text frame inside a fragmented message",
       {ClientFrame(1, join, false), ClientFrame(1, "t" + rest)},
       {},
       1002},
      {"a continuation with nothing to continue", {ClientFrame(0, join + "c" + rest)}, {}, 1002},
  };
  for (const auto& row : framing) {
    // Sent at once, and a byte a segment as a slow network may deliver it.
    for (const bool trickle : {false, true}) {
      Client raw(5081);
      raw.Send(kHandshake);
      ASSERT_TRUE(Upgraded(raw)) << row.fault;
      std::string bytes;
      for (const std::string& frame : row.frames) bytes += frame;
      if (trickle) {
        for (const char byte : bytes) raw.Send(std::string(1, byte));
      } else {
        raw.Send(bytes);
      }
      const std::string line = row.name.empty() ? std::string() : joined(row.name);
      const Heard heard = Hear(raw, [&](const Heard& h) { return !line.empty() && h.Said(line); });
      const std::string how = std::string(row.fault) + (trickle ? ", a byte a segment" : "");
      EXPECT_EQ(heard.closeCode, row.closeCode ? row.closeCode : -1) << how;
      if (!line.empty()) {
        EXPECT_TRUE(heard.Said(line)) << how;
      }
      if (row.closeCode) {
        raw.Send(CloseFrame(row.closeCode));
        EXPECT_TRUE(raw.ClosedByServer()) << how;
      }
    }
  }
  // The acknowledgement is the highest id carried out; a line whose id is
  // not above it is one sent again (after a reconnection) and is not posted
  // twice; a line without an id leaves the acknowledgement as it was.
  JsonBrowser browser(*this, QStringLiteral("acks"), QStringLiteral("k"));
  ASSERT_TRUE(WaitUntil([&] { return browser.inRoom; }));
  QList<qint64> acks;
  QObject::connect(browser.socket.get(), &QWebSocket::textMessageReceived,
                   [&](const QString& text) {
                     const QJsonObject news = QJsonDocument::fromJson(text.toUtf8()).object();
                     if (news.contains(QLatin1String("ack")))
                       acks << news.value(QLatin1String("ack")).toInteger();
                   });
  const struct {
    const char* text;
    qint64 id;  // -1: none
    bool posted;
  } lines[] = {{"ten", 10, true}, {"three", 3, false}, {"ten", 10, false}, {"none", -1, true}};
  for (const auto& line : lines) {
    QJsonObject say{{"type", "say"}, {"text", QString::fromUtf8(line.text)}};
    if (line.id >= 0) say.insert(QLatin1String("id"), line.id);
    const qsizetype acksBefore = acks.size();
    browser.Send(say);
    // Each is answered: with the line it posted, or with the ack alone.
    ASSERT_TRUE(WaitUntil([&] { return acks.size() > acksBefore; })) << line.text;
  }
  EXPECT_EQ(browser.lines.filter(QStringLiteral("〔acks〕")),
            QStringList({QStringLiteral("〔acks〕none"), QStringLiteral("〔acks〕ten")}));
  EXPECT_EQ(browser.acked, 10);
  for (const qint64 ack : acks) EXPECT_EQ(ack, 10) << "acknowledgements seen: " << acks.size();
  // A line sent as soon as the one before it is confirmed goes out at once:
  // a confirmation opens no news frame to hold the next line back. Timed
  // against a ping's answer, asked at the same moment after a confirmation.
  {
    bool ponged = false;
    const auto pong = QObject::connect(browser.socket.get(), &QWebSocket::textMessageReceived,
                                       [&](const QString& text) {
                                         if (text.contains(QLatin1String("\"pong\"")))
                                           ponged = true;
                                       });
    std::vector<qint64> lineNs, pingNs;
    QElapsedTimer clock;
    for (int round = 0; round < 15; ++round) {
      const qint64 id = 100 + round;
      const QString text = QStringLiteral("〔acks〕next%1").arg(round);
      clock.start();
      browser.Send({{"type", "say"}, {"text", text.mid(6)}, {"id", id}});
      ASSERT_TRUE(WaitUntil([&] { return browser.lines.value(0) == text; })) << round;
      lineNs.push_back(clock.nsecsElapsed());
      ASSERT_TRUE(WaitUntil([&] { return browser.acked == id; })) << round;
      ponged = false;
      clock.start();
      browser.Send({{"type", "ping"}});
      ASSERT_TRUE(WaitUntil([&] { return ponged; })) << round;
      pingNs.push_back(clock.nsecsElapsed());
    }
    QObject::disconnect(pong);
    std::sort(lineNs.begin(), lineNs.end());
    std::sort(pingNs.begin(), pingNs.end());
    EXPECT_LE(lineNs[7], 5 * pingNs[7])
        << "median line " << lineNs[7] / 1000 << " us, ping " << pingNs[7] / 1000 << " us";
  }
  // The largest id a page counts exactly is counted, and confirmed as sent.
  constexpr qint64 largest = (qint64{1} << 53) - 1;
  browser.Send({{"type", "say"}, {"text", "top"}, {"id", largest}});
  ASSERT_TRUE(WaitUntil([&] { return !acks.empty() && acks.last() == largest; }));
  EXPECT_TRUE(browser.lines.contains(QStringLiteral("〔acks〕top")));
  // Characters JSON would escape in six bytes reach a page in three: a
  // client's control characters as their pictures (a tab as it is), half a
  // surrogate pair as U+FFFD.
  Client client;
  client.Send(
      Wire("CanEnter?\x01"
           "c\x1f/*/~c"));
  ASSERT_FALSE(client.ReceiveState(1).empty());
  client.Send(Wire("NormalTel\x01\tline\x1b/*/~c"));
  ASSERT_FALSE(client.ReceiveState(1).empty());
  browser.Send({{"type", "say"}, {"text", QString(QChar(0xD800)) + QStringLiteral("half")}});
  ASSERT_TRUE(WaitUntil([&] {
    return browser.lines.size() >= 2 && browser.lines[0].contains(QStringLiteral("half"));
  }));
  EXPECT_EQ(browser.lines.mid(0, 2),
            QStringList({QStringLiteral("〔acks〕\uFFFDhalf"), QStringLiteral("〔␁c␟〕␁\tline␛")}));
  EXPECT_TRUE(browser.members.contains(QStringLiteral("␁c␟")));
}

TEST_P(WebMembersOver, APageThatComesBackKeepsItsPlaceAndItsLinesAreCarriedOutOnce) {
  server->Stop();
  Start({"VELMOR_TEST_GRACE_MS=3000"});
  Client witness;
  int posted = 0;
  // The room as a Pibbet client's fetch shows it: members, then the log.
  const auto fetch = [&] {
    witness.Send(Wire(posted == 0 ? "CanEnter?w/*/~w" : "/Reflesh//*/~w"));
    if (posted == 0) posted = 1;
    const std::string state = witness.ReceiveState(std::min(posted, 50));
    const QString reply = QString::fromStdU16String(
        Cp932::Instance().Decode(std::string_view(state.data(), state.size())));
    return std::make_pair(reply.left(reply.indexOf(QStringLiteral("/*/"))),
                          reply.mid(reply.indexOf(QStringLiteral("/*/")) + 3));
  };
  const QString joined = QStringLiteral("【お知らせ！】phoneさんが参加しました");
  const QString left = QStringLiteral("【お知らせ】phoneさんが退室されました");
  fetch();
  // Another page, to wait on: its news says when the room has changed.
  JsonBrowser eye(*this, QStringLiteral("eye"), QStringLiteral("ek"));
  ASSERT_TRUE(WaitUntil([&] { return eye.inRoom; }));
  ++posted;
  auto phone = std::make_unique<JsonBrowser>(*this, QStringLiteral("phone"), QStringLiteral("pk"));
  ASSERT_TRUE(WaitUntil([&] { return phone->inRoom; }));
  phone->Send({{"type", "say"}, {"text", "one"}, {"id", 1}});
  ASSERT_TRUE(WaitUntil([&] { return phone->acked == 1; }));
  posted += 2;

  // The socket dies; the page comes back on a new connection, and then
  // again while the last one still looks alive. Each time it says again
  // what it had said; once, the room took it, and its next line.
  const auto comeBack = [&](bool resetFirst, int id) {
    if (resetFirst) phone->socket->abort();
    auto again =
        std::make_unique<JsonBrowser>(*this, QStringLiteral("phone"), QStringLiteral("pk"));
    EXPECT_TRUE(WaitUntil([&] { return again->inRoom; })) << "id " << id;
    EXPECT_EQ(again->acked, id - 1) << "the room says what it took";
    again->Send({{"type", "say"}, {"text", QString::number(id - 1)}, {"id", id - 1}});
    again->Send({{"type", "say"}, {"text", QStringLiteral("line %1").arg(id)}, {"id", id}});
    EXPECT_TRUE(WaitUntil([&] { return again->acked == id; })) << "id " << id;
    ++posted;
    if (!resetFirst) {
      EXPECT_TRUE(WaitUntil([&] {
        return phone->socket->state() == QAbstractSocket::UnconnectedState;
      })) << "the page's old connection is closed";
    }
    phone = std::move(again);
    const auto [members, log] = fetch();
    EXPECT_EQ(members, QStringLiteral("w\r\neye\r\nphone\r\n")) << "listed once, id " << id;
    EXPECT_EQ(log.count(joined), 1) << log.toStdString();
    EXPECT_FALSE(log.contains(left)) << log.toStdString();
    EXPECT_TRUE(log.startsWith(QStringLiteral("〔phone〕line %1\r\n").arg(id)))
        << log.toStdString();
  };
  comeBack(true, 2);
  comeBack(false, 3);
  EXPECT_EQ(fetch().second.count(QStringLiteral("〔phone〕")), 3) << "each line posted once";

  // 退室 leaves at once; a page gone for good leaves when the grace runs out.
  phone->Send({{"type", "leave"}});
  ++posted;
  const auto leaving = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return eye.lines.value(0) == left; }));
  EXPECT_LT(std::chrono::steady_clock::now() - leaving, 2s);
  EXPECT_TRUE(fetch().second.startsWith(left + QStringLiteral("\r\n")));
  auto gone = std::make_unique<JsonBrowser>(*this, QStringLiteral("gone"), QStringLiteral("gk"));
  ASSERT_TRUE(WaitUntil([&] { return gone->inRoom; }));
  ++posted;
  ASSERT_TRUE(WaitUntil([&] { return eye.members.contains(QStringLiteral("gone")); }));
  gone->socket->abort();
  EXPECT_EQ(fetch().first, QStringLiteral("w\r\neye\r\ngone\r\n")) << "kept during the grace";
  ASSERT_TRUE(WaitUntil([&] { return !eye.members.contains(QStringLiteral("gone")); }, 10000))
      << "left once the grace ran out";
  ++posted;
  const QString afterGrace = fetch().second;
  EXPECT_TRUE(afterGrace.startsWith(QStringLiteral("【お知らせ】goneさんが退室されました")))
      << afterGrace.toStdString();

  // A full room: the member away longest makes room for a newcomer, yet a
  // page that comes back to a full room takes its own place again.
  std::vector<std::unique_ptr<JsonBrowser>> crowd;
  for (int i = 0; i < 18; ++i) {
    crowd.push_back(std::make_unique<JsonBrowser>(*this, QStringLiteral("f%1").arg(i),
                                                  QStringLiteral("k%1").arg(i)));
    ASSERT_TRUE(WaitUntil([&] { return crowd.back()->inRoom; })) << i;
    ++posted;
  }
  crowd[4]->socket->abort();
  crowd[9]->socket->abort();
  EXPECT_EQ(fetch().first.count(QStringLiteral("\r\n")), 20) << "the room is full";
  // One more page opens its connection while there is a place to take.
  auto third = Open();
  ASSERT_EQ(third->state(), QAbstractSocket::ConnectedState);
  auto back = std::make_unique<JsonBrowser>(*this, QStringLiteral("f9"), QStringLiteral("k9"));
  ASSERT_TRUE(WaitUntil([&] { return back->inRoom; })) << "came back to a full room";
  auto newcomer = std::make_unique<JsonBrowser>(*this, QStringLiteral("new"), QStringLiteral("n"));
  ASSERT_TRUE(WaitUntil([&] { return newcomer->inRoom; })) << "took the place of f4";
  posted += 2;
  // Its join comes when the place is gone: the room is full, and it is told.
  third->sendTextMessage(QStringLiteral(R"({"v":1,"type":"join","name":"third","key":"t"})"));
  ASSERT_TRUE(WaitUntil([&] { return third->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(third->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
  EXPECT_EQ(third->closeReason(), QStringLiteral("room full"));
  const auto [members, log] = fetch();
  EXPECT_FALSE(members.contains(QStringLiteral("f4\r\n"))) << members.toStdString();
  EXPECT_TRUE(members.contains(QStringLiteral("f9\r\n"))) << members.toStdString();
  EXPECT_TRUE(log.startsWith(QStringLiteral(
      "【お知らせ！】newさんが参加しました\r\n【お知らせ】f4さんが退室されました\r\n")))
      << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Scheme, WebMembersOver, ::testing::Values("http", "https"),
                         [](const auto& info) { return std::string(info.param); });

// A page that comes back while its old connection still looks alive (a
// network change, a phone waking up) takes its own place again, however
// full the room: its new connection has no seat until it joins.
TEST_F(WebMembers, APageComingBackToARoomFullOfClientsTakesItsOwnPlace) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 19; ++i) {
    clients.push_back(std::make_unique<Client>());
    clients.back()->Send(Wire("CanEnter?c" + std::to_string(i) + "/*/~k"));
    ASSERT_FALSE(clients.back()->ReceiveState(std::size_t(i) + 1).empty()) << i;
  }
  JsonBrowser phone(*this, QStringLiteral("phone"), QStringLiteral("pk"));
  ASSERT_TRUE(WaitUntil([&] { return phone.inRoom; }));
  JsonBrowser again(*this, QStringLiteral("phone"), QStringLiteral("pk"));
  ASSERT_TRUE(WaitUntil(
      [&] { return again.inRoom || again.socket->state() != QAbstractSocket::ConnectedState; }));
  EXPECT_TRUE(again.inRoom) << "closed with " << again.socket->closeCode() << " "
                            << again.socket->closeReason().toStdString();
  EXPECT_TRUE(WaitUntil([&] { return phone.socket->state() == QAbstractSocket::UnconnectedState; }))
      << "the old connection is closed";
  clients[0]->Send(Wire("/Reflesh//*/~k"));
  const std::string state = clients[0]->ReceiveState(20);
  EXPECT_EQ(state.find(Wire("phoneさんが退室")), std::string::npos);
  EXPECT_EQ(state.substr(0, state.find("/*/")).find("phone\r\n"),
            state.substr(0, state.find("/*/")).rfind("phone\r\n"))
      << "listed once";
  EXPECT_NE(state.find(Wire("c18\r\nphone\r\n/*/")), std::string::npos) << "in its own slot, 20";
}

TEST_F(WebMembers, AServerPausedLongerThanTheKeepAliveKeepsTheMembersThatAnswer) {
  server->Stop();
  Start({"VELMOR_TEST_KEEPALIVE_MS=900"});
  auto alive = Open();
  ASSERT_EQ(alive->state(), QAbstractSocket::ConnectedState);
  Ask(*alive, QStringLiteral("CanEnter?alive/*/~a"), 1);
  const std::string dropped = "でエラーにより、この接続を切ります";
  ::kill(server->Pid(), SIGSTOP);
  std::this_thread::sleep_for(3s);
  ::kill(server->Pid(), SIGCONT);
  // Three keep-alive spells with this side answering every ping.
  const bool droppedAfter = WaitUntil(
      [&] {
        for (const auto& line : server->StatusLines())
          if (line.ends_with(dropped)) return true;
        return false;
      },
      2700);
  EXPECT_FALSE(droppedAfter) << "a member that answers was dropped for the server's own pause";
  const QString reply = Ask(*alive, QStringLiteral("/Reflesh//*/~a"), 1);
  EXPECT_TRUE(reply.startsWith(QStringLiteral("alive\r\n/*/"))) << reply.toStdString();
}

// Every close the server starts is a closing handshake: a Close frame whose
// code says why, and the connection closed once the client has answered it.
TEST_F(WebMembers, EveryCloseTheServerStartsSaysWhyInAClosingHandshake) {
  Client witness;
  witness.Send(Wire("CanEnter?w/*/~w"));
  ASSERT_FALSE(witness.ReceiveState(1).empty());
  // A name one character longer than a client's line could carry.
  const std::string tooLong(MaxSepPos - 9, 'x');
  // A member that joins and says a line with the id given.
  const auto Said = [](const std::string& id) {
    return std::vector<std::string>{
        TextFrame(R"({"v":1,"type":"join","name":"counter","key":"k"})"),
        TextFrame(R"({"v":1,"type":"say","text":"x","key":"k","id":)" + id + "}")};
  };
  const struct {
    const char* fault;
    std::vector<std::string> frames;
    int closeCode;
    bool failure;  // the status line names the connection's failure
  } closes[] = {
      {"leave",
       {TextFrame(R"({"v":1,"type":"join","name":"leaver","key":"k"})"),
        TextFrame(R"({"v":1,"type":"leave","key":"k"})")},
       1000,
       false},
      {"a version other than 1",
       {TextFrame(R"({"v":2,"type":"join","name":"a","key":"k"})")},
       1008,
       true},
      {"a name with the separator",
       {TextFrame(R"({"v":1,"type":"join","name":"a/*/~b","key":"k"})")},
       1008,
       true},
      {"a name the room would drop as too long",
       {TextFrame(R"({"v":1,"type":"join","name":")" + tooLong + R"(","key":"k"})")},
       1008,
       true},
      {"an unknown type", {TextFrame(R"({"v":1,"type":"dance"})")}, 1008, true},
      {"a JSON object cut short", {TextFrame(R"({"v":1,"type":"join")")}, 1008, true},
      {"a key not its own",
       {TextFrame("CanEnter?keyed/*/~k"), TextFrame("/Reflesh//*/~wrong")},
       1008,
       false},
      // Ids a page cannot count exactly: refused, not taken as no id.
      {"an id of 2^64", Said("18446744073709551616"), 1008, true},
      {"an id of 2^63 - 1", Said("9223372036854775807"), 1008, true},
      {"an id of 2^53", Said("9007199254740992"), 1008, true},
      {"a negative id", Said("-7"), 1008, true},
      {"a fractional id", Said("1.5"), 1008, true},
      {"an id in a string", Said(R"("9")"), 1008, true},
      {"a binary message", {ClientFrame(2, "CanEnter?a/*/~k")}, 1003, true},
      {"invalid UTF-8", {TextFrame("CanEnter?\xFF/*/~k")}, 1007, true},
      {"a message over 64 KiB", {TextFrame(std::string(64 * 1024 + 1, 'x'))}, 1009, false},
  };
  int failures = 0;
  for (const auto& row : closes) {
    Client raw(5081);
    raw.Send(kHandshake);
    ASSERT_TRUE(Upgraded(raw)) << row.fault;
    for (const std::string& frame : row.frames) raw.Send(frame);
    EXPECT_EQ(Hear(raw).closeCode, row.closeCode) << row.fault;
    raw.Send(CloseFrame(row.closeCode));
    EXPECT_TRUE(raw.ClosedByServer()) << row.fault;
    failures += row.failure;
  }
  // The refused joins never reached the room; each refusal is the failure
  // of its connection, named on the status line, whatever the room would
  // have made of it.
  witness.Send(Wire("/Reflesh//*/~w"));
  const std::string state = witness.ReceiveState(4);
  EXPECT_TRUE(state.starts_with(Wire("w\r\n/*/"))) << "nobody stays";
  EXPECT_EQ(state.find(Wire("【お知らせ！】aさんが参加しました")), std::string::npos);
  EXPECT_EQ(state.find(Wire("〔counter〕x")), std::string::npos) << "no uncountable line posted";
  // Only the two that joined took a seat (the operator's accept status
  // comes with the join).
  const auto named = [&] {
    int n = 0;
    for (const auto& line : server->StatusLines())
      n += line.ends_with("でエラーにより、この接続を切ります");
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return named() >= failures; }));
  int accepted = 0;
  for (const auto& line : server->StatusLines()) {
    accepted += line == "Pibbetより接続を受け付けました";
    EXPECT_NE(line, "無効接続により一部閉じました");
  }
  EXPECT_EQ(named(), failures);
  EXPECT_EQ(accepted, 9) << "the witness, leaver, keyed and the six counters";

  // A server that stops says so to its members, and a client that never
  // answers the Close frame does not hold the server's end.
  Client member(5081);
  member.Send(kHandshake);
  ASSERT_TRUE(Upgraded(member));
  member.Send(TextFrame(R"({"v":1,"type":"join","name":"last","key":"k"})"));
  ASSERT_TRUE(Hear(member, [](const Heard& h) { return h.Said(R"("type":"room")"); }).Said("last"));
  const int status = server->Stop();
  server.reset();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Hear(member).closeCode, 1001) << "going away";
}

TEST(WebPort, OnTheDefaultPortThePageNamesItsWebSocketWithoutAPort) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {}, {"--no-window", "--web", "80"});
  ASSERT_TRUE(server.WaitForStderr("the page is at")) << server.Stderr();
  // A browser leaves the default port out of the Host it names.
  Client http(80);
  http.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string page = ReadResponse(http);
  EXPECT_NE(page.find("connect-src ws://127.0.0.1/chat;"), std::string::npos)
      << page.substr(0, 600);
  // Its own address, and the next port that pages served before used.
  for (const char* target : {"127.0.0.1/chat", "127.0.0.1:81/"}) {
    const std::string_view address(target);
    const std::size_t slash = address.find('/');
    Client socket(slash == 9 ? 80 : 81);
    socket.Send("GET " + std::string(address.substr(slash)) +
                " HTTP/1.1\r\nHost: " + std::string(address.substr(0, slash)) +
                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                "Origin: http://127.0.0.1\r\n\r\n");
    EXPECT_TRUE(ReadResponse(socket).starts_with("HTTP/1.1 101"))
        << "the page's own origin at " << target;
  }
}

TEST(WebPort, HeldPortIsReportedAndTheChatServerGoesOn) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::Any, 6080));
  VelmorProcess server({}, {}, {"--no-window", "--web", "6080"});
  ASSERT_TRUE(server.WaitForStderr("velmor: status: ポート6080でブラウザ用ページを開けません["))
      << server.Stderr();
  EXPECT_NE(server.Stderr().find("velmor: ポート6080でブラウザ用ページを開けません"),
            std::string::npos)
      << "said on standard error too";
  Client client;
  const std::string expected = Wire("a\r\n/*/【お知らせ！】aさんが参加しました\r\n");
  EXPECT_EQ(client.Exchange(Wire("CanEnter?a/*/~k"), expected.size()), expected);
}

// Everything that crosses loopback while it is open, as a capture on the
// test's interface sees it (the test's namespace is its own).
class Capture {
 public:
  Capture() {
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
    const int size = 16 << 20;
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  }
  ~Capture() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open() const { return fd_ >= 0; }
  // What came since the last call.
  std::string Take() {
    std::string all;
    char packet[65536];
    for (ssize_t n; (n = ::recv(fd_, packet, sizeof packet, 0)) > 0;) all.append(packet, n);
    return all;
  }

 private:
  int fd_ = -1;
};

// Whether text appears in what was captured, as it is or as a browser's
// WebSocket frame carries it, masked with the four bytes before its payload
// (RFC 6455 5.3: no secret, only a defence against caching proxies).
bool Readable(const std::string& captured, const std::string& text) {
  if (captured.find(text) != std::string::npos) return true;
  constexpr std::size_t window = 1024;
  std::string unmasked;
  for (std::size_t mask = 0; mask + 4 < captured.size(); ++mask) {
    const std::size_t end = std::min(captured.size(), mask + 4 + window);
    unmasked.assign(captured, mask + 4, end - mask - 4);
    for (std::size_t i = 0; i < unmasked.size(); ++i) unmasked[i] ^= captured[mask + i % 4];
    if (unmasked.find(text) != std::string::npos) return true;
  }
  return false;
}

// A member's key and lines cross the network in clear text only when the
// page's port speaks plain HTTP; over TLS a capture finds neither, though it
// sees the connection's bytes (the plain run shows that it would find them).
TEST_P(WebMembersOver, TheKeyAndTheLinesAreReadableOnTheWireOnlyWithoutTls) {
  Capture capture;
  ASSERT_TRUE(capture.Open()) << "a packet socket in the test's namespace: "
                              << std::strerror(errno);
  const QString key = QStringLiteral("key-5f3a9c1e-the-members-secret");
  const QString line = QStringLiteral("秘密の待ち合わせは三時");
  std::string seen;
  {
    JsonBrowser phone(*this, QStringLiteral("phone"), key);
    ASSERT_TRUE(WaitUntil([&] { return phone.inRoom; }));
    phone.Send({{"type", "say"}, {"text", line}, {"id", 1}});
    ASSERT_TRUE(WaitUntil([&] { return phone.acked == 1 && phone.lines.value(0).contains(line); }));
    seen = capture.Take();
  }
  // Both ways: what the page sent, and the room it was sent.
  const bool keySeen = Readable(seen, key.toStdString());
  const bool lineSeen = Readable(seen, line.toStdString());
  EXPECT_GT(seen.size(), 2000U) << "the capture saw the connection";
  if (secure) {
    EXPECT_FALSE(keySeen) << "the key crossed in clear text";
    EXPECT_FALSE(lineSeen) << "the line crossed in clear text";
  } else {
    EXPECT_TRUE(keySeen && lineSeen) << "without TLS the capture reads both";
  }
}

// openssl's own client, as a scanner of TLS profiles uses it: its output,
// with what it was given to send.
std::string OpenSslClient(const QStringList& arguments, const QByteArray& input = {}) {
  QProcess openssl;
  openssl.setProcessChannelMode(QProcess::MergedChannels);
  openssl.start(QStringLiteral("openssl"),
                QStringList{"s_client", "-connect", "127.0.0.1:5080"} + arguments);
  if (!openssl.waitForStarted(10000)) return "openssl did not start";
  // Renegotiation is asked for by an R at the start of a line, once the
  // handshake is done.
  if (!input.isEmpty()) {
    WaitUntil([&] {
      openssl.waitForReadyRead(100);
      return openssl.peek(1 << 20).contains("---\n") || openssl.state() != QProcess::Running;
    });
    openssl.write(input);
  }
  openssl.closeWriteChannel();
  openssl.waitForFinished(15000);
  return openssl.readAll().toStdString();
}

TEST_F(WebMembers, OverTlsThePortHoldsToTheHardenedProfileAndRedirectsPlainHttp) {
  server->Stop();
  secure = true;
  Start();
  const std::string logged = server->Stderr();
  EXPECT_NE(logged.find("the page is at https://"), std::string::npos) << logged;
  const std::size_t at = logged.find("SHA-256 ");
  ASSERT_NE(at, std::string::npos) << logged;
  const std::string fingerprint = logged.substr(at + 8, 95);
  EXPECT_EQ(
      QByteArray::fromStdString(fingerprint),
      trusted.caCertificates().value(0).digest(QCryptographicHash::Sha256).toHex(':').toUpper())
      << "the fingerprint shown is the certificate's";
  const std::regex shown(
      "velmor: status: ブラウザ用ページ https://[0-9.]+:5080/ で待機中 "
      "証明書SHA-256 " +
      fingerprint + "\n");
  EXPECT_TRUE(std::regex_search(logged, shown)) << "and on the status line:\n" << logged;

  struct Handshake {
    const char* description;
    QStringList arguments;
    QByteArray input;
    const char* expected;  // in openssl's output
  };
  const Handshake handshakes[] = {
      {"TLS 1.3", {"-tls1_3"}, {}, "New, TLSv1.3, Cipher is TLS_"},
      {"TLS 1.2, forward secret", {"-tls1_2"}, {}, "New, TLSv1.2, Cipher is ECDHE-"},
      {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, {}, "Cipher is (NONE)"},
      {"TLS 1.2 without forward secrecy",
       {"-tls1_2", "-cipher", "AES128-GCM-SHA256"},
       {},
       "Cipher is (NONE)"},
      {"TLS 1.2 in CBC mode",
       {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA256"},
       {},
       "Cipher is (NONE)"},
      {"renegotiation asked for by the client", {"-tls1_2"}, "R\n", "no renegotiation"},
  };
  for (const Handshake& row : handshakes) {
    const std::string said = OpenSslClient(row.arguments, row.input);
    EXPECT_NE(said.find(row.expected), std::string::npos) << row.description << ":\n" << said;
    if (std::string(row.expected).starts_with("New, ")) {
      EXPECT_NE(said.find("Compression: NONE"), std::string::npos) << row.description;
    }
  }

  // Plain HTTP on the port is sent to https, and a WebSocket in clear text
  // is not taken; the next port, which pages served before used, is closed.
  Client http(5080);
  http.Send("GET /?x=1 HTTP/1.1\r\nHost: chat.example:5080\r\n\r\n");
  const std::string redirect = ReadResponse(http);
  EXPECT_TRUE(redirect.starts_with("HTTP/1.1 307 ")) << redirect;
  EXPECT_NE(QByteArray::fromStdString(redirect).toLower().indexOf(
                "location: https://chat.example:5080/?x=1\r\n"),
            -1)
      << redirect;
  Client plainSocket(5080);
  plainSocket.Send(kHandshake);
  EXPECT_TRUE(ReadResponse(plainSocket).starts_with("HTTP/1.1 400 ")) << "no upgrade in clear text";
  QTcpSocket next;
  next.connectToHost(QHostAddress::LocalHost, 5081);
  EXPECT_FALSE(next.waitForConnected(3000)) << "the next port stays closed";
}

// Files that cannot be served are said at the start, on the status line and
// standard error, and nothing listens for browsers; the chat port serves.
// SIGHUP reads renewed files again and keeps every member.
TEST(WebTls, ABadCertificateIsSaidAndARenewedOneIsTakenWithoutDroppingAnyone) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  QTemporaryDir files;
  ASSERT_TRUE(files.isValid());
  const auto own = [&](const QString& name, const QDateTime& from) {
    QString why;
    const auto pem = tls::MakeSelfSigned({QStringLiteral("localhost")},
                                         {QHostAddress(QHostAddress::LocalHost)}, from, 30, why);
    QFile certificate(files.filePath(name + ".pem"));
    QFile key(files.filePath(name + ".key"));
    return pem && certificate.open(QIODevice::WriteOnly) &&
           certificate.write(pem->certificate) == pem->certificate.size() &&
           key.open(QIODevice::WriteOnly) && key.write(pem->key) == pem->key.size() &&
           key.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  };
  const QDateTime now = QDateTime::currentDateTimeUtc();
  ASSERT_TRUE(own("expired", now.addDays(-31)) && own("first", now.addSecs(-60)) &&
              own("renewed", now.addSecs(-30)));
  const auto args = [&](const QString& name) {
    return std::vector<std::string>{"--no-window", "--web-cert",
                                    files.filePath(name + ".pem").toStdString(), "--web-key",
                                    files.filePath(name + ".key").toStdString()};
  };
  {
    VelmorProcess server({}, {}, args("expired"));
    ASSERT_TRUE(server.WaitForStderr("velmor: status: ポート5080でブラウザ用ページを開けません[" +
                                     files.filePath("expired.pem").toStdString()))
        << server.Stderr();
    EXPECT_NE(server.Stderr().find("the certificate expired at"), std::string::npos)
        << server.Stderr();
    EXPECT_NE(server.Stderr().find("\nvelmor: ポート5080でブラウザ用ページを開けません["),
              std::string::npos)
        << "on standard error too";
    Client client;
    const std::string expected = Wire("a\r\n/*/【お知らせ！】aさんが参加しました\r\n");
    EXPECT_EQ(client.Exchange(Wire("CanEnter?a/*/~k"), expected.size()), expected);
    for (const quint16 port : {5080, 5081}) {
      QTcpSocket browser;
      browser.connectToHost(QHostAddress::LocalHost, port);
      EXPECT_FALSE(browser.waitForConnected(2000)) << "nothing listens on " << port;
    }
  }

  const QString certificate = files.filePath("first.pem");
  const QString key = files.filePath("first.key");
  VelmorProcess server({}, {"VELMOR_TEST_GRACE_MS=0"}, args("first"));
  ASSERT_TRUE(server.WaitForStderr("the page is at https://")) << server.Stderr();
  const auto fingerprintOf = [](const QString& path) {
    return QSslCertificate::fromPath(path)
        .value(0)
        .digest(QCryptographicHash::Sha256)
        .toHex(':')
        .toUpper()
        .toStdString();
  };
  const auto trusting = [](const QString& path) {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslCertificate::fromPath(path));
    return configuration;
  };
  QWebSocket member(QStringLiteral("https://localhost:5080"));
  member.setSslConfiguration(trusting(certificate));
  QStringList heard;
  QObject::connect(&member, &QWebSocket::textMessageReceived,
                   [&](const QString& text) { heard << text; });
  member.open(QUrl(QStringLiteral("wss://localhost:5080/chat")));
  ASSERT_TRUE(WaitUntil([&] { return member.state() == QAbstractSocket::ConnectedState; }))
      << member.errorString().toStdString();
  member.sendTextMessage(QStringLiteral(R"({"v":1,"type":"join","name":"m","key":"k"})"));
  ASSERT_TRUE(WaitUntil([&] { return !heard.isEmpty(); }));

  // Renewed in place, as certbot or an administrator renews it.
  ASSERT_TRUE(QFile::remove(certificate) && QFile::remove(key) &&
              QFile::rename(files.filePath("renewed.pem"), certificate) &&
              QFile::rename(files.filePath("renewed.key"), key));
  ASSERT_EQ(::kill(server.Pid(), SIGHUP), 0);
  EXPECT_TRUE(server.WaitForStatus("ブラウザ用の証明書を読み直しました 証明書SHA-256 " +
                                   fingerprintOf(certificate)))
      << server.Stderr();
  member.sendTextMessage(
      QStringLiteral(R"({"v":1,"type":"say","text":"still here","key":"k","id":1})"));
  EXPECT_TRUE(WaitUntil([&] {
    return heard.join(QString()).contains(QStringLiteral("still here"));
  })) << "the member was kept";
  QWebSocket newcomer(QStringLiteral("https://localhost:5080"));
  newcomer.setSslConfiguration(trusting(certificate));
  newcomer.open(QUrl(QStringLiteral("wss://localhost:5080/chat")));
  EXPECT_TRUE(WaitUntil([&] { return newcomer.state() == QAbstractSocket::ConnectedState; }))
      << "a new connection gets the renewed certificate: " << newcomer.errorString().toStdString();

  // A renewal that cannot be served keeps the one before.
  QFile broken(key);
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate) && broken.write("x") == 1);
  broken.close();
  ASSERT_EQ(::kill(server.Pid(), SIGHUP), 0);
  EXPECT_TRUE(server.WaitForStderr("ブラウザ用の証明書を読み直せません[")) << server.Stderr();
  member.sendTextMessage(
      QStringLiteral(R"({"v":1,"type":"say","text":"and now","key":"k","id":2})"));
  EXPECT_TRUE(WaitUntil([&] { return heard.join(QString()).contains(QStringLiteral("and now")); }));
  EXPECT_TRUE(server.Running());
}

}  // namespace
}  // namespace velmor::testing
