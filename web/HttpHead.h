// How both browser ports read a request head before Qt does, and answer one
// themselves: the page's requests (WebPage) and the WebSocket's handshakes
// (BrowserGate). One reader takes each line as Qt's parsers will (a line may
// end in LF alone, the name up to the first colon, the value trimmed) and
// refuses whatever they would read otherwise; one form of answer carries the
// same headers as the pages Qt serves, and closes the connection.
#pragma once

#include <QByteArray>
#include <QList>

#include <utility>
#include <vector>

namespace velmor::http {

// A request's head, its line and fields, is read within this.
constexpr int MaxHeadBytes = 8 * 1024;
// A request-target longer than this is refused (414) as soon as that much
// of it has come (RFC 9112 3).
constexpr int MaxTargetBytes = 4 * 1024;

using Header = std::pair<QByteArray, QByteArray>;

// Why a request is answered with an error, and the headers that answer
// carries besides the common ones; a code of 0 lets it pass.
struct Refusal {
  int code = 0;
  QByteArray reason;
  std::vector<Header> headers = {};
};

extern const Refusal BadRequest;
extern const Refusal TooLarge;
extern const Refusal UriTooLong;
extern const Refusal FieldsTooLarge;

// A request's fields in order, their names in lower case.
using Fields = QList<Header>;
QList<QByteArray> ValuesOf(const Fields& fields, const char* name);
// Whether the comma-separated values hold the token, in any case.
bool HasToken(const QList<QByteArray>& values, const char* token);

// The request line, without its line end: METHOD SP target SP HTTP/1.x,
// nothing looser than RFC 9112 allows.
bool IsRequestLine(const QByteArray& line);
// Whether the target of a request line, whole or in part, is longer than
// MaxTargetBytes.
bool TargetTooLong(const QByteArray& line);
// host [":" port], as Qt's URL parser takes it as a request's host.
bool IsAuthority(const QByteArray& text);
// Where a request head ends as Qt's HTTP server finds it: past the LF of
// the first empty line ("\r\n" or "\n") after the request line, whose LF is
// at lineEnd in text; -1 while that has not come.
qsizetype HeadEnd(const QByteArray& text, qsizetype lineEnd);
// Reads the fields of a whole head after its request line (up to and with
// its empty line) into fields; a refusal for anything Qt's parsers would
// read otherwise or not at all (400), or for too many fields (431).
Refusal ReadFields(const QByteArray& block, Fields& fields);
// Exactly one Host, a valid one, in HTTP/1.1 (RFC 9112 3.2).
bool HostValid(const QByteArray& line, const Fields& fields);
// Whether the connection ends with the answer to this request: HTTP/1.1
// asked with "close", HTTP/1.0 unless asked with "keep-alive" (RFC 9112
// 9.3, 9.6).
bool EndsConnection(const QByteArray& line, const Fields& fields);

// The policy of an answer that embeds nothing.
extern const char* const OwnPolicy;
// Every answer's headers besides its type and length, the time it is made
// (RFC 9110 6.6.1) among them: those of the pages Qt serves and of the
// ports' own answers alike.
std::vector<Header> CommonHeaders(const QByteArray& policy);
// A port's own answer: the refusal's status, its headers and the common
// ones, a short text, and the end of the connection.
QByteArray ErrorResponse(const Refusal& refusal);

}  // namespace velmor::http
