#include "server/ChatServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QWebSocket>

#include <algorithm>
#include <limits>
#include <string>

#include <unistd.h>

#include "accept/AcceptRule.h"
#include "accept/Listener.h"
#include "members/BrowserMember.h"
#include "room/StatusTexts.h"
#include "stderr/StderrQueue.h"
#include "store/HistoryFile.h"
#include "web/AdoptedSocket.h"
#include "web/BrowserGate.h"
#include "web/SharedPort.h"

namespace velmor {

namespace {

// What a listener calls itself where a connection would name its peer.
std::u16string ListenerLabel(std::uint16_t port) {
  return u"待受ポート" + QString::number(port).toStdU16String();
}
constexpr std::u16string_view ListenerAddress = u"0.0.0.0";

}  // namespace

ChatServer::ChatServer(StatusLine& status, QObject* parent)
    : OperatorLink(parent),
      // A child, so that it moves with the server to its thread.
      views_(
          status, [this] { return room_.CurrentViews(); }, this),
      room_(*this, views_),
      seats_(std::u16string(ListenerAddress), ListenerLabel(DefaultPort)),
      newsCooldown_(this) {
  room_.SetDisplay(this);
  newsCooldown_.setSingleShot(true);
  connect(&newsCooldown_, &QTimer::timeout, this, [this] {
    if (newsPending_) {
      TellMembers();
    } else if (confirmationsPending_) {
      TellConfirmations();
    }
  });
  connect(&views_, &ViewPublisher::ViewsChanged, this, &ChatServer::ViewsChanged);
}

void ChatServer::connectNotify(const QMetaMethod& signal) {
  if (signal == QMetaMethod::fromSignal(&OperatorLink::ViewsChanged)) views_.StartRendering();
}

ChatServer::~ChatServer() {
  // What the last pass changed is kept before anyone is let go, and the
  // writer finishes before the members it reads of go.
  if (history_) {
    SaveHistory();
    history_.reset();
  }
  seats_.ForEachMember([](Member& member) { member.Close(); });
  for (const QPointer<Member>& member : unplaced_) {
    if (member) member->Close();
  }
}

ChatServer::StartResult ChatServer::Start(std::uint16_t port) {
  listener_ = new DescriptorListener(
      [this](int fd) { OnNewClient(fd); },
      // The chat port's texts name it as the
      // clients know it, whatever was asked.
      [this](const QString& reason) { ReportAcceptTrouble(DefaultPort, reason); }, this);
  QString reason;
  const bool listening = listener_->Listen(port, reason);
  if (listening) {
    views_.SetStatusText(std::u16string(status::Waiting));
  } else {
    // Named as the clients know the port, whatever was asked.
    views_.SetStatusText(status::ListenFailed(DefaultPort, reason.toStdU16String()));
  }
  seats_.Open();
  return listening ? StartResult::Listening : StartResult::ListenFailed;
}

std::uint16_t ChatServer::ListeningPort() const {
  return listener_ != nullptr ? listener_->Port() : 0;
}

void ChatServer::ReportAcceptTrouble(std::uint16_t port, const QString& reason) {
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: accepting a connection on port %1 failed: %2; trying again every "
                     "%3 ms\n")
          .arg(port)
          .arg(reason)
          .arg(AcceptRule::AcceptRetryMs)
          .toStdString());
  views_.SetStatusText(status::ConnectionError(ListenerLabel(port), ListenerAddress));
}

bool ChatServer::MakeRoom() {
  if (seats_.HasVacancy() || EndLongestAway()) return true;
  views_.SetStatusText(std::u16string(status::Full));
  return false;
}

bool ChatServer::TakeSeat(Member& member) {
  // MakeRoom left a slot free, and nothing has run since to take it.
  const bool seated = seats_.Take(member).has_value();
  views_.SetStatusText(std::u16string(seated ? status::Accepted : status::Full));
  return seated;
}

void ChatServer::OnNewClient(int fd) {
  if (!MakeRoom()) {
    ::close(fd);
    return;
  }
  // Here, on the thread the clients are served on.
  if (!clientShared_) clientShared_.emplace(ReadinessWatch::OnThisThread(*this));
  auto* client = new DescriptorClient(fd, Member::Unplaced, *this, *clientShared_, this);
  if (!TakeSeat(*client)) client->Close();
}

bool ChatServer::EndLongestAway() {
  Member* longest = nullptr;
  seats_.ForEachMember([&](Member& member) {
    if (member.AwayMs() >= 0 && (longest == nullptr || member.AwayMs() > longest->AwayMs()))
      longest = &member;
  });
  if (longest == nullptr) return false;
  longest->EndAway();
  return true;
}

void ChatServer::OnNewBrowser(QWebSocket* socket) {
  // A browser takes its seat when it joins (see PlaceJoin): a connection
  // that goes before that was never in the room, and one that comes back
  // takes its own place again, however full the room is.
  std::erase_if(unplaced_, [](const QPointer<Member>& member) { return member.isNull(); });
  unplaced_.emplace_back(new BrowserMember(socket, Member::Unplaced, *this, this));
}

void ChatServer::OnArrival(SlotIndex slot, std::u16string_view text) {
  room_.OnArrival(slot, text);
}

void ChatServer::OnRequest(SlotIndex slot, const Request& request) {
  room_.OnRequest(slot, request);
}

void ChatServer::OnEnded(SlotIndex slot, Ending ending) {
  if (ending == Ending::PeerClosed) {
    room_.OnPeerClosed(slot);
  } else {
    room_.OnConnectionFailed(slot);
  }
}

void ChatServer::OnFailedUnseated(const Member& member) {
  views_.SetStatusText(status::ConnectionError(member.Label(), member.Address()));
}

bool ChatServer::HasJoined(SlotIndex slot) const {
  return slot > 0 && slot < seats_.Count() && !room_.MemberName(slot).empty();
}

MemberEvents::Seating ChatServer::PlaceJoin(Member& member, std::u16string_view name,
                                            std::u16string_view key) {
  const SlotIndex from = member.Slot();
  // A page that came back (the key shows it is the same page) takes its
  // place again, even from a connection that still looks alive: the room
  // sees no leave and no join.
  if (!key.empty() && !HasJoined(from)) {
    for (SlotIndex slot = 1; slot < seats_.Count(); ++slot) {
      Member* held = seats_.At(slot);
      if (slot == from || held == nullptr || !held->Resumable() || room_.MemberName(slot) != name ||
          room_.MemberKey(slot) != key) {
        continue;
      }
      member.TakeOver(*held);
      held->Close();
      std::erase(unplaced_, QPointer<Member>(&member));
      // A slot it held without joining there is freed without a word.
      seats_.Move(member, slot);
      return Seating::Resumed;
    }
  }
  if (from != Member::Unplaced) return Seating::Join;
  std::erase(unplaced_, QPointer<Member>(&member));
  return MakeRoom() && TakeSeat(member) ? Seating::Join : Seating::Refused;
}

// Members told of changes hear of them once the request in hand is done,
// and under a flood at most once per frame, all of a frame's changes in one
// message. A room of Pibbet clients alone, who ask for what they see, runs
// no frame: its flood leaves the loop no timer to wake for.
void ChatServer::ShowRoom() {
  views_.ShowRoom();
  HistoryChanged();
  ScheduleNews();
}

void ChatServer::ScheduleNews() {
  if (newsPending_ || !AnyoneFollowsChanges()) return;
  newsPending_ = true;
  if (!newsCooldown_.isActive()) {
    QMetaObject::invokeMethod(this, &ChatServer::TellMembers, Qt::QueuedConnection);
  }
}

bool ChatServer::AnyoneFollowsChanges() const {
  bool anyone = false;
  seats_.ForEachMember([&](const Member& member) { anyone = anyone || member.FollowsChanges(); });
  return anyone;
}

void ChatServer::TellMembers() {
  if (!newsPending_ || newsCooldown_.isActive()) return;
  newsPending_ = false;
  confirmationsPending_ = false;  // the news carries them
  newsCooldown_.start(NewsIntervalMs);
  seats_.ForEachMember([this](Member& member) { member.RoomChanged(room_.State()); });
}

void ChatServer::SendState(SlotIndex slot, const StateReply& reply) {
  if (Member* member = seats_.At(slot)) member->SendState(reply);
}

void ChatServer::ReleaseSlot(SlotIndex slot) {
  if (Member* member = seats_.Free(slot)) member->Close();
}

std::u16string ChatServer::PeerAddress(SlotIndex slot) const { return seats_.Address(slot); }

std::u16string ChatServer::PeerLabel(SlotIndex slot) const { return seats_.Label(slot); }

void ChatServer::PostOperatorLine(const QString& text) {
  if (text.isEmpty()) return;
  // Called from the window's thread, this runs on the server's, queued
  // behind the requests that came first; from the server's own, at once.
  QMetaObject::invokeMethod(this, [this, text] { room_.OnOperatorLine(text.toStdU16String()); });
}

bool ChatServer::ListenForBrowsers(std::uint16_t port, const QStringList& extraNames,
                                   const BrowserGate::Tls& tls) {
  auto* gate = new BrowserGate([this](QWebSocket* socket) { OnNewBrowser(socket); },
                               Member::MaxUnreadReplyBytes,
                               [this](std::uint16_t failedPort, const QString& reason) {
                                 ReportAcceptTrouble(failedPort, reason);
                               },
                               this);
  gate->AllowNames(extraNames);
  std::uint16_t failedPort = port;
  QString reason;
  if (!gate->Listen(port, tls, failedPort, reason)) {
    delete gate;
    // Said on standard error as well as on the status line: without a window
    // the operator would not otherwise learn why browsers cannot connect.
    SayEverywhere(status::WebFailed(failedPort, reason.toStdU16String()));
    return false;
  }
  gate_ = gate;
  QString host = LocalIPv4Address();
  if (host.isEmpty()) host = QStringLiteral("127.0.0.1");
  const QString path = QLatin1String(SharedPort::SocketPath.data(),
                                     static_cast<qsizetype>(SharedPort::SocketPath.size()));
  if (gate_->Secure()) {
    const QString url = QStringLiteral("https://%1:%2/").arg(host).arg(gate_->PagePort());
    const tls::Credentials& credentials = gate_->Credentials();
    SetFingerprint(credentials.fingerprint);
    StderrQueue::Instance().WriteLine(
        QStringLiteral("velmor: browser members: the page is at %1 (its WebSocket at "
                       "wss://%2:%3%4; plain HTTP there is redirected); %5 certificate, "
                       "valid until %6, SHA-256 %7\n")
            .arg(url, host)
            .arg(gate_->PagePort())
            .arg(path,
                 tls.certificateFile.isEmpty()
                     ? (gate_->CertificateMade() ? QStringLiteral("a new self-signed")
                                                 : QStringLiteral("the self-signed"))
                     : QStringLiteral("the given"),
                 credentials.expires.toString(Qt::ISODate), credentials.fingerprint)
            .toStdString());
    views_.SetStatusText(
        status::WebServingSecure(url.toStdU16String(), credentials.fingerprint.toStdU16String()));
    return true;
  }
  const QString url = QStringLiteral("http://%1:%2/").arg(host).arg(gate_->PagePort());
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: browser members: the page is at %1 (its WebSocket at %2, and "
                     "on port %3 for pages served before)\n")
          .arg(url)
          .arg(QStringLiteral("ws://%1:%2%3").arg(host).arg(gate_->PagePort()).arg(path))
          .arg(gate_->SocketPort())
          .toStdString());
  views_.SetStatusText(status::WebServing(url.toStdU16String()));
  return true;
}

void ChatServer::SayEverywhere(const std::u16string& text) {
  StderrQueue::Instance().WriteLine("velmor: " + QString::fromStdU16String(text).toStdString() +
                                    "\n");
  views_.SetStatusText(text);
}

void ChatServer::RecertifyBrowsers() {
  if (gate_ == nullptr || !gate_->Secure()) return;
  QString why;
  if (!gate_->Recertify(why)) {
    SayEverywhere(status::RecertifyFailed(why.toStdU16String()));
    return;
  }
  SetFingerprint(gate_->Credentials().fingerprint);
  SayEverywhere(status::Recertified(gate_->Credentials().fingerprint.toStdU16String()));
}

void ChatServer::SetFingerprint(const QString& fingerprint) {
  const QMutexLocker lock(&fingerprintLock_);
  fingerprint_ = fingerprint;
}

QString ChatServer::WebFingerprint() const {
  const QMutexLocker lock(&fingerprintLock_);
  return fingerprint_;
}

void ChatServer::KeepHistory(const std::string& path) {
  // The state directory is the program's alone: made private when it is
  // made here.
  const QString directory = QFileInfo(QFile::decodeName(path.c_str())).absolutePath();
  if (!QDir(directory).exists() && QDir().mkpath(directory)) {
    QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  auto file = std::make_unique<HistoryFile>();
  KeptRoom kept;
  const HistoryFile::Opening opening = file->Open(path, kept);
  const auto text = [](const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()))
        .toStdU16String();
  };
  if (!opening.brokenWhy.empty()) {
    SayEverywhere(status::HistorySetAside(text(opening.brokenWhy), text(opening.setAsideAs)));
  }
  Restore(kept);
  if (!opening.writable) {
    SayEverywhere(status::HistoryUnavailable(text(opening.why)));
    return;
  }
  const StateReply& room = room_.State();
  handedThrough_ = keptThrough_ = room.LineCount() > 0 ? room.LineNumber(0) : 0;
  placesHanded_ = PlacesNow();
  // The writer's word comes from its own thread; it is taken here in turn.
  history_ = std::make_unique<HistoryWriter>(
      std::move(file),
      [this](std::uint64_t through) {
        QMetaObject::invokeMethod(
            this, [this, through] { OnKept(through); }, Qt::QueuedConnection);
      },
      [this](const std::string& why) {
        QMetaObject::invokeMethod(
            this, [this, why] { OnHistoryFailed(why); }, Qt::QueuedConnection);
      });
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: the room is kept in %1 (%2 lines and %3 browser members' places "
                     "taken back)\n")
          .arg(QString::fromStdString(path))
          .arg(kept.lines.size())
          .arg(placesHanded_.size())
          .toStdString());
}

void ChatServer::Restore(const KeptRoom& kept) {
  room_.Restore(kept.lines);
  for (const KeptPlace& place : kept.places) {
    if (seats_.At(place.slot) != nullptr) continue;
    room_.SeatKept(place.slot, place.name, place.key);
    auto* member = new BrowserMember(place, *this, this);
    seats_.SeatKept(*member, place.slot);
  }
  room_.RefreshDisplay();
}

std::uint64_t ChatServer::KeptThrough() const {
  return history_ ? keptThrough_ : std::numeric_limits<std::uint64_t>::max();
}

void ChatServer::HistoryChanged() {
  if (!history_ || historyDue_) return;
  historyDue_ = true;
  QMetaObject::invokeMethod(this, &ChatServer::SaveHistory, Qt::QueuedConnection);
}

void ChatServer::SaveHistory() {
  historyDue_ = false;
  if (!history_) return;
  const StateReply& room = room_.State();
  const std::uint64_t posted = room.LineCount() > 0 ? room.LineNumber(0) : 0;
  std::vector<KeptLine> lines;
  for (int k = room.LineCount() - 1; k >= 0; --k) {
    if (room.LineNumber(k) > handedThrough_)
      lines.push_back({room.LineNumber(k), std::u16string(room.Line(k))});
  }
  std::optional<std::vector<KeptPlace>> places;
  if (std::vector<KeptPlace> now = PlacesNow(); now != placesHanded_) {
    placesHanded_ = now;
    places = std::move(now);
  }
  if (lines.empty() && !places) return;
  handedThrough_ = posted;
  history_->Hand(std::move(lines), std::move(places), posted);
}

std::vector<KeptPlace> ChatServer::PlacesNow() const {
  std::vector<KeptPlace> places;
  seats_.ForEachMember([&](const Member& member) {
    KeptPlace place;
    if (!member.KeepsPlace(place)) return;
    place.slot = member.Slot();
    place.name = room_.MemberName(place.slot);
    place.key = room_.MemberKey(place.slot);
    places.push_back(std::move(place));
  });
  return places;
}

void ChatServer::OnKept(std::uint64_t throughLine) {
  keptThrough_ = std::max(keptThrough_, throughLine);
  // Members whose lines are now kept may confirm them: with the news
  // already due, or at once, or when the frame under way ends. A
  // confirmation alone starts no frame, so the line that follows it is
  // not held back a frame for it; there is at most one per commit.
  if (newsPending_) return;
  if (newsCooldown_.isActive()) {
    confirmationsPending_ = true;
    return;
  }
  TellConfirmations();
}

void ChatServer::TellConfirmations() {
  confirmationsPending_ = false;
  seats_.ForEachMember([this](Member& member) { member.RoomChanged(room_.State()); });
}

void ChatServer::OnHistoryFailed(const std::string& why) {
  history_.reset();
  SayEverywhere(status::HistoryFailed(
      QString::fromLocal8Bit(why.data(), static_cast<qsizetype>(why.size())).toStdU16String()));
  // Lines waiting to be kept are confirmed now, as the room holds them.
  ScheduleNews();
}

std::uint16_t ChatServer::WebPort() const { return gate_ != nullptr ? gate_->PagePort() : 0; }

}  // namespace velmor
