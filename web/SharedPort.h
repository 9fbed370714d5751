// The page's port serves the page and takes its WebSocket too, so that a
// browser needs one address (and one exception for a certificate it was
// asked to trust) and a firewall one hole. A connection belongs to one of
// the two for its life, decided by the start of its first request: a
// handshake for the WebSocket's path (SocketPath, asked with GET) goes to
// the WebSocket's server, everything else to the page's.
//
// The start is peeked, not read: whoever takes the connection reads every
// byte of it as it came, as on a port of its own. It is decided on the
// first few bytes (as many as SocketPath's request line begins with), and
// within the deadline a request head has; a connection that sends nothing
// by then is answered 408, one that ends first is closed.
//
// Over TLS the port is the same, decided after decryption: a connection
// whose first byte begins a TLS handshake is decrypted (within the same
// deadline and count), its first request's start is peeked as decrypted,
// and the connection goes on as an adopted socket. One that speaks plain
// HTTP instead goes to the plain page taker, which answers with a redirect
// to https; nothing of the WebSocket is taken in clear text.
#pragma once

#include <QObject>
#include <QSslConfiguration>

#include <functional>
#include <string_view>

#include "loop/ReadinessWatch.h"

namespace velmor {

class AdoptedSocket;
class SocketAdopter;

class SharedPort : public QObject {
  Q_OBJECT

 public:
  // How a handshake for the page's WebSocket begins on the page's own port,
  // and the WebSocket's path there.
  static constexpr std::string_view HandshakeStart = "GET /chat";
  static constexpr std::string_view SocketPath = HandshakeStart.substr(4);
  using Take = std::function<void(int fd)>;
  using TakeSocket = std::function<void(AdoptedSocket*)>;

  // Connections not yet decided count against maxWaiting; one beyond them is
  // closed at once. Each decided one is handed, with its descriptor, to
  // toPage or toSocket, which then owns it.
  SharedPort(int maxWaiting, int deadlineMs, Take toPage, Take toSocket, QObject* parent);
  ~SharedPort() override;

  void Route(int fd);

  // From now on connections are to speak TLS with configuration (its
  // certificate and key); decrypted ones go to securePage or secureSocket,
  // plain ones to toPage.
  void UseTls(const QSslConfiguration& configuration, TakeSocket securePage,
              TakeSocket secureSocket);
  // For connections from now on (those open keep theirs).
  void Recertify(const QSslConfiguration& configuration) { tls_ = configuration; }

 private:
  class Waiting;
  int maxWaiting_;
  int deadlineMs_;
  Take toPage_;
  Take toSocket_;
  QSslConfiguration tls_;
  bool secure_ = false;
  TakeSocket securePage_;
  TakeSocket secureSocket_;
  SocketAdopter* decrypting_ = nullptr;
  int waiting_ = 0;
  ReadinessWatch* watch_ = nullptr;  // the serving thread's, from the first connection on
};

}  // namespace velmor
