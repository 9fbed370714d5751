#include "net/ChatServer.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "net/StderrQueue.h"
#include "net/WebPage.h"
#include "room/SameText.h"
#include "room/StatusTexts.h"
#include "wire/Cp932.h"

namespace velmor {

namespace {

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
    : QObject(parent),
      Echo(status),
      TheRoom(*this, *this),
      WSock(1),
      // Children, so that they move with the server to its thread.
      ResumeTimer(this),
      PublishCooldown(this) {
  TheRoom.SetDisplay(this);
  PublishCooldown.setSingleShot(true);
  connect(&PublishCooldown, &QTimer::timeout, this, [this] {
    if (ViewsPending || StatusPending) Publish();
  });
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
  QString reason;
  const bool listening = ListenOn(port, reason);
  if (listening) {
    SetStatusText(std::u16string(status::Waiting));
  } else {
    SetStatusText(status::ListenFailed(ToU16(reason)));
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
  StderrQueue::Instance().WriteLine(
      "velmor: accepting a connection failed: " + std::string(std::strerror(error)) +
      "; trying again every " + std::to_string(AcceptRetryMs) + " ms\n");
  SetStatusText(status::ConnectionError(ListenerLabel, ListenerAddress));
}

std::optional<SlotIndex> ChatServer::TakeSlot() {
  const SlotTable::Placement placement = SlotBook.FindSlot();
  if (placement.kind == SlotTable::Placement::Kind::Full) {
    SetStatusText(std::u16string(status::Full));
    return std::nullopt;
  }
  if (placement.kind == SlotTable::Placement::Kind::NewSlot) WSock.emplace_back();
  SlotBook.Take(placement);
  return placement.slot;
}

void ChatServer::WSock_ConnectionRequest(int fd) {
  const std::optional<SlotIndex> slot = TakeSlot();
  if (!slot) {
    ::close(fd);
    return;
  }
  Attach(*slot, fd);
  SetStatusText(std::u16string(status::Accepted));
}

void ChatServer::Attach(SlotIndex slot, int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Endpoint& e = WSock[slot];
  e.Fd = fd;
  e.Generation = NextGeneration++;
  e.Unsent.clear();
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  QHostAddress address;
  quint16 port = 0;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
    address.setAddress(reinterpret_cast<const sockaddr*>(&peer));
    port = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  }
  e.Address = ToU16(PeerAddressText(address));
  e.Label = e.Address + u":" + ToU16(QString::number(port));

  const std::uint64_t generation = e.Generation;
  e.Readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(e.Readable, &QSocketNotifier::activated, this,
          [this, slot, generation] { OnReadable(slot, generation); });
  e.Writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  e.Writable->setEnabled(false);
  connect(e.Writable, &QSocketNotifier::activated, this,
          [this, slot, generation] { OnWritable(slot, generation); });
}

bool ChatServer::IsCurrent(SlotIndex slot, std::uint64_t generation) const {
  return slot < static_cast<SlotIndex>(WSock.size()) && WSock[slot].Open() &&
         WSock[slot].Generation == generation;
}

ChatServer::Ending ChatServer::EndingOf(int error) {
  // A reset is how many clients leave; it ends the connection as a close does.
  return error == ECONNRESET || error == EPIPE ? Ending::PeerClosed : Ending::Failed;
}

// Everything received and not yet read is one arrival. One read with a large
// buffer usually takes it all; a bound keeps a client that streams without
// pause from holding the loop.
void ChatServer::OnReadable(SlotIndex slot, std::uint64_t generation) {
  if (!IsCurrent(slot, generation)) return;
  constexpr std::size_t Chunk = 64 * 1024;
  constexpr std::size_t MaxArrival = 16 * 1024 * 1024;
  const int fd = WSock[slot].Fd;
  if (ReadBuffer.empty()) ReadBuffer.resize(Chunk);
  Inbox.clear();
  std::string_view arrival;
  int error = 0;
  bool peerClosed = false;
  for (;;) {
    const ssize_t got = ::recv(fd, ReadBuffer.data(), Chunk, 0);
    if (got == 0) peerClosed = true;
    if (got < 0 && errno != EAGAIN && errno != EINTR) error = errno;
    if (got <= 0) break;
    const std::string_view bytes(ReadBuffer.data(), static_cast<std::size_t>(got));
    if (arrival.empty() && bytes.size() < Chunk) {
      arrival = bytes;  // the usual case: one read, no copy
      break;
    }
    Inbox.append(bytes);
    if (bytes.size() < Chunk || Inbox.size() >= MaxArrival) break;
  }
  if (!Inbox.empty()) arrival = Inbox;
  if (!arrival.empty()) {
    // The close or failure, if any, is seen on the next wake-up.
    const std::u16string text = Cp932::Instance().Decode(arrival);
    // A flood's buffer is not kept for the ordinary requests after it.
    if (Inbox.capacity() > (1u << 20)) std::string().swap(Inbox);
    TheRoom.WSock_DataArrival(slot, text);
    return;
  }
  if (peerClosed) {
    End(slot, Ending::PeerClosed);
  } else if (error != 0) {
    End(slot, EndingOf(error));
  }
}

void ChatServer::OnWritable(SlotIndex slot, std::uint64_t generation) {
  if (!IsCurrent(slot, generation)) return;
  Endpoint& e = WSock[slot];
  const ssize_t sent = ::send(e.Fd, e.Unsent.data(), e.Unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EINTR) {
    // Read errno before any other call can change it.
    const Ending ending = EndingOf(errno);
    e.Writable->setEnabled(false);
    End(slot, ending);
    return;
  }
  if (sent > 0) e.Unsent.erase(0, static_cast<std::size_t>(sent));
  if (e.Unsent.empty()) e.Writable->setEnabled(false);
}

void ChatServer::End(SlotIndex slot, Ending ending) {
  if (ending == Ending::PeerClosed) {
    TheRoom.WSock_Close(slot);
  } else {
    TheRoom.WSock_Error(slot);
  }
}

void ChatServer::EndLater(SlotIndex slot, Ending ending) {
  const std::uint64_t generation = WSock[slot].Generation;
  QMetaObject::invokeMethod(
      this,
      [this, slot, generation, ending] {
        if (IsCurrent(slot, generation)) End(slot, ending);
      },
      Qt::QueuedConnection);
}

void ChatServer::Detach(SlotIndex slot) {
  Endpoint& e = WSock[slot];
  if (e.Web != nullptr) {
    // The socket may be the sender of the signal being handled.
    e.Web->disconnect(this);
    e.Web->abort();
    e.Web->deleteLater();
    e.Web = nullptr;
    e.WebUnsent = 0;
    delete e.JoinDeadline;
    e.JoinDeadline = nullptr;
    return;
  }
  if (e.Fd < 0) return;
  // The notifiers may be the senders of the signal being handled.
  for (QSocketNotifier* notifier : {e.Readable, e.Writable}) {
    notifier->setEnabled(false);
    notifier->disconnect(this);
    notifier->deleteLater();
  }
  e.Readable = e.Writable = nullptr;
  ::close(e.Fd);
  e.Fd = -1;
  std::string().swap(e.Unsent);
}

void ChatServer::SendData(SlotIndex slot, const std::u16string& text) {
  if (!HasEndpoint(slot) || !WSock[slot].Open()) return;
  Endpoint& e = WSock[slot];
  if (e.Web != nullptr) {
    // Browsers get the room as it is, characters code page 932 lacks included.
    e.WebUnsent += e.Web->sendTextMessage(QString::fromStdU16String(text));
    if (e.WebUnsent > MaxPendingReplyBytes) EndLater(slot, Ending::Failed);
    return;
  }
  const std::string& bytes = Replies.Encode(text);
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  // With nothing queued, hand the reply to the kernel at once; what it does
  // not take waits for the socket to become writable.
  if (e.Unsent.empty()) {
    const ssize_t sent = ::send(e.Fd, data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      EndLater(slot, EndingOf(errno));
      return;
    }
    if (sent > 0) {
      data += sent;
      left -= static_cast<std::size_t>(sent);
    }
  }
  if (left == 0) return;
  e.Unsent.append(data, left);
  e.Writable->setEnabled(true);
  if (e.Unsent.size() > static_cast<std::size_t>(MaxPendingReplyBytes)) {
    // A client that does not read its replies is dropped rather than
    // buffered without end; after the request in hand has finished.
    EndLater(slot, Ending::Failed);
  }
}

void ChatServer::ReleaseSlot(SlotIndex slot) {
  if (!HasEndpoint(slot)) return;
  Detach(slot);
  SlotBook.Free(slot);
}

std::u16string ChatServer::PeerAddress(SlotIndex slot) const {
  return HasEndpoint(slot) ? WSock[slot].Address : std::u16string();
}

std::u16string ChatServer::PeerLabel(SlotIndex slot) const {
  return HasEndpoint(slot) ? WSock[slot].Label : std::u16string();
}

void ChatServer::PostOperatorLine(const QString& text) {
  if (text.isEmpty()) return;
  // Called from the window's thread, this runs on the server's, queued
  // behind the requests that came first; from the server's own, at once.
  QMetaObject::invokeMethod(this, [this, text] {
    TheRoom.AppendLogLine(Room::OperatorLine(text.toStdU16String()));
    TheRoom.RefreshDisplay();
  });
}

void ChatServer::SetStatusText(const std::u16string& text) {
  Echo.SetStatusText(text);
  PendingStatus = text;
  StatusPending = true;
  SchedulePublish();
}

// Under a flood of requests the views would change thousands of times a
// second: a change is only noted here, and the views are taken from the room
// when published, at most once per frame (a quiet change at once).
void ChatServer::ShowRoom(std::u16string_view, std::u16string_view) {
  ViewsPending = true;
  SchedulePublish();
}

void ChatServer::SchedulePublish() {
  if (!PublishCooldown.isActive()) Publish();
}

void ChatServer::Publish() {
  RoomViews news;
  if (StatusPending) {
    StatusPending = false;
    news.Status = QString::fromStdU16String(PendingStatus);
  }
  if (ViewsPending) {
    ViewsPending = false;
    const auto [members, log] = TheRoom.CurrentViews();
    if (!SameText(members, ShownMembers)) {
      ShownMembers.assign(members);
      news.MemberList = QString::fromStdU16String(ShownMembers);
    }
    if (!SameText(log, ShownLog)) {
      ShownLog.assign(log);
      news.Log = QString::fromStdU16String(ShownLog);
    }
  }
  bool waiting = false;
  {
    // Newer news replaces what the window has not taken yet.
    const std::lock_guard<std::mutex> hold(MailboxGuard);
    waiting = Mailbox.MemberList || Mailbox.Log || Mailbox.Status;
    if (news.MemberList) Mailbox.MemberList = std::move(news.MemberList);
    if (news.Log) Mailbox.Log = std::move(news.Log);
    if (news.Status) Mailbox.Status = std::move(news.Status);
  }
  if (!waiting) emit ViewsChanged();
  PublishCooldown.start(PublishIntervalMs);
}

RoomViews ChatServer::TakeViews() {
  const std::lock_guard<std::mutex> hold(MailboxGuard);
  return std::exchange(Mailbox, RoomViews());
}

bool ChatServer::ListenForBrowsers(std::uint16_t port) {
  // Said on standard error as well as on the status line: without a window
  // the operator would not otherwise learn why browsers cannot connect.
  const auto fail = [this](std::uint16_t failedPort, const QString& reason) {
    const std::u16string text = status::WebFailed(failedPort, ToU16(reason));
    StderrQueue::Instance().WriteLine("velmor: " + QString::fromStdU16String(text).toStdString() +
                                      "\n");
    SetStatusText(text);
    return false;
  };
  QString reason;
  auto* page = new WebPage(this);
  if (!page->Listen(port, reason)) {
    delete page;
    return fail(port, reason);
  }
  auto* sockets =
      new QWebSocketServer(QStringLiteral("Velmor"), QWebSocketServer::NonSecureMode, this);
  // A page of another web site open in a member's browser must not reach
  // the room through that browser: refused at the handshake (403).
  connect(sockets, &QWebSocketServer::originAuthenticationRequired, this,
          [this](QWebSocketCorsAuthenticator* request) {
            request->setAllowed(BrowserOriginAllowed(request->origin()));
          });
  const std::uint16_t socketPort = page->Port() == 0xFFFF ? 0 : page->Port() + 1;
  if (socketPort == 0 || !sockets->listen(QHostAddress::Any, socketPort)) {
    reason = socketPort ? sockets->errorString() : QString();
    delete sockets;
    delete page;
    return fail(socketPort, reason);
  }
  Page = page;
  WebSockets = sockets;
  connect(WebSockets, &QWebSocketServer::newConnection, this, &ChatServer::OnNewWebSockets);
  QString host = LocalIP();
  if (host.isEmpty()) host = QStringLiteral("127.0.0.1");
  const QString url = QStringLiteral("http://%1:%2/").arg(host).arg(Page->Port());
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: browser members: the page is at %1 (WebSocket on port %2)\n")
          .arg(url)
          .arg(socketPort)
          .toStdString());
  SetStatusText(status::WebServing(url.toStdU16String()));
  return true;
}

std::uint16_t ChatServer::WebPort() const { return Page != nullptr ? Page->Port() : 0; }

// The page's own origin: http, the page's port, and a name or address of
// this machine (the browser names the host as the member typed it).
bool ChatServer::BrowserOriginAllowed(const QString& origin) const {
  const QUrl url(origin);
  if (url.scheme() != QLatin1String("http") || url.port(80) != WebPort()) return false;
  const QString host = url.host().toLower();
  if (host == QLatin1String("localhost") || host == QHostInfo::localHostName().toLower())
    return true;
  const QHostAddress address(host);
  if (address.isNull()) return false;
  if (address.isLoopback()) return true;
  for (const QHostAddress& own : QNetworkInterface::allAddresses()) {
    if (own.isEqual(address, QHostAddress::TolerantConversion)) return true;
  }
  return false;
}

void ChatServer::OnNewWebSockets() {
  while (QWebSocket* socket = WebSockets->nextPendingConnection()) {
    const std::optional<SlotIndex> slot = TakeSlot();
    if (!slot) {
      socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("room full"));
      socket->deleteLater();
      continue;
    }
    AttachWeb(*slot, socket);
    SetStatusText(std::u16string(status::Accepted));
  }
}

void ChatServer::AttachWeb(SlotIndex slot, QWebSocket* socket) {
  Endpoint& e = WSock[slot];
  e.Web = socket;
  e.WebUnsent = 0;
  e.Generation = NextGeneration++;
  socket->setParent(this);
  socket->setMaxAllowedIncomingMessageSize(MaxWebMessageBytes);
  socket->setMaxAllowedIncomingFrameSize(MaxWebMessageBytes);
  e.Address = ToU16(PeerAddressText(socket->peerAddress()));
  e.Label = e.Address + u":" + ToU16(QString::number(socket->peerPort()));

  const std::uint64_t generation = e.Generation;
  connect(socket, &QWebSocket::textMessageReceived, this,
          [this, slot, generation](const QString& message) {
            OnWebMessage(slot, generation, message);
          });
  // Binary messages are no requests of this protocol.
  connect(socket, &QWebSocket::binaryMessageReceived, this, [this, slot, generation] {
    if (IsCurrent(slot, generation)) End(slot, Ending::Failed);
  });
  connect(socket, &QWebSocket::bytesWritten, this, [this, slot, generation](qint64 written) {
    if (IsCurrent(slot, generation))
      WSock[slot].WebUnsent = std::max<qint64>(0, WSock[slot].WebUnsent - written);
  });
  connect(socket, &QWebSocket::disconnected, this, [this, slot, generation] {
    if (IsCurrent(slot, generation)) End(slot, Ending::PeerClosed);
  });
  // Connected but not joined within the minute: the slot goes back.
  e.JoinDeadline = new QTimer(this);
  e.JoinDeadline->setSingleShot(true);
  connect(e.JoinDeadline, &QTimer::timeout, this, [this, slot, generation] {
    if (IsCurrent(slot, generation) && TheRoom.MemberName(slot).empty()) End(slot, Ending::Failed);
  });
  e.JoinDeadline->start(WebJoinDeadlineMs);
  // Bytes that came with the handshake are read before the socket is handed
  // over; garbage among them may already have closed it, unseen by the
  // handlers above.
  if (socket->state() != QAbstractSocket::ConnectedState) EndLater(slot, Ending::PeerClosed);
}

void ChatServer::OnWebMessage(SlotIndex slot, std::uint64_t generation, const QString& message) {
  if (!IsCurrent(slot, generation)) return;
  TheRoom.WSock_DataArrival(slot, message.toStdU16String());
}

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
