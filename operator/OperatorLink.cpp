#include "operator/OperatorLink.h"

#include <QNetworkInterface>

namespace velmor {

QString LocalIPv4Address() {
  for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
    const auto flags = interface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) {
      continue;
    }
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
      const QHostAddress ip = entry.ip();
      if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()) return ip.toString();
    }
  }
  return {};
}

}  // namespace velmor
