#pragma once

#include <QTcpServer>

class QTcpSocket;

namespace velmor {

// What Qt's HTTP server is bound to: a QTcpServer that is handed the sockets
// a DescriptorListener accepted, since Qt's own accept neither rests nor
// resumes after a failure.
class ServerFeed : public QTcpServer {
  Q_OBJECT

 public:
  explicit ServerFeed(QObject* parent);
  void Deliver(QTcpSocket* socket);

 protected:
  void incomingConnection(qintptr descriptor) override;
};

}  // namespace velmor
