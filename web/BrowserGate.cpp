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
#include "web/SelfSigned.h"
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

std::optional<tls::Credentials> BrowserGate::LoadCertificate(bool& made, QString& why) const {
  made = false;
  if (!tls_.certificateFile.isEmpty())
    return tls::FromFiles(tls_.certificateFile, tls_.keyFile, why);
  // Every name and address the origin rule takes (scoped addresses are
  // named without their scope, as a certificate can only name them).
  QList<QHostAddress> addresses;
  for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
    if (!addresses.contains(address)) addresses << address;
  }
  QStringList names;
  for (const QString& name : names_) {
    if (!names.contains(name) && QHostAddress(name).isNull()) names << name;
  }
  return tls::KeptSelfSigned(tls_.ownDirectory, names, addresses, made, why);
}

bool BrowserGate::Recertify(QString& why) {
  if (!secure_) {
    why = QStringLiteral("the page's port does not speak TLS");
    return false;
  }
  bool made = false;
  std::optional<tls::Credentials> credentials = LoadCertificate(made, why);
  if (!credentials) return false;
  credentials_ = *credentials;
  made_ = made;
  shared_->Recertify(credentials_.configuration);
  return true;
}

bool BrowserGate::Listen(std::uint16_t port, const Tls& tls, std::uint16_t& failedPort,
                         QString& reason) {
  CollectOwnNames();
  tls_ = tls;
  if (tls.Wanted()) {
    std::optional<tls::Credentials> credentials = LoadCertificate(made_, reason);
    if (!credentials) {
      failedPort = port;
      return false;
    }
    credentials_ = *credentials;
    secure_ = true;
  }
  auto* page = new WebPage(this, secure_ ? WebPage::Serving::SecurePage : WebPage::Serving::Page);
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
  const auto handshake = [this, handshakes](AdoptedSocket* socket) {
    if (socket == nullptr) return;
    socket->ExpectHandshake([this](const QByteArray& line, const http::Fields& fields) {
      return JudgeHandshake(line, fields);
    });
    // Qt's server reads what a decrypted socket holds already at once.
    handshakes->handleConnection(socket);
  };
  const auto takeHandshake = [handshake, adopter](int fd) { handshake(adopter->Adopt(fd)); };
  // Under TLS the plain side of the port only redirects to https.
  WebPage* plain = page;
  if (secure_) plain = new WebPage(page, WebPage::Serving::RedirectToSecure);
  auto* shared = new SharedPort(
      WebPage::MaxConnections, WebPage::RequestDeadlineMs,
      [plain](int fd) { plain->TakeConnection(fd); }, takeHandshake, this);
  if (secure_) {
    shared->UseTls(
        credentials_.configuration, [page](AdoptedSocket* socket) { page->TakeConnection(socket); },
        [handshake, adopter](AdoptedSocket* socket) { handshake(adopter->Adopt(socket)); });
  }
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
  page_ = pageListener;
  handshakes_ = handshakes;
  shared_ = shared;
  // An https page cannot open a WebSocket in clear text: the next port
  // would only take the key across the network unencrypted.
  if (secure_) return true;
  // Pages served before the WebSocket shared the page's port open theirs on
  // the next port: it still takes them.
  const std::uint16_t socketPort = pageListener->Port() == 0xFFFF ? 0 : pageListener->Port() + 1;
  auto* sockets = new DescriptorListener(
      takeHandshake, [this, socketPort](const QString& why) { report_(socketPort, why); }, this);
  if (socketPort == 0 || !sockets->Listen(socketPort, reason)) {
    delete sockets;
    page_ = nullptr;
    handshakes_ = nullptr;
    shared_ = nullptr;
    return fail(socketPort);
  }
  sockets_ = sockets;
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
  // Only the scheme the port speaks: an http page never reaches a room
  // served over https, nor the other way round.
  const QUrl url(origin);
  if (url.scheme() != (secure_ ? QLatin1String("https") : QLatin1String("http")) ||
      url.port(secure_ ? 443 : 80) != PagePort()) {
    return false;
  }
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
