// The page browser members load: one self-contained page and its icon,
// served from the program's resources by Qt's HTTP server; nothing is read
// from disk at run time.
//
// Qt's HTTP server sets no limits of its own, reads loosely and keeps every
// connection open, so every connection passes a guard first. It sees each
// request head before Qt does, reads it as Qt will (see HttpHead.h), and
// lets through only a GET or HEAD of the page or its icon that Qt cannot
// read otherwise than the guard did; HEAD is answered as GET without the
// body. The connection closes once Qt has answered a request that ends it
// (Connection: close, or HTTP/1.0 without keep-alive). Everything else the
// guard answers itself, once Qt has answered the requests before it, with
// one error response, and closes the connection:
//  - a request-target over http::MaxTargetBytes (414), a head over
//    http::MaxHeadBytes or over Qt's 100 fields (431), or one not complete
//    within RequestDeadlineMs of its first byte (of the connection, for the
//    first) (408);
//  - a body of unknown length or longer than a head may be, before anything
//    else is looked at (413): a body is never taken;
//  - anything looser than RFC 9112, a missing (HTTP/1.1) or second Host, a
//    WebSocket upgrade, which has a port of its own (400); other upgrades
//    are ignored;
//  - another path (404), another method (405), a body on GET or HEAD (413).
// A connection whose unread responses pass MaxQueuedBytes is aborted; every
// connection is aborted HardLimitMs after it opened; at most MaxConnections
// are open at once, and one beyond them is closed at once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QHttpServer;
class QUrl;

namespace velmor {

class AdoptedSocket;
class ServerFeed;
class SocketAdopter;

class WebPage : public QObject {
  Q_OBJECT

 public:
  static constexpr int RequestDeadlineMs = 10000;
  static constexpr int HardLimitMs = 60000;
  static constexpr qint64 MaxQueuedBytes = 256 * 1024;
  static constexpr int MaxConnections = 64;

  // What the port serves: the page over plain HTTP, the page over TLS
  // (its policy names its WebSocket as wss), or, to plain HTTP on a port
  // that speaks TLS, a redirect to the same address over https.
  enum class Serving { Page, SecurePage, RedirectToSecure };

  explicit WebPage(QObject* parent = nullptr, Serving serving = Serving::Page);
  ~WebPage() override;

  // Serves a connection accepted on the page's port (see SharedPort), or
  // one decrypted there first.
  void TakeConnection(int fd);
  void TakeConnection(AdoptedSocket* socket);

 private:
  void Serve(AdoptedSocket* socket);
  void Redirect(const char* path);
  // Routes GET and HEAD of path to body, with the policy for the URL asked.
  void Serve(const char* path, const QByteArray& type, const QByteArray& body,
             std::function<QByteArray(const QUrl&)> policy);

  std::unique_ptr<QHttpServer> server_;
  SocketAdopter* sockets_ = nullptr;
  ServerFeed* feed_ = nullptr;
};

}  // namespace velmor
