#include "net/ChatServer.h"

#include <QWebSocket>

#include <unistd.h>

#include <string>

#include "net/BrowserGate.h"
#include "net/BrowserMember.h"
#include "net/Listener.h"
#include "room/StatusTexts.h"
#include "stderr/StderrQueue.h"

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
      Views(
          status, [this] { return TheRoom.CurrentViews(); }, this),
      TheRoom(*this, Views),
      Holders(1),
      NewsCooldown(this) {
  TheRoom.SetDisplay(this);
  NewsCooldown.setSingleShot(true);
  connect(&NewsCooldown, &QTimer::timeout, this, [this] {
    if (NewsPending) TellMembers();
  });
  connect(&Views, &ViewPublisher::ViewsChanged, this, &ChatServer::ViewsChanged);
  Holders[0].Address = ListenerAddress;
  Holders[0].Label = ListenerLabel(DefaultPort);
}

ChatServer::~ChatServer() {
  for (SlotHolder& holder : Holders) {
    if (holder.Holder != nullptr) holder.Holder->Close();
  }
}

ChatServer::StartResult ChatServer::Start(std::uint16_t port) {
  Listener = new DescriptorListener(
      [this](int fd) { OnNewClient(fd); },
      // The chat port's texts name it as the
      // clients know it, whatever was asked.
      [this](const QString& reason) { ReportAcceptTrouble(DefaultPort, reason); }, this);
  QString reason;
  const bool listening = Listener->Listen(port, reason);
  if (listening) {
    Views.SetStatusText(std::u16string(status::Waiting));
  } else {
    // Named as the clients know the port, whatever was asked.
    Views.SetStatusText(status::ListenFailed(DefaultPort, reason.toStdU16String()));
  }
  SlotBook.Open();
  return listening ? StartResult::Listening : StartResult::ListenFailed;
}

std::uint16_t ChatServer::ListeningPort() const {
  return Listener != nullptr ? Listener->Port() : 0;
}

void ChatServer::ReportAcceptTrouble(std::uint16_t port, const QString& reason) {
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: accepting a connection on port %1 failed: %2; trying again every "
                     "%3 ms\n")
          .arg(port)
          .arg(reason)
          .arg(AcceptRule::AcceptRetryMs)
          .toStdString());
  Views.SetStatusText(status::ConnectionError(ListenerLabel(port), ListenerAddress));
}

std::optional<SlotIndex> ChatServer::TakeSlot() {
  const SlotTable::Placement placement = SlotBook.FindSlot();
  if (placement.kind == SlotTable::Placement::Kind::Full) {
    Views.SetStatusText(std::u16string(status::Full));
    return std::nullopt;
  }
  if (placement.kind == SlotTable::Placement::Kind::NewSlot) Holders.emplace_back();
  SlotBook.Take(placement);
  return placement.slot;
}

void ChatServer::Admit(SlotIndex slot, Member* member) {
  SlotHolder& holder = Holders[slot];
  holder.Holder = member;
  holder.Address = member->Address();
  holder.Label = member->Label();
  Views.SetStatusText(std::u16string(status::Accepted));
}

void ChatServer::OnNewClient(int fd) {
  const std::optional<SlotIndex> slot = TakeSlot();
  if (!slot) {
    ::close(fd);
    return;
  }
  Admit(*slot, new DescriptorClient(fd, *slot, *this, ClientShared, this));
}

void ChatServer::OnNewBrowser(QWebSocket* socket) {
  const std::optional<SlotIndex> slot = TakeSlot();
  if (!slot) {
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("room full"));
    socket->deleteLater();
    return;
  }
  Admit(*slot, new BrowserMember(socket, *slot, *this, this));
}

void ChatServer::OnArrival(SlotIndex slot, std::u16string_view text) {
  TheRoom.OnArrival(slot, text);
}

void ChatServer::OnEnded(SlotIndex slot, Ending ending) {
  if (ending == Ending::PeerClosed) {
    TheRoom.OnPeerClosed(slot);
  } else {
    TheRoom.OnConnectionFailed(slot);
  }
}

bool ChatServer::HasJoined(SlotIndex slot) const { return !TheRoom.MemberName(slot).empty(); }

// Members told of changes hear of them once the request in hand is done,
// and under a flood at most once per frame, all of a frame's changes in one
// message.
void ChatServer::ShowRoom(std::u16string_view memberList, std::u16string_view log) {
  Views.ShowRoom(memberList, log);
  if (NewsPending) return;
  NewsPending = true;
  if (!NewsCooldown.isActive()) {
    QMetaObject::invokeMethod(this, &ChatServer::TellMembers, Qt::QueuedConnection);
  }
}

void ChatServer::TellMembers() {
  if (!NewsPending || NewsCooldown.isActive()) return;
  NewsPending = false;
  NewsCooldown.start(NewsIntervalMs);
  for (const SlotHolder& holder : Holders) {
    if (holder.Holder != nullptr) holder.Holder->RoomChanged(TheRoom.State());
  }
}

void ChatServer::SendData(SlotIndex slot, const std::u16string& text) {
  if (HasSlot(slot) && Holders[slot].Holder != nullptr) Holders[slot].Holder->Send(text);
}

void ChatServer::SendState(SlotIndex slot, const StateReply& reply) {
  if (HasSlot(slot) && Holders[slot].Holder != nullptr) Holders[slot].Holder->SendState(reply);
}

void ChatServer::ReleaseSlot(SlotIndex slot) {
  if (!HasSlot(slot)) return;
  if (Member* member = std::exchange(Holders[slot].Holder, nullptr)) member->Close();
  SlotBook.Free(slot);
}

std::u16string ChatServer::PeerAddress(SlotIndex slot) const {
  return HasSlot(slot) ? Holders[slot].Address : std::u16string();
}

std::u16string ChatServer::PeerLabel(SlotIndex slot) const {
  return HasSlot(slot) ? Holders[slot].Label : std::u16string();
}

void ChatServer::PostOperatorLine(const QString& text) {
  if (text.isEmpty()) return;
  // Called from the window's thread, this runs on the server's, queued
  // behind the requests that came first; from the server's own, at once.
  QMetaObject::invokeMethod(this, [this, text] { TheRoom.OnOperatorLine(text.toStdU16String()); });
}

bool ChatServer::ListenForBrowsers(std::uint16_t port, const QStringList& extraNames) {
  auto* gate = new BrowserGate([this](QWebSocket* socket) { OnNewBrowser(socket); },
                               [this](std::uint16_t failedPort, const QString& reason) {
                                 ReportAcceptTrouble(failedPort, reason);
                               },
                               this);
  gate->AllowNames(extraNames);
  std::uint16_t failedPort = port;
  QString reason;
  if (!gate->Listen(port, failedPort, reason)) {
    delete gate;
    // Said on standard error as well as on the status line: without a window
    // the operator would not otherwise learn why browsers cannot connect.
    const std::u16string text = status::WebFailed(failedPort, reason.toStdU16String());
    StderrQueue::Instance().WriteLine("velmor: " + QString::fromStdU16String(text).toStdString() +
                                      "\n");
    Views.SetStatusText(text);
    return false;
  }
  Gate = gate;
  QString host = LocalIPv4Address();
  if (host.isEmpty()) host = QStringLiteral("127.0.0.1");
  const QString url = QStringLiteral("http://%1:%2/").arg(host).arg(Gate->PagePort());
  StderrQueue::Instance().WriteLine(
      QStringLiteral("velmor: browser members: the page is at %1 (WebSocket on port %2)\n")
          .arg(url)
          .arg(Gate->SocketPort())
          .toStdString());
  Views.SetStatusText(status::WebServing(url.toStdU16String()));
  return true;
}

std::uint16_t ChatServer::WebPort() const { return Gate != nullptr ? Gate->PagePort() : 0; }

}  // namespace velmor
