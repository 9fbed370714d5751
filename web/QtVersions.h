// Where Qt's API differs between the releases we build on (Qt 6.4 in
// Debian 12 to Qt 6.8 in Debian 13), the difference is bridged here and
// nowhere else.
#pragma once

#include <QByteArray>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QIODevice>
#include <QtGlobal>

#include <utility>
#include <vector>

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QHttpHeaders>
#endif

namespace velmor::qt_versions {

using Header = std::pair<QByteArray, QByteArray>;

// Adds headers to a response, replacing any of the same name.
inline void SetHeaders(QHttpServerResponse& response, const std::vector<Header>& headers) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
  QHttpHeaders all = response.headers();
  for (const auto& [name, value] : headers) all.replaceOrAppend(name, value);
  response.setHeaders(std::move(all));
#else
  for (const auto& [name, value] : headers) response.setHeader(name, value);
#endif
}

// What a route's handler that writes its answer itself is handed.
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
using Responder = QHttpServerResponder&;
#else
using Responder = QHttpServerResponder&&;
#endif

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
// Nothing to read, and no size known: Qt 6.8 then writes the headers it is
// given, no Content-Length of its own, and no body.
class NoContent : public QIODevice {
 public:
  NoContent() { open(QIODevice::ReadOnly); }
  bool isSequential() const override { return true; }

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char*, qint64) override { return -1; }
};
#endif

// Answers with exactly these headers and no body, as a HEAD is answered:
// every other way of answering adds a Content-Length of the (empty) body.
inline void WriteHeadOnly(
    QHttpServerResponder& responder, const std::vector<Header>& headers,
    QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
  QHttpHeaders all;
  for (const auto& [name, value] : headers) all.append(name, value);
  responder.write(new NoContent, all, status);
#else
  responder.writeStatusLine(status);
  for (const auto& [name, value] : headers) responder.writeHeader(name, value);
  responder.writeBody(QByteArray());
#endif
}

}  // namespace velmor::qt_versions
