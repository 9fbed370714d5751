#include "stderr/StatusEcho.h"

#include <QString>

#include <string_view>

#include "stderr/StderrQueue.h"

namespace velmor {

void StatusEcho::SetStatusText(const std::u16string& text) {
  const QByteArray line = "velmor: status: " + QString::fromStdU16String(text).toUtf8() + '\n';
  StderrQueue::Instance().WriteLine(std::string_view(line.constData(), line.size()));
}

}  // namespace velmor
