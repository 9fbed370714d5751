// The page browser members load: one self-contained page and its icon,
// served from the program's resources by Qt's HTTP server; nothing is read
// from disk at run time.
//
// Qt's HTTP server sets no limits of its own, so every connection passes a
// guard first, which sees each request head before Qt does and answers
// anything but a plain GET of the page or its icon itself, with one error
// response, closing the connection:
//  - a request head over MaxHeadBytes, or one not complete within
//    RequestDeadlineMs of its first byte (of the connection, for the first);
//  - a request with a body, an upgrade (the WebSocket has a port of its own),
//    any other method or path (404).
// A connection whose unread responses pass MaxQueuedBytes is aborted; every
// connection is aborted HardLimitMs after it opened; at most MaxConnections
// are open at once, and one beyond them is closed at once.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QHttpServer;

namespace velmor {

class DescriptorListener;
class ServerFeed;
class SocketAdopter;

class WebPage : public QObject {
  Q_OBJECT

 public:
  static constexpr int MaxHeadBytes = 8 * 1024;
  static constexpr int RequestDeadlineMs = 10000;
  static constexpr int HardLimitMs = 60000;
  static constexpr qint64 MaxQueuedBytes = 256 * 1024;
  static constexpr int MaxConnections = 64;

  // report says why accepting failed (see Listener.h).
  WebPage(std::function<void(const QString&)> report, QObject* parent = nullptr);
  ~WebPage() override;

  // False, with the reason, when the port cannot be listened on.
  bool Listen(std::uint16_t port, QString& reason);
  std::uint16_t Port() const;
  int ListenerDescriptor() const;

 private:
  std::unique_ptr<QHttpServer> server_;
  DescriptorListener* listener_ = nullptr;
  SocketAdopter* sockets_ = nullptr;
  ServerFeed* feed_ = nullptr;
};

}  // namespace velmor
