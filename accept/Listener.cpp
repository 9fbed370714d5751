#include "accept/Listener.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace velmor {

namespace {

// Connections taken per wake-up of the listener, so that a burst cannot
// starve the clients already connected.
constexpr int AcceptBatch = 64;

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace

DescriptorListener::DescriptorListener(Handler incoming, std::function<void(const QString&)> report,
                                       QObject* parent)
    : QObject(parent),
      incoming_(std::move(incoming)),
      rule_(
          [this](bool pause) {
            if (notifier_ != nullptr) notifier_->setEnabled(!pause);
          },
          std::move(report), this) {}

DescriptorListener::~DescriptorListener() {
  delete notifier_;
  if (fd_ >= 0) ::close(fd_);
}

// A plain socket rather than a QTcpServer: serving clients without Qt's
// socket buffering is what keeps the chat port fast (measurements in
// docs/performance.md).
bool DescriptorListener::Listen(std::uint16_t port, QString& reason) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const bool v6 = fd >= 0;
  if (!v6) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reason = ErrnoText(errno);
    return false;
  }
  const int on = 1;
  const int off = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage address{};
  socklen_t length = 0;
  if (v6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_any;
    a->sin6_port = htons(port);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    a->sin_port = htons(port);
    length = sizeof *a;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    reason = ErrnoText(errno);
    ::close(fd);
    return false;
  }
  length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  fd_ = fd;
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
  connect(notifier_, &QSocketNotifier::activated, this, &DescriptorListener::OnReadable);
  return true;
}

void DescriptorListener::OnReadable() {
  for (int i = 0; i < AcceptBatch; ++i) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      rule_.Accepted();
      incoming_(fd);
      continue;
    }
    switch (errno) {
      case EAGAIN:
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        return;
      default:
        rule_.Failed(ErrnoText(errno));
        return;
    }
  }
}

}  // namespace velmor
