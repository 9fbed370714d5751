// Longer than most files here: the request guard reads each request as Qt's
// HTTP server will and decides its one answer; the page's routes follow it,
// and a guard apart from what it guards would invite the two to differ.
#include "web/WebPage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>
#include <string_view>

#include "web/AdoptedSocket.h"
#include "web/HttpHead.h"
#include "web/QtVersions.h"
#include "web/ServerFeed.h"
#include "web/SharedPort.h"
#include "web/SocketAdopter.h"

namespace velmor {

namespace {

// The methods the page and its icon take.
const char* const AllowedMethods = "GET, HEAD";

// Everything the port serves, from the program's resources: the page, its
// icons, its manifest (for a phone's home screen) and its service worker
// (for notifications where a page cannot show them itself).
struct Served {
  const char* path;
  const char* resource;
  const char* type;
};
const Served ServedFiles[] = {
    {"/", ":/velmor/page/index.html", "text/html; charset=utf-8"},
    {"/favicon.ico", ":/velmor/page/favicon.png", "image/png"},
    {"/icon-192.png", ":/velmor/page/icon-192.png", "image/png"},
    {"/icon-512.png", ":/velmor/page/icon-512.png", "image/png"},
    {"/manifest.webmanifest", ":/velmor/page/manifest.webmanifest", "application/manifest+json"},
    {"/sw.js", ":/velmor/page/sw.js", "text/javascript; charset=utf-8"},
};

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

// The page may talk to its own WebSocket and nothing else: on the host and
// port the browser named (a forwarded port too, or none for 80), the
// WebSocket's path.
QByteArray PagePolicy(const QByteArray& scripts, const QByteArray& styles, const QUrl& url,
                      bool secure) {
  QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
  const bool plain = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
  });
  if (host.contains(':')) host = "[" + host + "]";
  // Qt's server names no port as 0.
  if (url.port() > 0) host += ":" + QByteArray::number(url.port());
  const QByteArray socket =
      plain ? (secure ? "wss://" : "ws://") + host +
                  QByteArray(SharedPort::SocketPath.data(),
                             static_cast<qsizetype>(SharedPort::SocketPath.size()))
            : QByteArray("'none'");
  return "default-src 'none'; script-src " + scripts + "; style-src " + styles +
         "; img-src 'self'; connect-src " + socket +
         "; worker-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; "
         "frame-ancestors 'none'";
}

// The headers of an answer Qt's server writes, besides its type and length:
// the end of the connection said, when the request asked for it.
std::vector<qt_versions::Header> AnswerHeaders(const QHttpServerRequest& request,
                                               const QByteArray& policy) {
  std::vector<qt_versions::Header> headers = http::CommonHeaders(policy);
  if (http::HasToken({request.value("connection")}, "close"))
    headers.emplace_back("Connection", "close");
  return headers;
}

QByteArray Resource(const char* path) {
  QFile file(QString::fromLatin1(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSkippedBeforeRequest(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v';
}

// What the guard makes of a whole request head: refused, or passed to Qt's
// server, the last one on its connection or not.
struct Verdict {
  http::Refusal refusal;
  bool last = false;
};

// What a whole request head asks, judged on the fields as Qt's parser reads
// them; whatever that parser would read otherwise or not at all is refused,
// so both read every request the same way.
Verdict Judge(const QByteArray& line, const QByteArray& block) {
  http::Fields fields;
  if (const http::Refusal refusal = http::ReadFields(block, fields); refusal.code) return {refusal};

  // A body is never taken. One of unknown length, or one longer than any
  // request head may be, is refused before anything else is looked at.
  if (!http::ValuesOf(fields, "transfer-encoding").isEmpty()) return {http::TooLarge};
  std::optional<qint64> length;
  for (const QByteArray& value : http::ValuesOf(fields, "content-length")) {
    if (value.isEmpty() || !std::all_of(value.begin(), value.end(), IsDigit))
      return {http::BadRequest};
    if (value.size() > 9 || value.toLongLong() > http::MaxHeadBytes) return {http::TooLarge};
    if (length && *length != value.toLongLong()) return {http::BadRequest};
    length = value.toLongLong();
  }

  if (!http::HostValid(line, fields)) return {http::BadRequest};
  // The WebSocket's handshakes go elsewhere from the first request of their
  // connection on (see SharedPort). Any other upgrade (h2c) is ignored, as
  // Qt's server ignores it, and the request served as HTTP/1.1.
  for (const QByteArray& value : http::ValuesOf(fields, "upgrade")) {
    if (value.toLower().contains("websocket")) return {http::BadRequest};
  }

  const QList<QByteArray> parts = line.split(' ');
  const QList<QByteArray> hosts = http::ValuesOf(fields, "host");
  QByteArray target = parts[1];
  if (!target.startsWith('/')) {
    // The absolute form (RFC 9112 3.2.2), for the host its Host field names.
    if (target.left(7).toLower() != "http://") return {http::BadRequest};
    const qsizetype path = target.indexOf('/', 7);
    const QByteArray authority = target.mid(7, path < 0 ? -1 : path - 7);
    if (!http::IsAuthority(authority) ||
        (!hosts.isEmpty() && authority.toLower() != hosts[0].toLower())) {
      return {http::BadRequest};
    }
    target = path < 0 ? QByteArray() : target.mid(path);
  }
  const QByteArray path = target.contains('?') ? target.left(target.indexOf('?')) : target;
  if (std::none_of(std::begin(ServedFiles), std::end(ServedFiles),
                   [&path](const Served& file) { return path == file.path; })) {
    return {{404, "Not Found"}};
  }
  if (parts[0] != "GET" && parts[0] != "HEAD")
    return {{405, "Method Not Allowed", {{"Allow", AllowedMethods}}}};
  if (length.value_or(0) > 0) return {http::TooLarge};
  return {{}, http::EndsConnection(line, fields)};
}

// Sees every byte of a connection before Qt's HTTP server does (its slot is
// connected first) and stops what that server would take without limit.
//
// Qt's server reads one request each time the socket is readable (and turns
// again while bytes are left), exactly its head, so the guard knows where
// that server stands: it sees what is new (OnReadyRead) and what Qt left
// unread after its turn (AfterServer). Requests the guard lets pass are
// answered by Qt in order; one it refuses is answered by the guard once Qt
// has answered every request before it, and the connection closes then.
class RequestGuard : public QObject {
 public:
  explicit RequestGuard(AdoptedSocket* socket) : QObject(socket), socket_(socket), deadline_(this) {
    // What the socket reads ahead is bounded too.
    socket->setReadBufferSize(2 * http::MaxHeadBytes);
    connect(socket, &QTcpSocket::readyRead, this, &RequestGuard::OnReadyRead);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { Refuse({408, "Request Timeout"}); });
    deadline_.start(WebPage::RequestDeadlineMs);
    QTimer::singleShot(WebPage::HardLimitMs, socket, [socket] { socket->abort(); });
  }

  // Once Qt's server has connected its own slot.
  void FollowServer() {
    after_ = connect(socket_, &QTcpSocket::readyRead, this, &RequestGuard::AfterServer);
  }

 private:
  void OnReadyRead() {
    if (!socket_->isOpen()) return;  // aborted; what was left is of no interest
    if (answered_) {
      socket_->readAll();
      return;
    }
    // Responses the client leaves unread.
    if (socket_->bytesToWrite() > WebPage::MaxQueuedBytes) {
      // Taken from Qt's server, which reads after this slot; the socket is
      // closed once that has returned.
      answered_ = true;
      socket_->readAll();
      QMetaObject::invokeMethod(socket_, &QSslSocket::abort, Qt::QueuedConnection);
      return;
    }
    const qint64 available = socket_->bytesAvailable();
    if (available > unread_) {
      if (!refusal_.code && !last_) text_ += socket_->peek(available).mid(unread_);
      seen_ += available - unread_;
      unread_ = available;
    }
    Scan();
    AnswerWhenDue();
  }

  void AfterServer() {
    // Qt 6.8's server connects its slot anew after each request it answers
    // (behind this one, which still runs this turn): this one goes behind
    // it again for the next.
    disconnect(after_);
    after_ = connect(socket_, &QTcpSocket::readyRead, this, &RequestGuard::AfterServer);
    if (answered_ || !socket_->isOpen()) return;
    unread_ = socket_->bytesAvailable();
    AnswerWhenDue();
  }

  // Judges the requests that came whole, in order, up to the first refused
  // or the last one the connection serves.
  void Scan() {
    while (!refusal_.code && !last_) {
      // Qt's server skips whitespace left before a request line.
      qsizetype start = 0;
      while (start < text_.size() && IsSkippedBeforeRequest(text_[start])) ++start;
      text_.remove(0, start);
      if (text_.isEmpty()) return;
      if (!deadline_.isActive()) deadline_.start(WebPage::RequestDeadlineMs);
      const qsizetype lineEnd = text_.indexOf('\n');
      if (http::TargetTooLong(lineEnd < 0 ? text_ : text_.left(lineEnd))) {
        Refuse(http::UriTooLong);
        return;
      }
      const qsizetype end = lineEnd < 0 ? -1 : http::HeadEnd(text_, lineEnd);
      if ((end < 0 ? text_.size() : end) > http::MaxHeadBytes) {
        Refuse(http::FieldsTooLarge);
        return;
      }
      if (lineEnd < 0) return;
      // Qt's server gives up on a request line it cannot read as soon as it
      // has it, without an answer: it is judged as soon as it is whole.
      QByteArray line = text_.left(lineEnd);
      if (line.endsWith('\r')) line.chop(1);
      if (!http::IsRequestLine(line)) {
        Refuse(http::BadRequest);
        return;
      }
      if (end < 0) return;
      const Verdict verdict = Judge(line, text_.mid(lineEnd + 1, end - lineEnd - 1));
      if (verdict.refusal.code) {
        Refuse(verdict.refusal);
        return;
      }
      text_.remove(0, end);
      passed_ = seen_ - text_.size();
      deadline_.stop();
      if (verdict.last) {
        // Whatever comes after it is never read.
        last_ = true;
        text_.clear();
      }
    }
  }

  // Taken as the answer to the request after the last one passed.
  void Refuse(const http::Refusal& refusal) {
    if (refusal_.code || last_) return;
    refusal_ = refusal;
    deadline_.stop();
    text_.clear();
    AnswerWhenDue();
  }

  // Once Qt's server has read every request before the refused one (and so
  // answered them), answers it and closes; after the last request the
  // connection serves, closes.
  void AnswerWhenDue() {
    if ((!refusal_.code && !last_) || answered_ || seen_ - unread_ < passed_) return;
    answered_ = true;
    socket_->readAll();
    if (refusal_.code) socket_->write(http::ErrorResponse(refusal_));
    socket_->disconnectFromHost();
    // A client that does not read its answer does not hold the connection.
    QTimer::singleShot(1000, socket_, [socket = socket_] { socket->abort(); });
  }

  AdoptedSocket* socket_;
  QMetaObject::Connection after_;
  QTimer deadline_;
  QByteArray text_;    // what came after the last request passed, not yet judged
  qint64 seen_ = 0;    // bytes of the connection seen
  qint64 unread_ = 0;  // of them, not read by Qt's server yet
  qint64 passed_ = 0;  // where the last request passed ends
  http::Refusal refusal_;
  bool last_ = false;  // the request passed last is the connection's last
  bool answered_ = false;
};

}  // namespace

WebPage::WebPage(QObject* parent, Serving serving)
    : QObject(parent), server_(std::make_unique<QHttpServer>()) {
  sockets_ = new SocketAdopter(MaxConnections, this);
  const bool secure = serving == Serving::SecurePage;
  for (const Served& file : ServedFiles) {
    if (serving == Serving::RedirectToSecure) {
      Redirect(file.path);
      continue;
    }
    const QByteArray body = Resource(file.resource);
    if (std::string_view(file.path) != "/") {
      Serve(file.path, file.type, body, [](const QUrl&) { return QByteArray(http::OwnPolicy); });
      continue;
    }
    const QByteArray scripts = HashOf(body, "script");
    const QByteArray styles = HashOf(body, "style");
    Serve(file.path, file.type, body, [scripts, styles, secure](const QUrl& url) {
      return PagePolicy(scripts, styles, url, secure);
    });
  }
  feed_ = new ServerFeed(this);
  server_->bind(feed_);
}

void WebPage::TakeConnection(int fd) {
  if (AdoptedSocket* socket = sockets_->Adopt(fd)) Serve(socket);
}

void WebPage::TakeConnection(AdoptedSocket* socket) {
  if (sockets_->Adopt(socket) != nullptr) Serve(socket);
}

void WebPage::Serve(AdoptedSocket* socket) {
  auto* guard = new RequestGuard(socket);
  feed_->Deliver(socket);
  guard->FollowServer();
  // Decrypted before it came here, its first bytes are read already: Qt's
  // server hears of them only when told.
  if (socket->bytesAvailable() > 0) emit socket->readyRead();
}

// The same address over https; a temporary redirect, so that a browser
// forgets it once the port serves plain HTTP again.
void WebPage::Redirect(const char* path) {
  const auto location = [](const QHttpServerRequest& request) {
    QUrl url = request.url();
    url.setScheme(QStringLiteral("https"));
    return url.host().isEmpty() ? QByteArray() : url.toEncoded();
  };
  const auto headers = [](const QByteArray& to) {
    std::vector<qt_versions::Header> all = http::CommonHeaders(http::OwnPolicy);
    all.emplace_back("Location", to);
    return all;
  };
  server_->route(path, QHttpServerRequest::Method::Get,
                 [location, headers](const QHttpServerRequest& request) {
                   const QByteArray to = location(request);
                   // An HTTP/1.0 request may name no host to send it to.
                   QHttpServerResponse response(
                       "text/plain", QByteArray(),
                       to.isEmpty() ? QHttpServerResponder::StatusCode::BadRequest
                                    : QHttpServerResponder::StatusCode::TemporaryRedirect);
                   if (!to.isEmpty()) qt_versions::SetHeaders(response, headers(to));
                   return response;
                 });
  server_->route(
      path, QHttpServerRequest::Method::Head,
      [location, headers](const QHttpServerRequest& request, qt_versions::Responder responder) {
        std::vector<qt_versions::Header> all = headers(location(request));
        all.emplace_back("Content-Length", "0");
        qt_versions::WriteHeadOnly(responder, all,
                                   QHttpServerResponder::StatusCode::TemporaryRedirect);
      });
}

void WebPage::Serve(const char* path, const QByteArray& type, const QByteArray& body,
                    std::function<QByteArray(const QUrl&)> policy) {
  server_->route(path, QHttpServerRequest::Method::Get,
                 [type, body, policy](const QHttpServerRequest& request) {
                   QHttpServerResponse response(type, body);
                   qt_versions::SetHeaders(response, AnswerHeaders(request, policy(request.url())));
                   return response;
                 });
  // Qt's server would send a HEAD the body too: the GET's headers, its
  // length, and nothing after them (RFC 9110 9.3.2).
  server_->route(path, QHttpServerRequest::Method::Head,
                 [type, size = body.size(), policy](const QHttpServerRequest& request,
                                                    qt_versions::Responder responder) {
                   std::vector<qt_versions::Header> headers{{"Content-Type", type}};
                   for (auto& header : AnswerHeaders(request, policy(request.url())))
                     headers.push_back(std::move(header));
                   headers.emplace_back("Content-Length", QByteArray::number(size));
                   qt_versions::WriteHeadOnly(responder, headers);
                 });
}

WebPage::~WebPage() = default;

}  // namespace velmor
