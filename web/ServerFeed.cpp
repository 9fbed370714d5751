#include "web/ServerFeed.h"

#include <QTcpSocket>

#include <unistd.h>

namespace velmor {

ServerFeed::ServerFeed(QObject* parent) : QTcpServer(parent) {
  // A server to bind to must be listening. Not on the real port: Qt turns
  // accepting on again whenever a pending connection is taken.
  listen(QHostAddress::LocalHost, 0);
}

void ServerFeed::incomingConnection(qintptr descriptor) {
  // Nobody is to connect here; whoever does is not served.
  ::close(static_cast<int>(descriptor));
}

void ServerFeed::Deliver(QTcpSocket* socket) {
  addPendingConnection(socket);
  emit newConnection();
}

}  // namespace velmor
