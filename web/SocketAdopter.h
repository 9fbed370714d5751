#pragma once

#include <QObject>

#include <memory>

#include "web/AdoptedSocket.h"

class QWebSocket;

namespace velmor {

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
  // One adopted elsewhere first (to be decrypted, see SharedPort), counted
  // here from now on; nullptr, and the socket gone, beyond MaxOpen.
  AdoptedSocket* Adopt(AdoptedSocket* socket);
  // The socket under a WebSocket that Qt's server made of one of ours, now
  // settled and owned by the WebSocket, so that it goes with it; nullptr
  // when it is none of ours.
  AdoptedSocket* HandOver(QWebSocket* webSocket);

 private:
  int maxOpen_;
  int deadlineMs_;
  std::shared_ptr<int> open_ = std::make_shared<int>(0);
};

}  // namespace velmor
