#include "members/Member.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <utility>

namespace velmor {

Member::Member(SlotIndex slot, MemberEvents& events, QObject* parent)
    : QObject(parent), slot_(slot), events_(events) {}

bool Member::MayWrite() {
  if (closed_) return false;
  if (UnsentBytes() <= MaxUnreadReplyBytes) return true;
  EndLater(Ending::Failed);
  return false;
}

void Member::SendState(const StateReply& reply) {
  if (MayWrite()) WriteState(reply);
}

void Member::Close() {
  if (closed_) return;
  closed_ = true;
  Release();
  deleteLater();
}

void Member::SetPeer(const QHostAddress& address, quint16 port) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  peerAddress_ = (isV4 ? QHostAddress(v4).toString() : address.toString()).toStdU16String();
  peerLabel_ = peerAddress_ + u":" + QString::number(port).toStdU16String();
}

void Member::SetPeer(std::u16string address, std::u16string label) {
  peerAddress_ = std::move(address);
  peerLabel_ = std::move(label);
}

void Member::Arrived(std::u16string_view text) {
  if (closed_ || slot_ == Unplaced) return;
  events_.OnArrival(slot_, text);
  EndIfPending();
}

void Member::Requested(const Request& request) {
  if (closed_ || slot_ == Unplaced) return;
  events_.OnRequest(slot_, request);
  EndIfPending();
}

// A request that ended its member (replies left unread, a failed send) ends
// it as soon as the request is handled, before any other member is served:
// no one is answered as though it were still in the room.
void Member::EndIfPending() {
  if (endPending_) QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void Member::End(Ending ending) {
  if (closed_) return;
  if (slot_ == Unplaced) {
    if (ending == Ending::Failed) events_.OnFailedUnseated(*this);
    Close();
  } else {
    events_.OnEnded(slot_, ending);
  }
}

void Member::EndLater(Ending ending) {
  // Queued on this object: dropped with it, and ignored once closed.
  endPending_ = true;
  const auto end = [this, ending] {
    endPending_ = false;
    End(ending);
  };
  QMetaObject::invokeMethod(this, end, Qt::QueuedConnection);
}

}  // namespace velmor
