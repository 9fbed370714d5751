#include "net/WebPage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>

#include "net/Listener.h"
#include "net/QtVersions.h"

namespace velmor {

namespace {

// On every response: no guessing of types, no framing by other sites, no
// address of this machine handed on to sites linked from the page.
const char* const OwnPolicy = "default-src 'none'; frame-ancestors 'none'";

// The hash of the page's one script or style element, for a policy that
// allows exactly that and nothing inline besides.
QByteArray HashOf(const QByteArray& page, const QByteArray& element) {
  const qsizetype open = page.indexOf("<" + element + ">");
  const qsizetype close = page.indexOf("</" + element + ">", open);
  if (open < 0 || close < 0) return {};
  const qsizetype start = open + element.size() + 2;
  return "'sha256-" +
         QCryptographicHash::hash(page.mid(start, close - start), QCryptographicHash::Sha256)
             .toBase64() +
         "'";
}

// The page may talk to its own WebSocket and nothing else: the host the
// browser named, on the next port.
QByteArray PagePolicy(const QByteArray& scripts, const QByteArray& styles, const QUrl& url) {
  QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
  const bool plain = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
  });
  if (host.contains(':')) host = "[" + host + "]";
  const QByteArray socket =
      plain ? "ws://" + host + ":" + QByteArray::number(url.port(80) + 1) : QByteArray("'none'");
  return "default-src 'none'; script-src " + scripts + "; style-src " + styles +
         "; img-src 'self'; connect-src " + socket +
         "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// Every response's headers besides its type and length: those of the pages
// Qt serves and of the guard's own answers alike.
std::vector<qt_versions::Header> CommonHeaders(const QByteArray& policy) {
  return {{"Cache-Control", "no-store"},
          {"X-Content-Type-Options", "nosniff"},
          {"X-Frame-Options", "DENY"},
          {"Referrer-Policy", "no-referrer"},
          {"Content-Security-Policy", policy}};
}

void SetCommonHeaders(QHttpServerResponse& response, const QByteArray& policy) {
  qt_versions::SetHeaders(response, CommonHeaders(policy));
}

// The guard's own answers, each a fixed text with the same headers as the
// pages Qt serves, after which the connection closes.
QByteArray ErrorResponse(int code, const QByteArray& reason) {
  const QByteArray body = QByteArray::number(code) + ' ' + reason + '\n';
  QByteArray response = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason +
                        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : CommonHeaders(OwnPolicy)) {
    response += name + ": " + value + "\r\n";
  }
  return response + "\r\n" + body;
}

QByteArray Resource(const char* path) {
  QFile file(QString::fromLatin1(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The header's value in a request head, or a null array when it is absent.
QByteArray HeaderValue(const QByteArray& head, const QByteArray& name) {
  for (const QByteArray& line : head.split('\n')) {
    const qsizetype colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed().toLower() == name) {
      return line.mid(colon + 1).trimmed();
    }
  }
  return {};
}

// Sees every byte of a connection before Qt's HTTP server does (its slot is
// connected first) and stops what that server would take without limit.
class RequestGuard : public QObject {
 public:
  explicit RequestGuard(QTcpSocket* socket) : QObject(socket), socket_(socket), deadline_(this) {
    // What the socket reads ahead is bounded too.
    socket->setReadBufferSize(2 * WebPage::MaxHeadBytes);
    connect(socket, &QTcpSocket::readyRead, this, &RequestGuard::OnReadyRead);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { Reject(408, "Request Timeout"); });
    deadline_.start(WebPage::RequestDeadlineMs);
    QTimer::singleShot(WebPage::HardLimitMs, socket, [socket] { socket->abort(); });
  }

 private:
  void OnReadyRead() {
    if (!socket_->isOpen()) return;  // aborted; what was left is of no interest
    if (rejected_) {
      socket_->readAll();
      return;
    }
    // Responses the client leaves unread.
    if (socket_->bytesToWrite() > WebPage::MaxQueuedBytes) {
      // Taken from Qt's server, which reads after this slot; the socket is
      // closed once that has returned.
      rejected_ = true;
      socket_->readAll();
      QMetaObject::invokeMethod(socket_, &QTcpSocket::abort, Qt::QueuedConnection);
      return;
    }
    // Qt's server reads all that is there after this slot returns.
    head_ += socket_->peek(socket_->bytesAvailable());
    for (;;) {
      const qsizetype end = head_.indexOf("\r\n\r\n");
      if (end < 0) {
        if (head_.size() > WebPage::MaxHeadBytes) {
          Reject(431, "Request Header Fields Too Large");
        } else if (!head_.isEmpty() && !deadline_.isActive()) {
          deadline_.start(WebPage::RequestDeadlineMs);
        }
        return;
      }
      if (end + 4 > WebPage::MaxHeadBytes) {
        Reject(431, "Request Header Fields Too Large");
        return;
      }
      const QByteArray head = head_.left(end + 2);
      head_.remove(0, end + 4);
      deadline_.stop();
      if (!Check(head)) return;
    }
  }

  // True when Qt's server may answer the request.
  bool Check(const QByteArray& head) {
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) {
      Reject(400, "Bad Request");
      return false;
    }
    if (!HeaderValue(head, "upgrade").isNull()) {
      Reject(400, "Bad Request");
      return false;
    }
    const QByteArray length = HeaderValue(head, "content-length");
    if ((!length.isNull() && length != "0") || !HeaderValue(head, "transfer-encoding").isNull()) {
      Reject(413, "Content Too Large");
      return false;
    }
    const QByteArray& target = requestLine[1];
    const QByteArray path = target.contains('?') ? target.left(target.indexOf('?')) : target;
    if (requestLine[0] != "GET" || (path != "/" && path != "/favicon.ico")) {
      Reject(404, "Not Found");
      return false;
    }
    return true;
  }

  // Answers once and closes; Qt's server never sees the request.
  void Reject(int code, const QByteArray& reason) {
    rejected_ = true;
    deadline_.stop();
    socket_->readAll();
    socket_->write(ErrorResponse(code, reason));
    socket_->disconnectFromHost();
    // A client that does not read its answer does not hold the connection.
    QTimer::singleShot(1000, socket_, [socket = socket_] { socket->abort(); });
  }

  QTcpSocket* socket_;
  QTimer deadline_;
  QByteArray head_;
  bool rejected_ = false;
};

}  // namespace

WebPage::WebPage(std::function<void(const QString&)> report, QObject* parent)
    : QObject(parent), server_(std::make_unique<QHttpServer>()) {
  sockets_ = new SocketAdopter(MaxConnections, this);
  listener_ = new DescriptorListener(
      [this](int fd) {
        if (QTcpSocket* socket = sockets_->Adopt(fd)) {
          new RequestGuard(socket);
          feed_->Feed(socket);
        }
      },
      std::move(report), this);
  const QByteArray page = Resource(":/velmor/web/index.html");
  const QByteArray icon = Resource(":/velmor/web/favicon.png");
  const QByteArray scripts = HashOf(page, "script");
  const QByteArray styles = HashOf(page, "style");
  server_->route("/", QHttpServerRequest::Method::Get,
                 [page, scripts, styles](const QHttpServerRequest& request) {
                   QHttpServerResponse response("text/html; charset=utf-8", page);
                   SetCommonHeaders(response, PagePolicy(scripts, styles, request.url()));
                   return response;
                 });
  server_->route("/favicon.ico", QHttpServerRequest::Method::Get, [icon] {
    QHttpServerResponse response("image/png", icon);
    SetCommonHeaders(response, OwnPolicy);
    return response;
  });
}

WebPage::~WebPage() = default;

int WebPage::ListenerDescriptor() const { return listener_->Descriptor(); }

bool WebPage::Listen(std::uint16_t port, QString& reason) {
  if (!listener_->Listen(port, reason)) return false;
  feed_ = new ServerFeed(this);
  server_->bind(feed_);
  return true;
}

std::uint16_t WebPage::Port() const { return listener_->Port(); }

}  // namespace velmor
