// The listening ports. Every one of them follows the same rule when accepting
// fails (out of descriptors, out of memory): the failure is reported once,
// the port rests for AcceptRetryMs instead of spinning on a listener that
// stays readable, and accepting resumes by itself. The report is re-armed by
// the next connection accepted.
#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

#include "net/AdoptedSocket.h"

class QSocketNotifier;
class QTcpSocket;
class QWebSocket;

namespace velmor {

class AcceptRule : public QObject {
  Q_OBJECT

 public:
  static constexpr int AcceptRetryMs = 500;

  // pause(true) stops accepting, pause(false) resumes; report says why
  // accepting failed, once per spell of failures.
  AcceptRule(std::function<void(bool)> pause, std::function<void(const QString&)> report,
             QObject* parent);
  void Accepted() { reported_ = false; }
  void Failed(const QString& reason);

 private:
  std::function<void(bool)> pause_;
  std::function<void(const QString&)> report_;
  QTimer resume_;
  bool reported_ = false;
};

// A listener on a plain socket, for the chat port: each accepted connection
// is handed over as a non-blocking descriptor.
class DescriptorListener : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(int fd)>;
  DescriptorListener(Handler incoming, std::function<void(const QString&)> report, QObject* parent);
  ~DescriptorListener() override;

  // Listens on every address, IPv6 and IPv4 alike; false, with the reason,
  // when the port cannot be listened on.
  bool Listen(std::uint16_t port, QString& reason);
  std::uint16_t Port() const { return port_; }
  int Descriptor() const { return fd_; }

 private:
  void OnReadable();

  Handler incoming_;
  AcceptRule rule_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  QSocketNotifier* notifier_ = nullptr;
};

// Accepted descriptors as sockets for Qt's own protocol servers (the page and
// its WebSocket): at most MaxOpen at a time, counted by the sockets
// themselves until they are destroyed (see AdoptedSocket); a connection
// beyond them is closed at once. Each socket is a child of this until a
// WebSocket is made of it; it is destroyed by whoever ends it: Qt's servers
// for their failed requests, the deadline, or the WebSocket it is handed to.
class SocketAdopter : public QObject {
  Q_OBJECT

 public:
  // Sockets not settled within deadlineMs (0: no deadline) are aborted.
  SocketAdopter(int maxOpen, QObject* parent, int deadlineMs = 0);
  // The socket, a child of this, or nullptr when the descriptor was closed.
  AdoptedSocket* Adopt(int fd);
  // The socket under a WebSocket that Qt's server made of one of ours, now
  // settled and owned by the WebSocket, so that it goes with it; nullptr
  // when it is none of ours.
  AdoptedSocket* HandOver(QWebSocket* webSocket);

 private:
  int maxOpen_;
  int deadlineMs_;
  std::shared_ptr<int> open_ = std::make_shared<int>(0);
};

// What Qt's HTTP server is bound to: a QTcpServer that is handed the sockets
// a DescriptorListener accepted, since Qt's own accept neither rests nor
// resumes after a failure.
class ServerFeed : public QTcpServer {
  Q_OBJECT

 public:
  explicit ServerFeed(QObject* parent);
  void Feed(QTcpSocket* socket);

 protected:
  void incomingConnection(qintptr descriptor) override;
};

}  // namespace velmor
