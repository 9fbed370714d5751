// Where Qt's API differs between the releases we build on (Qt 6.4 in
// Debian 12 to Qt 6.8 in Debian 13), the difference is bridged here and
// nowhere else.
#pragma once

#include <QByteArray>
#include <QHttpServerResponse>
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

}  // namespace velmor::qt_versions
