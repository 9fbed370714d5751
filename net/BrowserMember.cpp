#include "net/BrowserMember.h"

#include <QHostAddress>
#include <QWebSocket>

#include <algorithm>
#include <cstdlib>

namespace velmor {

int BrowserMember::KeepAliveMs() {
  static const int ms = [] {
    const char* value = std::getenv("VELMOR_TEST_KEEPALIVE_MS");
    const int parsed = value != nullptr ? std::atoi(value) : 0;
    return parsed > 0 ? parsed : 60000;
  }();
  return ms;
}

BrowserMember::BrowserMember(QWebSocket* socket, SlotIndex slot, MemberEvents& events,
                             QObject* parent)
    : Member(slot, events, parent), Socket(socket), JoinDeadline(this), Pinger(this) {
  socket->setParent(this);
  socket->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
  socket->setMaxAllowedIncomingFrameSize(MaxMessageBytes);
  bool isV4 = false;
  const quint32 v4 = socket->peerAddress().toIPv4Address(&isV4);
  const std::u16string address =
      (isV4 ? QHostAddress(v4).toString() : socket->peerAddress().toString()).toStdU16String();
  SetPeer(address, address + u":" + QString::number(socket->peerPort()).toStdU16String());

  connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& message) {
    LastHeard.start();
    Arrived(message.toStdU16String());
  });
  // Binary messages are no requests of this protocol.
  connect(socket, &QWebSocket::binaryMessageReceived, this, [this] { End(Ending::Failed); });
  connect(socket, &QWebSocket::pong, this, [this] { LastHeard.start(); });
  connect(socket, &QWebSocket::disconnected, this, [this] { End(Ending::PeerClosed); });

  JoinDeadline.setSingleShot(true);
  connect(&JoinDeadline, &QTimer::timeout, this, [this, slot, &events] {
    if (!events.HasJoined(slot)) End(Ending::Failed);
  });
  JoinDeadline.start(JoinDeadlineMs);

  // Pinged three times within the allowed silence, so one lost answer
  // never ends a member that is there.
  LastHeard.start();
  connect(&Pinger, &QTimer::timeout, this, &BrowserMember::CheckAlive);
  Pinger.start(std::max(1, KeepAliveMs() / 3));

  // Bytes that came with the handshake are read before the socket is handed
  // over; garbage among them may already have closed it, unseen by the
  // handlers above.
  if (socket->state() != QAbstractSocket::ConnectedState) EndLater(Ending::PeerClosed);
}

BrowserMember::~BrowserMember() { Release(); }

void BrowserMember::CheckAlive() {
  if (LastHeard.elapsed() >= KeepAliveMs()) {
    End(Ending::Failed);
    return;
  }
  Socket->ping();
}

qint64 BrowserMember::UnsentBytes() const { return Socket != nullptr ? Socket->bytesToWrite() : 0; }

void BrowserMember::Write(const std::u16string& reply) {
  // Browsers get the room as it is, characters code page 932 lacks included.
  Socket->sendTextMessage(QString::fromStdU16String(reply));
}

void BrowserMember::Release() {
  if (Socket == nullptr) return;
  JoinDeadline.stop();
  Pinger.stop();
  // The socket may be the sender of the signal being handled.
  Socket->disconnect(this);
  Socket->abort();
  Socket->deleteLater();
  Socket = nullptr;
}

}  // namespace velmor
