// Longer than most files here: the browser protocol (its messages, their ids
// and acknowledgements), the keep-alive and the place kept for a page that
// comes back are one member's life, each step reading the state the others
// leave.
#include "members/BrowserMember.h"

#include "web/AdoptedSocket.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>

namespace velmor {

namespace {

// A time in milliseconds that only the tests set, through the environment;
// -1 when unset.
int TestMilliseconds(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::max(-1, std::atoi(value)) : -1;
}

int resumeGraceMs = -1;  // not set: the default, or the test's

}  // namespace

int BrowserMember::KeepAliveMs() {
  static const int ms = TestMilliseconds("VELMOR_TEST_KEEPALIVE_MS");
  return ms > 0 ? ms : DefaultKeepAliveMs;
}

int BrowserMember::ResumeGraceMs() {
  static const int fromEnvironment = TestMilliseconds("VELMOR_TEST_GRACE_MS");
  if (resumeGraceMs >= 0) return resumeGraceMs;
  return fromEnvironment >= 0 ? fromEnvironment : DefaultResumeGraceMs;
}

void BrowserMember::SetResumeGraceMs(int ms) { resumeGraceMs = std::max(0, ms); }

BrowserMember::BrowserMember(QWebSocket* socket, SlotIndex slot, MemberEvents& events,
                             QObject* parent)
    : Member(slot, events, parent),
      socket_(socket),
      connection_(socket->findChild<AdoptedSocket*>(QString(), Qt::FindDirectChildrenOnly)),
      joinDeadline_(this),
      pinger_(this),
      grace_(this) {
  socket->setParent(this);
  socket->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
  socket->setMaxAllowedIncomingFrameSize(MaxMessageBytes);
  SetPeer(socket->peerAddress(), socket->peerPort());

  connect(socket, &QWebSocket::pong, this, &BrowserMember::Heard);
  connect(socket, &QWebSocket::disconnected, this, [this] { ConnectionLost(Ending::PeerClosed); });
  if (connection_ != nullptr) {
    // What is read ahead of Qt's WebSocket: room for the largest message.
    connection_->setReadBufferSize(2 * MaxMessageBytes);
    connect(connection_, &AdoptedSocket::TextMessageReceived, this, &BrowserMember::OnMessage);
    // Frames Qt queued itself (pongs above all) while the member left more
    // than the bound unread.
    connect(connection_, &AdoptedSocket::OutputOverflowed, this, [this] { End(Ending::Failed); });
    connect(connection_, &AdoptedSocket::WireBytesWritten, this,
            [this](qint64 bytes) { handedToKernel_ += bytes; });
    connect(connection_, &AdoptedSocket::ProtocolViolated, this,
            [this](QWebSocketProtocol::CloseCode code) { Shut(code, Ending::Failed); });
  }

  joinDeadline_.setSingleShot(true);
  connect(&joinDeadline_, &QTimer::timeout, this, [this] {
    if (Slot() == Unplaced || !Events().HasJoined(Slot()))
      Shut(QWebSocketProtocol::CloseCodePolicyViolated, Ending::Failed, QStringLiteral("no join"));
  });
  grace_.setSingleShot(true);
  connect(&grace_, &QTimer::timeout, this, [this] { End(awayEnding_); });
  joinDeadline_.start(JoinDeadlineMs);

  // Pinged three times within the allowed silence, so one lost answer
  // never ends a member that is there.
  lastHeard_.start();
  lastCheck_.start();
  connect(&pinger_, &QTimer::timeout, this, &BrowserMember::CheckAlive);
  pinger_.start(std::max(1, KeepAliveMs() / 3));

  // Bytes that came with the handshake are read before the socket is handed
  // over; garbage among them may already have closed it, unseen by the
  // handlers above.
  if (socket->state() != QAbstractSocket::ConnectedState) EndLater(Ending::PeerClosed);
}

BrowserMember::BrowserMember(const KeptPlace& place, MemberEvents& events, QObject* parent)
    : Member(place.slot, events, parent),
      socket_(nullptr),
      connection_(nullptr),
      joinDeadline_(this),
      pinger_(this),
      grace_(this) {
  SetPeer(place.address, place.label);
  speaks_ = Language::Json;
  told_ = true;
  joinedKey_ = QString::fromStdU16String(place.key);
  // What it carried out before the restart is kept: that is what it kept.
  highestDone_ = highestKept_ = place.highestDone;
  grace_.setSingleShot(true);
  connect(&grace_, &QTimer::timeout, this, [this] { End(awayEnding_); });
  // Counted from the restart: a page could not come back while it was down.
  StartAway(place.failed ? Ending::Failed : Ending::PeerClosed);
}

BrowserMember::~BrowserMember() { Release(); }

namespace {

// The room's text as a page is sent it. A control character (a Pibbet
// client may send any) travels as its picture, U+2400 on (a tab stays a
// tab), and half a surrogate pair as U+FFFD, what a page would show for it:
// JSON could carry either only as a six-byte escape, so every character
// costs at most three bytes as sent, as a kana does, and what a member is
// owed has the bound the README adds up.
QString Text(std::u16string_view text) {
  QString shown = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  const qsizetype size = shown.size();
  for (qsizetype i = 0; i < size; ++i) {
    const char16_t unit = shown.at(i).unicode();
    if (unit < 0x20 && unit != u'\t') {
      shown[i] = QChar(static_cast<char16_t>(0x2400 + unit));
    } else if (QChar::isHighSurrogate(unit) && i + 1 < size &&
               QChar::isLowSurrogate(shown.at(i + 1).unicode())) {
      ++i;  // a whole pair
    } else if (QChar::isSurrogate(unit)) {
      shown[i] = QChar::ReplacementCharacter;
    }
  }
  return shown;
}

QJsonArray Names(const StateReply& room) {
  QJsonArray array;
  for (const std::u16string_view name : room.Names()) array.append(Text(name));
  return array;
}

// The newest count lines, newest first.
QJsonArray Lines(const StateReply& room, std::uint64_t count) {
  QJsonArray array;
  for (int k = 0; k < room.LineCount() && static_cast<std::uint64_t>(k) < count; ++k) {
    array.append(Text(room.Line(k)));
  }
  return array;
}

// A line's id is a whole number a page counts exactly: 0 to 2^53 - 1, the
// integers a JavaScript number holds without rounding. Anything else (a
// negative, a fraction, a string, a larger number) could not be confirmed
// as the page meant it, so it is refused rather than taken as no id.
bool CountableId(const QJsonValue& id, qint64& value) {
  constexpr qint64 largest = (qint64{1} << 53) - 1;
  if (!id.isDouble()) return false;
  const qint64 whole = id.toInteger(-1);
  if (whole < 0 || whole > largest || static_cast<double>(whole) != id.toDouble()) return false;
  value = whole;
  return true;
}

// Lines ever posted: the newest line's number.
std::uint64_t Posted(const StateReply& room) {
  return room.LineCount() > 0 ? room.LineNumber(0) : 0;
}

}  // namespace

void BrowserMember::Heard() {
  lastHeard_.start();
  silentMs_ = 0;
}

void BrowserMember::Shut(QWebSocketProtocol::CloseCode code, Ending ending, const QString& reason) {
  closeCode_ = code;
  closeReason_ = reason;
  End(ending);
}

void BrowserMember::OnMessage(const QString& message) {
  Heard();
  // A member the room drops for its request (a key not its own, a line no
  // client could send) sent a message outside the protocol.
  closeCode_ = QWebSocketProtocol::CloseCodePolicyViolated;
  if (speaks_ == Language::NotYet) {
    speaks_ = message.startsWith(QLatin1Char('{')) ? Language::Json : Language::Text;
  }
  // One that speaks the room's own requests takes its seat at the first.
  if (Slot() == Unplaced && speaks_ == Language::Text &&
      Events().PlaceJoin(*this, {}, {}) == MemberEvents::Seating::Refused) {
    RefuseFullRoom();
    return;
  }
  if (speaks_ == Language::Json) {
    OnJson(message);
  } else {
    Arrived(message.toStdU16String());
  }
  if (!IsClosed()) closeCode_ = QWebSocketProtocol::CloseCodeGoingAway;
}

// Each message becomes the room's own request; one the room would not take
// (a name or text no client's line could carry among them) ends the member
// before it is carried out.
void BrowserMember::OnJson(const QString& message) {
  const QJsonObject request = QJsonDocument::fromJson(message.toUtf8()).object();
  const QString type = request.value(QLatin1String("type")).toString();
  const QString key = request.value(QLatin1String("key")).toString();
  const bool joining = type == QLatin1String("join");
  const std::u16string payload =
      request.value(joining ? QLatin1String("name") : QLatin1String("text"))
          .toString()
          .toStdU16String();
  const std::u16string roomKey = key.toStdU16String();
  const Request asked = joining ? JoinRequest(payload, roomKey) : ChatRequest(payload, roomKey);
  if (request.value(QLatin1String("v")).toInt() != 1 || asked.what == Request::Command::Malformed) {
    End(Ending::Failed);
  } else if (joining) {
    switch (Events().PlaceJoin(*this, asked.payload, asked.key)) {
      case MemberEvents::Seating::Resumed:
        roomDue_ = true;
        joinedKey_ = key;
        SendState(Events().RoomNow());
        return;
      case MemberEvents::Seating::Refused:
        RefuseFullRoom();
        return;
      case MemberEvents::Seating::Join:
        break;
    }
    roomDue_ = true;
    joinedKey_ = key;
    Requested(asked);
  } else if (type == QLatin1String("ping")) {
    if (MayWrite())
      SendJson({{QLatin1String("v"), 1}, {QLatin1String("type"), QLatin1String("pong")}});
  } else if (Slot() == Unplaced) {
    End(Ending::Failed);  // nothing but a join or a ping before the join
  } else if (type == QLatin1String("say")) {
    const QJsonValue id = request.value(QLatin1String("id"));
    if (id.isUndefined()) {
      sayId_ = -1;
    } else if (!CountableId(id, sayId_)) {
      End(Ending::Failed);  // an id the member could not count on
      return;
    }
    // A line sent again after a reconnection, carried out before: confirmed,
    // not posted twice. (A key not its own goes to the room, which drops it.)
    if (sayId_ >= 0 && sayId_ <= highestDone_ && key == joinedKey_) {
      ackDue_ = true;
      RoomChanged(Events().RoomNow());
      return;
    }
    Requested(asked);
  } else if (type == QLatin1String("leave")) {
    left_ = true;
    Shut(QWebSocketProtocol::CloseCodeNormal, Ending::PeerClosed);
  } else {
    End(Ending::Failed);
  }
}

void BrowserMember::RefuseFullRoom() {
  // The page shows a close with this code before it was in the room as a
  // full room, and does not try again.
  Shut(QWebSocketProtocol::CloseCodePolicyViolated, Ending::Failed, QStringLiteral("room full"));
}

bool BrowserMember::Resumable() const {
  return speaks_ == Language::Json && told_ && !left_ && Slot() != Unplaced &&
         !joinedKey_.isEmpty() && Events().HasJoined(Slot());
}

void BrowserMember::TakeOver(const Member& previous) {
  if (const auto* before = qobject_cast<const BrowserMember*>(&previous)) {
    highestDone_ = std::max(highestDone_, before->highestDone_);
    highestKept_ = std::max(highestKept_, before->highestKept_);
    for (const auto& waiting : before->unkept_) {
      if (waiting.first > highestKept_ && (unkept_.empty() || waiting.first > unkept_.back().first))
        unkept_.push_back(waiting);
    }
  }
}

qint64 BrowserMember::Confirmable() {
  const std::uint64_t kept = Events().KeptThrough();
  while (!unkept_.empty() && unkept_.front().second <= kept) {
    highestKept_ = std::max(highestKept_, unkept_.front().first);
    unkept_.pop_front();
  }
  return highestKept_;
}

bool BrowserMember::KeepsPlace(KeptPlace& place) const {
  if (!Resumable()) return false;
  place.key = joinedKey_.toStdU16String();
  place.highestDone = highestDone_;
  place.address = Address();
  place.label = Label();
  place.failed = grace_.isActive() && awayEnding_ == Ending::Failed;
  return true;
}

qint64 BrowserMember::AwayMs() const { return grace_.isActive() ? away_.elapsed() : -1; }

void BrowserMember::EndAway() {
  if (!grace_.isActive()) return;
  grace_.stop();
  End(awayEnding_);
}

// A page whose connection ended without leaving may come back (a reload, a
// new network, a phone waking up): its place is kept for the grace period.
void BrowserMember::ConnectionLost(Ending ending) {
  if (!Resumable() || ResumeGraceMs() == 0) {
    End(ending);
    return;
  }
  StartAway(ending);
  Events().PlaceChanged();
}

void BrowserMember::StartAway(Ending ending) {
  awayEnding_ = ending;
  away_.start();
  DropSocket();
  grace_.start(ResumeGraceMs());
}

void BrowserMember::Send(const QString& message) {
  // Decided on by the caller (MayWrite): goes out whole, however large.
  if (socket_ == nullptr) return;
  if (connection_ == nullptr) {
    socket_->sendTextMessage(message);
    return;
  }
  connection_->WriteWhole([&] { socket_->sendTextMessage(message); });
  // Handed to the kernel now, not on the loop's next turn.
  socket_->flush();
}

void BrowserMember::SendJson(const QJsonObject& message) {
  Send(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void BrowserMember::RoomChanged(const StateReply& room) {
  if (speaks_ != Language::Json || !told_ || socket_ == nullptr) return;
  const std::uint64_t fresh = Posted(room) - linesTold_;
  const bool membersChanged = room.MemberListVersion() != membersTold_;
  const qint64 ack = Confirmable();
  const bool ackNews = ack >= 0 && (ackDue_ || ack > ackSent_);
  if (fresh == 0 && !membersChanged && !ackNews) return;
  if (!MayWrite()) return;
  QJsonObject update{{QLatin1String("v"), 1}, {QLatin1String("type"), QLatin1String("update")}};
  if (fresh > 0) update.insert(QLatin1String("lines"), Lines(room, fresh));
  if (membersChanged) update.insert(QLatin1String("members"), Names(room));
  if (ackNews) {
    update.insert(QLatin1String("ack"), ack);
    ackSent_ = ack;
  }
  linesTold_ = Posted(room);
  membersTold_ = room.MemberListVersion();
  ackDue_ = false;
  SendJson(update);
}

void BrowserMember::CheckAlive() {
  // A member that takes what it is sent is there, however long a large
  // room takes to reach it over its link, during which its answer to a
  // ping would wait behind the room. Our own pings taken say nothing: a
  // peer's kernel takes them long after its page stopped.
  const qint64 taken = TakenByPeer();
  if (taken - takenAtCheck_ > pingBytes_) Heard();
  takenAtCheck_ = taken;
  pingBytes_ = 0;
  // Silence counts only while this server could have heard the member: a
  // check that comes late (the server stopped, the machine busy) counts no
  // more than one interval, so a member that answers the next ping stays.
  silentMs_ += std::min(
      {lastCheck_.restart(), lastHeard_.elapsed(), static_cast<qint64>(pinger_.interval())});
  if (silentMs_ >= KeepAliveMs()) {
    closeCode_ = QWebSocketProtocol::CloseCodeGoingAway;
    closeReason_ = QStringLiteral("no answer");
    ConnectionLost(Ending::Failed);
    return;
  }
  // While output waits here, its progress is the sign of life, and a ping
  // would only join the queue.
  if (UnsentBytes() > 0) return;
  socket_->ping();
  constexpr qint64 emptyPing = 2;
  pingBytes_ += connection_ != nullptr ? connection_->OnTheWire(emptyPing) : emptyPing;
}

qint64 BrowserMember::TakenByPeer() const {
  int inKernel = 0;  // bytes the peer has not acknowledged yet
  if (connection_ == nullptr ||
      ::ioctl(static_cast<int>(connection_->socketDescriptor()), SIOCOUTQ, &inKernel) != 0)
    inKernel = 0;
  return handedToKernel_ - inKernel;
}

qint64 BrowserMember::UnsentBytes() const {
  return socket_ != nullptr ? socket_->bytesToWrite() : 0;
}

// Browsers get the room as it is, characters code page 932 lacks included.
void BrowserMember::Write(const std::u16string& reply) { Send(QString::fromStdU16String(reply)); }

void BrowserMember::WriteState(const StateReply& reply) {
  if (socket_ == nullptr) return;  // away: the room goes out whole on its return
  if (speaks_ != Language::Json) {
    Write(reply.Text());
    return;
  }
  if (!roomDue_) {
    // A line was posted: it reaches every member, this one too, with the
    // next news, which confirms the highest id carried out once its line
    // is kept.
    if (sayId_ > highestDone_) {
      highestDone_ = sayId_;
      unkept_.emplace_back(sayId_, Posted(reply));
      // Acks are cumulative: forgetting the oldest only confirms it with a
      // later one, so a disk that stalls under a flood costs no memory.
      constexpr std::size_t mostWaiting = 1024;
      if (unkept_.size() > mostWaiting) unkept_.pop_front();
      Events().PlaceChanged();
    }
    ackDue_ = highestDone_ >= 0;
    return;
  }
  roomDue_ = false;
  told_ = true;
  linesTold_ = Posted(reply);
  membersTold_ = reply.MemberListVersion();
  QJsonObject room{
      {QLatin1String("v"), 1},
      {QLatin1String("type"), QLatin1String("room")},
      {QLatin1String("members"), Names(reply)},
      {QLatin1String("lines"), Lines(reply, static_cast<std::uint64_t>(reply.LineCount()))}};
  // After a return, what of the lines sent before was carried out.
  ackSent_ = Confirmable();
  if (ackSent_ >= 0) room.insert(QLatin1String("ack"), ackSent_);
  ackDue_ = false;
  SendJson(room);
}

void BrowserMember::Release() {
  grace_.stop();
  DropSocket();
}

void BrowserMember::DropSocket() {
  if (socket_ == nullptr) return;
  joinDeadline_.stop();
  pinger_.stop();
  // The socket may be the sender of the signal being handled.
  socket_->disconnect(this);
  if (connection_ != nullptr) connection_->disconnect(this);
  // Dropped for the output it leaves unread, whatever request was in hand.
  if (UnsentBytes() > MaxUnreadReplyBytes) closeCode_ = QWebSocketProtocol::CloseCodeGoingAway;
  AdoptedSocket::CloseWebSocket(socket_, closeCode_, closeReason_);
  socket_ = nullptr;
  connection_ = nullptr;
}

}  // namespace velmor
