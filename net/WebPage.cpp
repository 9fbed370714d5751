#include "net/WebPage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <optional>

#include "net/Listener.h"
#include "net/QtVersions.h"
#include "net/ServerFeed.h"
#include "net/SocketAdopter.h"

namespace velmor {

namespace {

// On every response: no guessing of types, no framing by other sites, no
// address of this machine handed on to sites linked from the page.
const char* const OwnPolicy = "default-src 'none'; frame-ancestors 'none'";

// The methods the page and its icon take.
const char* const AllowedMethods = "GET, HEAD";

// Beyond this many fields Qt's parser drops every field of a request.
constexpr int MaxFields = 100;

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
// browser named, on the port the WebSocket listens on, whatever port the
// browser named (a forwarded one) or left out (80).
QByteArray PagePolicy(const QByteArray& scripts, const QByteArray& styles, const QUrl& url,
                      std::uint16_t socketPort) {
  QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
  const bool plain = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
  });
  if (host.contains(':')) host = "[" + host + "]";
  const QByteArray socket =
      plain ? "ws://" + host + ":" + QByteArray::number(socketPort) : QByteArray("'none'");
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

// Why the guard answers a request itself; a code of 0 lets Qt's server answer.
struct Refusal {
  int code = 0;
  QByteArray reason;
};

const Refusal BadRequest{400, "Bad Request"};
const Refusal TooLarge{413, "Content Too Large"};
const Refusal FieldsTooLarge{431, "Request Header Fields Too Large"};

// The guard's own answers, each a fixed text with the same headers as the
// pages Qt serves, after which the connection closes.
QByteArray ErrorResponse(const Refusal& refusal) {
  const QByteArray status = QByteArray::number(refusal.code) + ' ' + refusal.reason;
  const QByteArray body = status + '\n';
  QByteArray response = "HTTP/1.1 " + status +
                        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n";
  if (refusal.code == 405) response += QByteArray("Allow: ") + AllowedMethods + "\r\n";
  for (const auto& [name, value] : CommonHeaders(OwnPolicy)) {
    response += name + ": " + value + "\r\n";
  }
  return response + "\r\n" + body;
}

QByteArray Resource(const char* path) {
  QFile file(QString::fromLatin1(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSkippedBeforeRequest(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v';
}

// A method or field name (RFC 9110's token; Qt's parser takes the same
// characters in a field name).
bool IsToken(const QByteArray& text) {
  static constexpr std::string_view Others = "!#$%&'*+-.^_`|~";
  return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || Others.find(c) != std::string_view::npos;
  });
}

// host [":" port], as Qt's URL parser takes it as the request's host: a
// name or IPv4 address, or an IPv6 address in brackets.
bool IsAuthority(const QByteArray& text) {
  qsizetype hostEnd = 0;
  if (text.startsWith('[')) {
    // Without a zone: Qt's URL parser would not take it as given.
    hostEnd = text.indexOf(']') + 1;
    if (hostEnd <= 0 || text.left(hostEnd).contains('%')) return false;
    const QHostAddress address(QString::fromLatin1(text.mid(1, hostEnd - 2)));
    if (address.protocol() != QAbstractSocket::IPv6Protocol) return false;
  } else {
    hostEnd = text.indexOf(':');
    if (hostEnd < 0) hostEnd = text.size();
    if (hostEnd == 0 || !std::all_of(text.begin(), text.begin() + hostEnd, [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        }))
      return false;
  }
  if (hostEnd == text.size()) return true;
  const QByteArray port = text.mid(hostEnd + 1);
  return text[hostEnd] == ':' && port.size() <= 5 &&
         std::all_of(port.begin(), port.end(), IsDigit) && port.toInt() <= 65535;
}

// The values of a request's fields of one name (in lower case).
using Fields = QList<std::pair<QByteArray, QByteArray>>;
QList<QByteArray> ValuesOf(const Fields& fields, const char* name) {
  QList<QByteArray> values;
  for (const auto& [field, value] : fields) {
    if (field == name) values.append(value);
  }
  return values;
}

// The request line, without its line end: METHOD SP target SP HTTP/1.x,
// nothing looser than RFC 9112 allows.
bool IsRequestLine(const QByteArray& line) {
  const QList<QByteArray> parts = line.split(' ');
  return parts.size() == 3 && IsToken(parts[0]) && !parts[1].isEmpty() &&
         std::all_of(parts[1].begin(), parts[1].end(), [](char c) { return c > ' ' && c < 127; }) &&
         parts[2].size() == 8 && parts[2].startsWith("HTTP/1.") && IsDigit(parts[2][7]);
}

// What a whole request head asks, judged on the fields as Qt's parser reads
// them: each line up to an LF, a CR before it dropped, the name up to the
// first colon, the value trimmed. Whatever that parser would read otherwise
// or not at all is refused, so both read every request the same way.
Refusal Judge(const QByteArray& line, const QByteArray& block) {
  Fields fields;
  for (qsizetype at = 0;;) {
    const qsizetype end = block.indexOf('\n', at);
    if (end < 0) return BadRequest;  // not a whole head
    QByteArray field = block.mid(at, end - at);
    at = end + 1;
    if (field.endsWith('\r')) field.chop(1);
    if (field.isEmpty()) break;  // the empty line that ends the head
    // A folded line, a bare CR, a NUL, no colon, or space before it
    // (RFC 9112 5.1): Qt's parser would drop every field or read the
    // value otherwise.
    const qsizetype colon = field.indexOf(':');
    if (field.startsWith(' ') || field.startsWith('\t') || field.contains('\r') ||
        field.contains('\0') || colon < 0 || !IsToken(field.left(colon))) {
      return BadRequest;
    }
    if (fields.size() == MaxFields) return FieldsTooLarge;
    fields.append({field.left(colon).toLower(), field.mid(colon + 1).trimmed()});
  }

  // A body is never taken. One of unknown length, or one longer than any
  // request head may be, is refused before anything else is looked at.
  if (!ValuesOf(fields, "transfer-encoding").isEmpty()) return TooLarge;
  std::optional<qint64> length;
  for (const QByteArray& value : ValuesOf(fields, "content-length")) {
    if (value.isEmpty() || !std::all_of(value.begin(), value.end(), IsDigit)) return BadRequest;
    if (value.size() > 9 || value.toLongLong() > WebPage::MaxHeadBytes) return TooLarge;
    if (length && *length != value.toLongLong()) return BadRequest;
    length = value.toLongLong();
  }

  // RFC 9112 3.2: exactly one Host, a valid one, in HTTP/1.1.
  const QList<QByteArray> hosts = ValuesOf(fields, "host");
  const bool http10 = line.endsWith(" HTTP/1.0");
  if (hosts.size() > 1 || (hosts.isEmpty() && !http10) ||
      (!hosts.isEmpty() && !IsAuthority(hosts[0]))) {
    return BadRequest;
  }
  // The WebSocket has a port of its own. Any other upgrade (h2c) is ignored,
  // as Qt's server ignores it, and the request served as HTTP/1.1.
  for (const QByteArray& value : ValuesOf(fields, "upgrade")) {
    if (value.toLower().contains("websocket")) return BadRequest;
  }

  const QList<QByteArray> parts = line.split(' ');
  QByteArray target = parts[1];
  if (!target.startsWith('/')) {
    // The absolute form (RFC 9112 3.2.2), for the host its Host field names.
    if (target.left(7).toLower() != "http://") return BadRequest;
    const qsizetype path = target.indexOf('/', 7);
    const QByteArray authority = target.mid(7, path < 0 ? -1 : path - 7);
    if (!IsAuthority(authority) ||
        (!hosts.isEmpty() && authority.toLower() != hosts[0].toLower())) {
      return BadRequest;
    }
    target = path < 0 ? QByteArray() : target.mid(path);
  }
  const QByteArray path = target.contains('?') ? target.left(target.indexOf('?')) : target;
  if (path != "/" && path != "/favicon.ico") return {404, "Not Found"};
  if (parts[0] != "GET" && parts[0] != "HEAD") return {405, "Method Not Allowed"};
  if (length.value_or(0) > 0) return TooLarge;
  return {};
}

// Where a request head ends as Qt's server finds it: past the LF of the
// first empty line ("\r\n" or "\n") after the request line, whose LF is at
// lineEnd in text; -1 while that has not come.
qsizetype HeadEnd(const QByteArray& text, qsizetype lineEnd) {
  for (qsizetype at = text.indexOf('\n', lineEnd + 1); at >= 0; at = text.indexOf('\n', at + 1)) {
    const qsizetype empty = text[at - 1] == '\r' ? at - 1 : at;
    if (text[empty - 1] == '\n') return at + 1;
  }
  return -1;
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
  explicit RequestGuard(QTcpSocket* socket) : QObject(socket), socket_(socket), deadline_(this) {
    // What the socket reads ahead is bounded too.
    socket->setReadBufferSize(2 * WebPage::MaxHeadBytes);
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
      QMetaObject::invokeMethod(socket_, &QTcpSocket::abort, Qt::QueuedConnection);
      return;
    }
    const qint64 available = socket_->bytesAvailable();
    if (available > unread_) {
      if (!refusal_.code) text_ += socket_->peek(available).mid(unread_);
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

  // Judges the requests that came whole, in order, up to the first refused.
  void Scan() {
    while (!refusal_.code) {
      // Qt's server skips whitespace left before a request line.
      qsizetype start = 0;
      while (start < text_.size() && IsSkippedBeforeRequest(text_[start])) ++start;
      text_.remove(0, start);
      if (text_.isEmpty()) return;
      if (!deadline_.isActive()) deadline_.start(WebPage::RequestDeadlineMs);
      const qsizetype lineEnd = text_.indexOf('\n');
      const qsizetype end = lineEnd < 0 ? -1 : HeadEnd(text_, lineEnd);
      if ((end < 0 ? text_.size() : end) > WebPage::MaxHeadBytes) {
        Refuse(FieldsTooLarge);
        return;
      }
      if (lineEnd < 0) return;
      // Qt's server gives up on a request line it cannot read as soon as it
      // has it, without an answer: it is judged as soon as it is whole.
      QByteArray line = text_.left(lineEnd);
      if (line.endsWith('\r')) line.chop(1);
      if (!IsRequestLine(line)) {
        Refuse(BadRequest);
        return;
      }
      if (end < 0) return;
      const Refusal refusal = Judge(line, text_.mid(lineEnd + 1, end - lineEnd - 1));
      if (refusal.code) {
        Refuse(refusal);
        return;
      }
      text_.remove(0, end);
      passed_ = seen_ - text_.size();
      deadline_.stop();
    }
  }

  // Taken as the answer to the request after the last one passed.
  void Refuse(const Refusal& refusal) {
    if (refusal_.code) return;
    refusal_ = refusal;
    deadline_.stop();
    text_.clear();
    AnswerWhenDue();
  }

  // Answers the refused request once Qt's server has read every request
  // before it (and so answered them), and closes.
  void AnswerWhenDue() {
    if (!refusal_.code || answered_ || seen_ - unread_ < passed_) return;
    answered_ = true;
    socket_->readAll();
    socket_->write(ErrorResponse(refusal_));
    socket_->disconnectFromHost();
    // A client that does not read its answer does not hold the connection.
    QTimer::singleShot(1000, socket_, [socket = socket_] { socket->abort(); });
  }

  QTcpSocket* socket_;
  QMetaObject::Connection after_;
  QTimer deadline_;
  QByteArray text_;    // what came after the last request passed, not yet judged
  qint64 seen_ = 0;    // bytes of the connection seen
  qint64 unread_ = 0;  // of them, not read by Qt's server yet
  qint64 passed_ = 0;  // where the last request passed ends
  Refusal refusal_;
  bool answered_ = false;
};

}  // namespace

WebPage::WebPage(std::function<void(const QString&)> report, QObject* parent)
    : QObject(parent), server_(std::make_unique<QHttpServer>()) {
  sockets_ = new SocketAdopter(MaxConnections, this);
  listener_ = new DescriptorListener(
      [this](int fd) {
        if (QTcpSocket* socket = sockets_->Adopt(fd)) {
          auto* guard = new RequestGuard(socket);
          feed_->Feed(socket);
          guard->FollowServer();
        }
      },
      std::move(report), this);
  const QByteArray page = Resource(":/velmor/web/index.html");
  const QByteArray scripts = HashOf(page, "script");
  const QByteArray styles = HashOf(page, "style");
  // The WebSocket listens on the next port (see BrowserGate).
  Serve("/", "text/html; charset=utf-8", page, [this, scripts, styles](const QUrl& url) {
    return PagePolicy(scripts, styles, url, static_cast<std::uint16_t>(Port() + 1));
  });
  Serve("/favicon.ico", "image/png", Resource(":/velmor/web/favicon.png"),
        [](const QUrl&) { return QByteArray(OwnPolicy); });
}

void WebPage::Serve(const char* path, const QByteArray& type, const QByteArray& body,
                    std::function<QByteArray(const QUrl&)> policy) {
  server_->route(path, QHttpServerRequest::Method::Get,
                 [type, body, policy](const QHttpServerRequest& request) {
                   QHttpServerResponse response(type, body);
                   qt_versions::SetHeaders(response, CommonHeaders(policy(request.url())));
                   return response;
                 });
  // Qt's server would send a HEAD the body too: the GET's headers, its
  // length, and nothing after them (RFC 9110 9.3.2).
  server_->route(path, QHttpServerRequest::Method::Head,
                 [type, size = body.size(), policy](const QHttpServerRequest& request,
                                                    qt_versions::Responder responder) {
                   std::vector<qt_versions::Header> headers{{"Content-Type", type}};
                   for (auto& header : CommonHeaders(policy(request.url())))
                     headers.push_back(std::move(header));
                   headers.emplace_back("Content-Length", QByteArray::number(size));
                   qt_versions::WriteHeadOnly(responder, headers);
                 });
}

WebPage::~WebPage() = default;

bool WebPage::Listen(std::uint16_t port, QString& reason) {
  if (!listener_->Listen(port, reason)) return false;
  feed_ = new ServerFeed(this);
  server_->bind(feed_);
  return true;
}

std::uint16_t WebPage::Port() const { return listener_->Port(); }

}  // namespace velmor
