#include "web/HttpHead.h"

#include <QDateTime>
#include <QHostAddress>
#include <QLocale>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace velmor::http {

namespace {

// Beyond this many fields Qt's parsers drop every field of a request.
constexpr int MaxFields = 100;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A method or field name (RFC 9110's token; Qt's parsers take the same
// characters in a field name).
bool IsToken(const QByteArray& text) {
  static constexpr std::string_view Others = "!#$%&'*+-.^_`|~";
  return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || Others.find(c) != std::string_view::npos;
  });
}

// RFC 9110 5.6.7's IMF-fixdate, in English whatever the machine's language.
QByteArray Now() {
  return QLocale::c()
      .toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
      .toLatin1();
}

}  // namespace

const Refusal BadRequest{400, "Bad Request"};
const Refusal TooLarge{413, "Content Too Large"};
const Refusal UriTooLong{414, "URI Too Long"};
const Refusal FieldsTooLarge{431, "Request Header Fields Too Large"};

const char* const OwnPolicy = "default-src 'none'; frame-ancestors 'none'";

QList<QByteArray> ValuesOf(const Fields& fields, const char* name) {
  QList<QByteArray> values;
  for (const auto& [field, value] : fields) {
    if (field == name) values.append(value);
  }
  return values;
}

bool HasToken(const QList<QByteArray>& values, const char* token) {
  for (const QByteArray& value : values) {
    for (const QByteArray& part : value.split(',')) {
      if (part.trimmed().toLower() == token) return true;
    }
  }
  return false;
}

bool IsRequestLine(const QByteArray& line) {
  const QList<QByteArray> parts = line.split(' ');
  return parts.size() == 3 && IsToken(parts[0]) && !parts[1].isEmpty() &&
         std::all_of(parts[1].begin(), parts[1].end(), [](char c) { return c > ' ' && c < 127; }) &&
         parts[2].size() == 8 && parts[2].startsWith("HTTP/1.") && IsDigit(parts[2][7]);
}

bool TargetTooLong(const QByteArray& line) {
  const qsizetype start = line.indexOf(' ') + 1;
  if (start == 0) return false;
  const qsizetype end = line.indexOf(' ', start);
  return (end < 0 ? line.size() : end) - start > MaxTargetBytes;
}

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

qsizetype HeadEnd(const QByteArray& text, qsizetype lineEnd) {
  for (qsizetype at = text.indexOf('\n', lineEnd + 1); at >= 0; at = text.indexOf('\n', at + 1)) {
    const qsizetype empty = text[at - 1] == '\r' ? at - 1 : at;
    if (text[empty - 1] == '\n') return at + 1;
  }
  return -1;
}

Refusal ReadFields(const QByteArray& block, Fields& fields) {
  for (qsizetype at = 0;;) {
    const qsizetype end = block.indexOf('\n', at);
    if (end < 0) return BadRequest;  // not a whole head
    QByteArray field = block.mid(at, end - at);
    at = end + 1;
    if (field.endsWith('\r')) field.chop(1);
    if (field.isEmpty()) return {};  // the empty line that ends the head
    // A folded line, a bare CR, a NUL, no colon, or space before it
    // (RFC 9112 5.1): Qt's parsers would drop every field or read the
    // value otherwise.
    const qsizetype colon = field.indexOf(':');
    if (field.startsWith(' ') || field.startsWith('\t') || field.contains('\r') ||
        field.contains('\0') || colon < 0 || !IsToken(field.left(colon))) {
      return BadRequest;
    }
    if (fields.size() == MaxFields) return FieldsTooLarge;
    fields.append({field.left(colon).toLower(), field.mid(colon + 1).trimmed()});
  }
}

bool HostValid(const QByteArray& line, const Fields& fields) {
  const QList<QByteArray> hosts = ValuesOf(fields, "host");
  if (hosts.size() > 1) return false;
  if (hosts.isEmpty()) return line.endsWith(" HTTP/1.0");
  return IsAuthority(hosts[0]);
}

bool EndsConnection(const QByteArray& line, const Fields& fields) {
  const QList<QByteArray> options = ValuesOf(fields, "connection");
  if (line.endsWith(" HTTP/1.0")) return !HasToken(options, "keep-alive");
  return HasToken(options, "close");
}

std::vector<Header> CommonHeaders(const QByteArray& policy) {
  // No guessing of types, no framing by other sites, no address of this
  // machine handed on to sites linked from the page.
  return {{"Date", Now()},
          {"Cache-Control", "no-store"},
          {"X-Content-Type-Options", "nosniff"},
          {"X-Frame-Options", "DENY"},
          {"Referrer-Policy", "no-referrer"},
          {"Content-Security-Policy", policy}};
}

QByteArray ErrorResponse(const Refusal& refusal) {
  const QByteArray status = QByteArray::number(refusal.code) + ' ' + refusal.reason;
  const QByteArray body = status + '\n';
  // An answer that names a protocol to upgrade to says so to whatever
  // passes it on (RFC 9110 7.8).
  const bool upgrade = std::any_of(refusal.headers.begin(), refusal.headers.end(),
                                   [](const Header& header) { return header.first == "Upgrade"; });
  QByteArray response = "HTTP/1.1 " + status +
                        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                        QByteArray::number(body.size()) +
                        "\r\nConnection: " + (upgrade ? "Upgrade, close" : "close") + "\r\n";
  for (const auto& [name, value] : refusal.headers) response += name + ": " + value + "\r\n";
  for (const auto& [name, value] : CommonHeaders(OwnPolicy)) {
    response += name + ": " + value + "\r\n";
  }
  return response + "\r\n" + body;
}

}  // namespace velmor::http
