#include "net/StatusEcho.h"

#include <QString>

#include <cstdio>

namespace velmor {

void StatusEcho::SetStatusText(const std::u16string& text) {
  Current = text;
  const QByteArray line = "velmor: status: " + QString::fromStdU16String(text).toUtf8() + '\n';
  std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
  if (Watcher) Watcher(text);
}

}  // namespace velmor
