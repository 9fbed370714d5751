#include "net/ChatServer.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/Cp932.h"

namespace velmor {

namespace {

constexpr std::u16string_view AcceptedText = u"Pibbetより接続を受け付けました";
constexpr std::u16string_view WaitingText = u"待機中・・・";
constexpr std::u16string_view FullText = u"接続数が上限に達したため、接続を断りました";
constexpr std::u16string_view ListenFailedText = u"ポート5000で待機できません";
constexpr std::u16string_view ErrorText = u"でエラーにより、この接続を切ります";
// What the listener calls itself where a connection would name its peer.
constexpr std::u16string_view ListenerLabel = u"待受ポート5000";
constexpr std::u16string_view ListenerAddress = u"0.0.0.0";
// Connections taken per wake-up of the listener, so that a burst cannot
// starve the clients already connected.
constexpr int AcceptBatch = 64;

std::u16string ToU16(const QString& text) { return text.toStdU16String(); }

QString PeerAddressText(const QHostAddress& address) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  return isV4 ? QHostAddress(v4).toString() : address.toString();
}

}  // namespace

ChatServer::ChatServer(StatusLine& status, QObject* parent)
    : QObject(parent), Status(status), TheRoom(*this, status), WSock(1) {
  ResumeTimer.setSingleShot(true);
  ResumeTimer.setInterval(AcceptRetryMs);
  connect(&ResumeTimer, &QTimer::timeout, this, [this] {
    if (ListenNotifier != nullptr) ListenNotifier->setEnabled(true);
  });
  WSock[0].Address = ListenerAddress;
  WSock[0].Label = ListenerLabel;
}

ChatServer::~ChatServer() {
  for (SlotIndex s = 1; s < static_cast<SlotIndex>(WSock.size()); ++s) Detach(s);
  delete ListenNotifier;
  if (ListenFd >= 0) ::close(ListenFd);
}

ChatServer::StartResult ChatServer::Start(std::uint16_t port) {
  if (!Lock.TryAcquire()) {
    std::fputs("velmor: another instance of Velmor already serves port 5000 for this user; "
               "this one will not listen.\n",
               stderr);
    return StartResult::AnotherInstance;
  }
  QString reason;
  const bool listening = ListenOn(port, reason);
  if (listening) {
    Status.SetStatusText(std::u16string(WaitingText));
  } else {
    Status.SetStatusText(std::u16string(ListenFailedText) + u"[" + ToU16(reason) + u"]");
  }
  SlotBook.Open();
  return listening ? StartResult::Listening : StartResult::ListenFailed;
}

// The listener is a plain socket watched by the event loop rather than a
// QTcpServer: when accept fails for lack of descriptors, QTcpServer neither
// reports it nor pauses, and the loop spins on the readable listener. Here a
// failed accept is reported once and the listener rests for a moment.
bool ChatServer::ListenOn(std::uint16_t port, QString& reason) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const bool v6 = fd >= 0;
  if (!v6) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reason = QString::fromLocal8Bit(std::strerror(errno));
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
    reason = QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    return false;
  }
  length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  Port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  ListenFd = fd;
  ListenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
  connect(ListenNotifier, &QSocketNotifier::activated, this, &ChatServer::OnListenerReadable);
  return true;
}

void ChatServer::OnListenerReadable() {
  for (int i = 0; i < AcceptBatch; ++i) {
    const int fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      AcceptTroubleReported = false;
      WSock_ConnectionRequest(fd);
      continue;
    }
    switch (errno) {
      case EAGAIN:
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        return;
      default:
        PauseAccepting(errno);
        return;
    }
  }
}

void ChatServer::PauseAccepting(int error) {
  ListenNotifier->setEnabled(false);
  ResumeTimer.start();
  if (AcceptTroubleReported) return;
  AcceptTroubleReported = true;
  std::fprintf(stderr, "velmor: accepting a connection failed: %s; trying again every %d ms\n",
               std::strerror(error), AcceptRetryMs);
  Status.SetStatusText(std::u16string(ListenerLabel) + u"(" + std::u16string(ListenerAddress) +
                       u")" + std::u16string(ErrorText));
}

void ChatServer::WSock_ConnectionRequest(int fd) {
  const SlotTable::Placement placement = SlotBook.FindSlot();
  if (placement.kind == SlotTable::Placement::Kind::Full) {
    ::close(fd);
    Status.SetStatusText(std::u16string(FullText));
    return;
  }
  if (placement.kind == SlotTable::Placement::Kind::NewSlot) WSock.emplace_back();
  Attach(placement.slot, fd);
  Status.SetStatusText(std::u16string(AcceptedText));
  SlotBook.Take(placement);
}

void ChatServer::Attach(SlotIndex slot, int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Endpoint& e = WSock[slot];
  e.Socket = new QTcpSocket(this);
  e.Socket->setSocketDescriptor(fd);
  e.Fd = fd;
  e.Generation = NextGeneration++;
  e.Address = ToU16(PeerAddressText(e.Socket->peerAddress()));
  e.Label = e.Address + u":" + ToU16(QString::number(e.Socket->peerPort()));

  const std::uint64_t generation = e.Generation;
  QTcpSocket* socket = e.Socket;
  connect(socket, &QTcpSocket::readyRead, this, [this, slot, generation] {
    if (IsCurrent(slot, generation)) TheRoom.WSock_DataArrival(slot);
  });
  connect(socket, &QTcpSocket::disconnected, this, [this, slot, generation] {
    if (IsCurrent(slot, generation)) TheRoom.WSock_Close(slot);
  });
  connect(socket, &QTcpSocket::errorOccurred, this,
          [this, slot, generation](QAbstractSocket::SocketError error) {
            // A peer's orderly close also arrives as an error; it is handled
            // as the close it is, on the disconnected signal.
            if (error == QAbstractSocket::RemoteHostClosedError) return;
            if (IsCurrent(slot, generation)) TheRoom.WSock_Error(slot);
          });
}

bool ChatServer::IsCurrent(SlotIndex slot, std::uint64_t generation) const {
  return slot < static_cast<SlotIndex>(WSock.size()) && WSock[slot].Socket != nullptr &&
         WSock[slot].Generation == generation;
}

void ChatServer::Detach(SlotIndex slot) {
  Endpoint& e = WSock[slot];
  if (e.Socket == nullptr) return;
  QTcpSocket* socket = e.Socket;
  e.Socket = nullptr;
  e.Fd = -1;
  socket->disconnect(this);
  socket->abort();
  // The socket may be the sender of the signal being handled.
  socket->deleteLater();
}

std::u16string ChatServer::GetData(SlotIndex slot) {
  QTcpSocket* socket = WSock[slot].Socket;
  if (socket == nullptr) return {};
  const QByteArray bytes = socket->readAll();
  return Cp932::Instance().Decode(std::string_view(bytes.constData(), bytes.size()));
}

void ChatServer::SendData(SlotIndex slot, const std::u16string& text) {
  Endpoint& e = WSock[slot];
  if (e.Socket == nullptr) return;
  if (text != LastReplyText) {
    Cp932::Instance().EncodeInto(text, LastReplyBytes);
    LastReplyText = text;
  }
  const char* data = LastReplyBytes.data();
  qint64 left = static_cast<qint64>(LastReplyBytes.size());
  // With nothing queued, hand the reply to the kernel at once; Qt queues
  // whatever it does not take.
  if (e.Socket->bytesToWrite() == 0) {
    const ssize_t sent = ::send(e.Fd, data, static_cast<size_t>(left), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      left -= sent;
    }
  }
  if (left > 0) e.Socket->write(data, left);

  if (e.Socket->bytesToWrite() > MaxPendingReplyBytes) {
    // A client that does not read its replies is dropped rather than
    // buffered without end; after the request in hand has finished.
    const std::uint64_t generation = e.Generation;
    QMetaObject::invokeMethod(
        this,
        [this, slot, generation] {
          if (IsCurrent(slot, generation)) TheRoom.WSock_Error(slot);
        },
        Qt::QueuedConnection);
  }
}

void ChatServer::ReleaseSlot(SlotIndex slot) {
  Detach(slot);
  SlotBook.Free(slot);
}

std::u16string ChatServer::PeerAddress(SlotIndex slot) const { return WSock[slot].Address; }

std::u16string ChatServer::PeerLabel(SlotIndex slot) const { return WSock[slot].Label; }

QString ChatServer::LocalIP() {
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
