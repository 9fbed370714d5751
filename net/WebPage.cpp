#include "net/WebPage.h"

#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "net/QtVersions.h"

namespace velmor {

namespace {

// Hands each connection to the HTTP server with a timer that ends it.
class ClosingListener : public QTcpServer {
 public:
  using QTcpServer::QTcpServer;

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
      delete socket;
      return;
    }
    QTimer::singleShot(WebPage::IdleCloseMs, socket, [socket] { socket->disconnectFromHost(); });
    addPendingConnection(socket);
  }
};

QByteArray Resource(const char* path) {
  QFile file(QString::fromLatin1(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

WebPage::WebPage(QObject* parent) : QObject(parent), Server(std::make_unique<QHttpServer>()) {
  const QByteArray page = Resource(":/velmor/web/index.html");
  const QByteArray icon = Resource(":/velmor/web/favicon.png");
  Server->route("/", QHttpServerRequest::Method::Get, [page] {
    QHttpServerResponse response("text/html; charset=utf-8", page);
    qt_versions::SetHeaders(
        response, {{"Cache-Control", "no-store"},
                   {"X-Content-Type-Options", "nosniff"},
                   {"Content-Security-Policy",
                    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                    "img-src 'self'; connect-src ws: wss:"}});
    return response;
  });
  Server->route("/favicon.ico", QHttpServerRequest::Method::Get,
                [icon] { return QHttpServerResponse("image/png", icon); });
}

WebPage::~WebPage() = default;

bool WebPage::Listen(std::uint16_t port, QString& reason) {
  auto* listener = new ClosingListener(this);
  if (!listener->listen(QHostAddress::Any, port)) {
    reason = listener->errorString();
    delete listener;
    return false;
  }
  Listener = listener;
  Server->bind(listener);
  return true;
}

std::uint16_t WebPage::Port() const { return Listener ? Listener->serverPort() : 0; }

}  // namespace velmor
