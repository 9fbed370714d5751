// Where browsers come in: the page (WebPage) and its WebSocket on one port
// (see SharedPort), and the WebSocket alone on the next, for pages served
// before the two shared a port. A WebSocket is handed on only once its handshake is done and its
// origin is the page's own: http, the page's port, and a name or address of
// this machine. Refused at the handshake (403), it never takes a slot, so a
// page of another site open in a member's browser, or a name of another site
// that resolves to this machine (DNS rebinding), never reaches the room. A
// handshake that is no valid upgrade is answered with its error too.
//
// The names of this machine: localhost, the host name, the host name with
// ".local" (mDNS), the resolver's canonical name, any name given with
// --web-origin, and every address of its interfaces.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

#include "web/HttpHead.h"
#include "web/TlsCredentials.h"

class QWebSocket;
class QWebSocketServer;

namespace velmor {

class DescriptorListener;
class SharedPort;

class BrowserGate : public QObject {
  Q_OBJECT

 public:
  // Connections waiting for their WebSocket handshake or held by a member.
  static constexpr int MaxSocketConnections = 64;
  // A WebSocket's handshake must be done within this of its connection, as
  // a request to the page must.
  static constexpr int HandshakeDeadlineMs = 10000;

  using Handler = std::function<void(QWebSocket*)>;
  // incoming takes each WebSocket that passed, with its connection (an
  // AdoptedSocket) as a child, bounded to outputBound bytes of unsent
  // output (what a member may leave unread) and checked frame by frame;
  // report says why accepting failed on a port, named by its number.
  BrowserGate(Handler incoming, qint64 outputBound,
              std::function<void(std::uint16_t, const QString&)> report, QObject* parent);

  // Where the port's certificate comes from, when it speaks TLS: the
  // operator's PEM files, or one of the program's own kept in ownDirectory
  // (see SelfSigned.h).
  struct Tls {
    QString certificateFile;
    QString keyFile;
    QString ownDirectory;
    bool Wanted() const { return !certificateFile.isEmpty() || !ownDirectory.isEmpty(); }
  };

  // Names besides this machine's own that browsers may use for it.
  void AllowNames(const QStringList& names);
  // The page and the WebSocket on port, the WebSocket on the next one too;
  // false, with the port that failed and why, when either cannot be
  // listened on. With tls wanted, the page and its WebSocket speak TLS on
  // port (plain HTTP there is redirected to https) and the next port stays
  // closed; a certificate that cannot be served is a failure too, and then
  // nothing listens.
  bool Listen(std::uint16_t port, const Tls& tls, std::uint16_t& failedPort, QString& reason);
  std::uint16_t PagePort() const;
  std::uint16_t SocketPort() const;
  bool Secure() const { return secure_; }
  // The certificate served, once listening over TLS; made says whether it
  // was made at this start.
  const tls::Credentials& Credentials() const { return credentials_; }
  bool CertificateMade() const { return made_; }
  // Reads the certificate again (the files, or the program's own, made
  // again when due) for connections from now on; false, with why, when the
  // new one cannot be served (the one before stays).
  bool Recertify(QString& why);

  bool OriginAllowed(const QString& origin) const;

 private:
  // What the WebSocket's port answers a handshake that is no valid upgrade
  // (400; 426 for another version; 403 for another site's page), or a code
  // of 0 to let Qt's server answer it.
  http::Refusal JudgeHandshake(const QByteArray& line, const http::Fields& fields) const;
  void CollectOwnNames();
  std::optional<tls::Credentials> LoadCertificate(bool& made, QString& why) const;

  Handler incoming_;
  qint64 outputBound_;
  std::function<void(std::uint16_t, const QString&)> report_;
  DescriptorListener* page_ = nullptr;     // the page and its WebSocket
  DescriptorListener* sockets_ = nullptr;  // the WebSocket alone
  QWebSocketServer* handshakes_ = nullptr;
  SharedPort* shared_ = nullptr;
  QStringList names_;  // lower case
  Tls tls_;
  bool secure_ = false;
  bool made_ = false;
  tls::Credentials credentials_;
};

}  // namespace velmor
