#include "web/BrowserGate.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>

#include "accept/Listener.h"
#include "web/HttpHead.h"
#include "web/SharedPort.h"
#include "web/SocketAdopter.h"
#include "web/WebPage.h"

namespace velmor {

namespace {

// The name the resolver gives this machine (as `hostname -f` prints it).
QString CanonicalName(const QString& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.toLocal8Bit().constData(), nullptr, &hints, &found) != 0) return {};
  QString name;
  if (found != nullptr && found->ai_canonname != nullptr) {
    name = QString::fromLocal8Bit(found->ai_canonname);
  }
  ::freeaddrinfo(found);
  return name;
}

// A key is 16 bytes in base64 (RFC 6455 4.1), which Qt takes of any length.
bool KeyValid(const QByteArray& key) {
  const auto decoded = QByteArray::fromBase64Encoding(key, QByteArray::AbortOnBase64DecodingErrors);
  return key.size() == 24 && decoded && decoded.decoded.size() == 16;
}

}  // namespace

BrowserGate::BrowserGate(Handler incoming, qint64 outputBound,
                         std::function<void(std::uint16_t, const QString&)> report, QObject* parent)
    : QObject(parent),
      incoming_(std::move(incoming)),
      outputBound_(outputBound),
      report_(std::move(report)) {}

void BrowserGate::AllowNames(const QStringList& names) {
  for (const QString& name : names) names_ << name.toLower();
}

void BrowserGate::CollectOwnNames() {
  const QString host = QHostInfo::localHostName().toLower();
  names_ << QStringLiteral("localhost");
  if (host.isEmpty()) return;
  names_ << host << host + QStringLiteral(".local");
  const QString canonical = CanonicalName(host).toLower();
  if (!canonical.isEmpty()) names_ << canonical;
}

bool BrowserGate::Listen(std::uint16_t port, std::uint16_t& failedPort, QString& reason) {
  CollectOwnNames();
  auto* page = new WebPage(this);
  auto* handshakes =
      new QWebSocketServer(QStringLiteral("Velmor"), QWebSocketServer::NonSecureMode, this);
  // A page of another web site open in a member's browser must not reach
  // the room through that browser: refused at the handshake (403).
  connect(handshakes, &QWebSocketServer::originAuthenticationRequired, this,
          [this](QWebSocketCorsAuthenticator* request) {
            request->setAllowed(OriginAllowed(request->origin()));
          });
  // A connection that has not finished its handshake within the deadline is
  // closed; Qt's server sets none on connections handed to it.
  auto* adopter = new SocketAdopter(MaxSocketConnections, handshakes, HandshakeDeadlineMs);
  connect(handshakes, &QWebSocketServer::newConnection, this, [this, adopter] {
    while (QWebSocket* socket = handshakes_->nextPendingConnection()) {
      // From here on the connection goes with its WebSocket.
      AdoptedSocket* connection = adopter->HandOver(socket);
      if (connection == nullptr || !connection->CheckFrames(socket)) {
        AdoptedSocket::CloseWebSocket(socket, QWebSocketProtocol::CloseCodeProtocolError);
        continue;
      }
      connection->LimitOutput(outputBound_);
      incoming_(socket);
    }
  });
  const auto takeHandshake = [this, handshakes, adopter](int fd) {
    AdoptedSocket* socket = adopter->Adopt(fd);
    if (socket == nullptr) return;
    socket->ExpectHandshake([this](const QByteArray& line, const http::Fields& fields) {
      return JudgeHandshake(line, fields);
    });
    handshakes->handleConnection(socket);
  };
  auto* shared = new SharedPort(
      WebPage::MaxConnections, WebPage::RequestDeadlineMs,
      [page](int fd) { page->TakeConnection(fd); }, takeHandshake, this);
  auto* pageListener =
      new DescriptorListener([shared](int fd) { shared->Route(fd); },
                             [this, port](const QString& why) { report_(port, why); }, this);
  const auto fail = [&](std::uint16_t which) {
    failedPort = which;
    delete pageListener;
    delete shared;
    delete handshakes;
    delete page;
    return false;
  };
  if (!pageListener->Listen(port, reason)) return fail(port);
  // Pages served before the WebSocket shared the page's port open theirs on
  // the next port: it still takes them.
  const std::uint16_t socketPort = pageListener->Port() == 0xFFFF ? 0 : pageListener->Port() + 1;
  auto* sockets = new DescriptorListener(
      takeHandshake, [this, socketPort](const QString& why) { report_(socketPort, why); }, this);
  if (socketPort == 0 || !sockets->Listen(socketPort, reason)) {
    delete sockets;
    return fail(socketPort);
  }
  page_ = pageListener;
  sockets_ = sockets;
  handshakes_ = handshakes;
  return true;
}

std::uint16_t BrowserGate::PagePort() const { return page_ != nullptr ? page_->Port() : 0; }

std::uint16_t BrowserGate::SocketPort() const { return sockets_ != nullptr ? sockets_->Port() : 0; }

// Everything RFC 6455 4.2.1 asks of a client's handshake, and everything
// Qt's server asks besides (which it refuses without an answer), judged on
// the fields as Qt reads them.
http::Refusal BrowserGate::JudgeHandshake(const QByteArray& line,
                                          const http::Fields& fields) const {
  const QList<QByteArray> parts = line.split(' ');
  const QList<QByteArray> upgrades = http::ValuesOf(fields, "upgrade");
  const QList<QByteArray> connections = http::ValuesOf(fields, "connection");
  const QList<QByteArray> keys = http::ValuesOf(fields, "sec-websocket-key");
  const QList<QByteArray> lengths = http::ValuesOf(fields, "content-length");
  if (parts[0] != "GET" || parts[2] == "HTTP/1.0" || !parts[1].startsWith('/') ||
      !http::HostValid(line, fields) || upgrades.size() != 1 ||
      upgrades[0].toLower() != "websocket" || connections.isEmpty() ||
      !http::HasToken({connections[0]}, "upgrade") || keys.size() != 1 || !KeyValid(keys[0]) ||
      !http::ValuesOf(fields, "transfer-encoding").isEmpty() ||
      std::any_of(lengths.begin(), lengths.end(), [](const QByteArray& n) { return n != "0"; })) {
    return http::BadRequest;
  }
  // The one version there is (4.4), named by the answer.
  bool numbers = true;
  bool thirteen = false;
  for (const QByteArray& value : http::ValuesOf(fields, "sec-websocket-version")) {
    for (const QByteArray& part : value.split(',')) {
      const QByteArray version = part.trimmed();
      numbers =
          numbers && !version.isEmpty() &&
          std::all_of(version.begin(), version.end(), [](char c) { return c >= '0' && c <= '9'; });
      thirteen = thirteen || version == "13";
    }
  }
  if (!numbers || !thirteen) {
    return {426, "Upgrade Required", {{"Upgrade", "websocket"}, {"Sec-WebSocket-Version", "13"}}};
  }
  const QList<QByteArray> origins = http::ValuesOf(fields, "origin");
  if (origins.size() != 1 || !OriginAllowed(QString::fromLatin1(origins[0]))) {
    return {403, "Forbidden"};
  }
  return {};
}

bool BrowserGate::OriginAllowed(const QString& origin) const {
  const QUrl url(origin);
  if (url.scheme() != QLatin1String("http") || url.port(80) != PagePort()) return false;
  const QString host = url.host().toLower();
  if (names_.contains(host)) return true;
  const QHostAddress address(host);
  if (address.isNull()) return false;
  if (address.isLoopback()) return true;
  for (const QHostAddress& own : QNetworkInterface::allAddresses()) {
    if (own.isEqual(address, QHostAddress::TolerantConversion)) return true;
  }
  return false;
}

}  // namespace velmor
