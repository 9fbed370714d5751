// The listening ports, as plain sockets. Every one of them follows the
// accept rule (see AcceptRule.h).
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

#include "accept/AcceptRule.h"

class QSocketNotifier;

namespace velmor {

// A listener on a plain socket, for the chat port: each accepted connection
// is handed over as a non-blocking descriptor.
class DescriptorListener : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(int fd)>;
  DescriptorListener(Handler incoming, std::function<void(const QString&)> report, QObject* parent);
  ~DescriptorListener() override;

  // Listens on every address, IPv6 and IPv4 alike; false, with the reason,
  // when the port cannot be listened on.
  bool Listen(std::uint16_t port, QString& reason);
  std::uint16_t Port() const { return port_; }

 private:
  void OnReadable();

  Handler incoming_;
  AcceptRule rule_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velmor
