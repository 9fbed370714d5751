#include "web/SocketAdopter.h"

#include <QWebSocket>

#include <unistd.h>

namespace velmor {

SocketAdopter::SocketAdopter(int maxOpen, QObject* parent, int deadlineMs)
    : QObject(parent), maxOpen_(maxOpen), deadlineMs_(deadlineMs) {}

AdoptedSocket* SocketAdopter::Adopt(int fd) {
  if (*open_ >= maxOpen_) {
    ::close(fd);
    return nullptr;
  }
  auto* socket = new AdoptedSocket(open_, deadlineMs_, this);
  if (!socket->setSocketDescriptor(fd)) {
    ::close(fd);
    delete socket;
    return nullptr;
  }
  // Each message goes out as it is written, as the chat port's replies do,
  // not behind the acknowledgement of the one before.
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  return socket;
}

AdoptedSocket* SocketAdopter::Adopt(AdoptedSocket* socket) {
  if (*open_ >= maxOpen_) {
    socket->abort();
    socket->deleteLater();
    return nullptr;
  }
  socket->setParent(this);
  socket->CountIn(open_, deadlineMs_);
  return socket;
}

AdoptedSocket* SocketAdopter::HandOver(QWebSocket* webSocket) {
  // Qt's WebSocket does not say which socket it was made of; a connection's
  // two ends name it.
  for (AdoptedSocket* socket : findChildren<AdoptedSocket*>(Qt::FindDirectChildrenOnly)) {
    if (socket->peerPort() == webSocket->peerPort() &&
        socket->localPort() == webSocket->localPort() &&
        socket->peerAddress() == webSocket->peerAddress()) {
      socket->Settle();
      socket->setParent(webSocket);
      return socket;
    }
  }
  return nullptr;
}

}  // namespace velmor
