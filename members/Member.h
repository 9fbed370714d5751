// One member's connection, whatever carries it: a Pibbet client on a plain
// socket or a browser over a WebSocket. The chat server sees every member
// through this class alone, so the rules that keep the server sound hold for
// every kind of member by construction:
//  - a reply is always taken while less than MaxUnreadReplyBytes of earlier
//    output waits; when a reply is due and more than that still waits, the
//    member is ended as a connection error, after the request in hand;
//  - a member ends once, through the owner's OnEnded; after Close() it sends
//    no event at all, so a stale event can never reach a slot's next member.
#pragma once

#include <QObject>

class QHostAddress;

#include <string>
#include <string_view>

#include "room/KeptRoom.h"
#include "room/Request.h"
#include "room/RoomPorts.h"

namespace velmor {

// How a connection ended, as the room is told of it.
enum class Ending { PeerClosed, Failed };

class Member;

// What a member tells its owner, and asks of it.
class MemberEvents {
 public:
  virtual ~MemberEvents() = default;
  // Everything received and not yet handled, as one request.
  virtual void OnArrival(SlotIndex slot, std::u16string_view text) = 0;
  // A request the member read in a form of its own (a browser's message),
  // carried out as the line that asks the same would be.
  virtual void OnRequest(SlotIndex slot, const Request& request) = 0;
  virtual void OnEnded(SlotIndex slot, Ending ending) = 0;
  // A member that failed before it had a slot (a page that broke the
  // protocol before joining): it was never in the room, but the operator
  // hears of it as of any failed connection.
  virtual void OnFailedUnseated(const Member& member) = 0;
  // Whether the member in the slot has joined the room under a name.
  virtual bool HasJoined(SlotIndex slot) const = 0;
  // The key the member in the slot joined with; empty before its join.
  virtual std::u16string_view JoinedKey(SlotIndex slot) const = 0;
  // A member that may come back to its place is about to join under name
  // and key. Resumed: it has taken over the place of the member that joined
  // under them (see Member::Resumable), which is closed without a word, and
  // is to be sent the room; no join is carried out. Join: the join goes on,
  // in a slot of its own (given now if it had none). Refused: no slot could
  // be had; the member is to end.
  enum class Seating { Resumed, Join, Refused };
  virtual Seating PlaceJoin(Member& member, std::u16string_view name, std::u16string_view key) = 0;
  virtual const StateReply& RoomNow() const = 0;
  // The number of the newest line kept on disk, so that a member confirms a
  // line only once it would outlive a crash; with no history kept, every
  // line (nothing waits).
  virtual std::uint64_t KeptThrough() const = 0;
  // What the member keeps of its place changed (it went away, came back,
  // had a line carried out): the history is to be brought up to date.
  virtual void PlaceChanged() = 0;
};

class Member : public QObject {
  Q_OBJECT

 public:
  // Output a member may leave unread before the next reply drops it; pongs
  // and every other byte on its way count.
  static constexpr qint64 MaxUnreadReplyBytes = 1 << 20;

  Member(SlotIndex slot, MemberEvents& events, QObject* parent);

  // Queues the state reply, or ends a member that leaves its earlier
  // replies unread.
  void SendState(const StateReply& reply);
  // The room changed. Only members that are told what changed without
  // asking (browsers speaking JSON) send anything; a Pibbet client is sent
  // nothing it did not ask for.
  virtual void RoomChanged(const StateReply&) {}
  // Whether RoomChanged may send anything: where no member does, changes
  // need no news at all.
  virtual bool FollowsChanges() const { return false; }
  // Frees the connection at once; no event follows. The object itself is
  // deleted later, since it may be the sender of the signal being handled.
  void Close();

  // The peer's IPv4 address, and address and port.
  const std::u16string& Address() const { return peerAddress_; }
  const std::u16string& Label() const { return peerLabel_; }

  // A member waiting for a slot has none: it may only join, and then takes
  // one (see MemberEvents::PlaceJoin). Before that, its ending is its own.
  static constexpr SlotIndex Unplaced = -1;
  SlotIndex Slot() const { return slot_; }
  void MoveTo(SlotIndex slot) { slot_ = slot; }

  // Whether another connection that joins under this member's name and key
  // takes its place (a page that came back), and what it takes of it.
  virtual bool Resumable() const { return false; }
  virtual void TakeOver(const Member& /*previous*/) {}
  // How long the member's connection has been gone while its place is
  // kept for it; -1 while it is there. EndAway ends it now, as its
  // connection ended.
  virtual qint64 AwayMs() const { return -1; }
  virtual void EndAway() {}
  // Whether the member's place outlives a restart, and what of it does: a
  // browser's may (its slot, name and key the server adds); a Pibbet
  // client's cannot outlive its connection.
  virtual bool KeepsPlace(KeptPlace& /*place*/) const { return false; }

 protected:
  // Bytes handed to the connection that the peer has not taken yet.
  virtual qint64 UnsentBytes() const = 0;
  virtual void WriteState(const StateReply& reply) = 0;
  virtual void Release() = 0;

  // The output bound: false, and the member ended, when more than
  // MaxUnreadReplyBytes of earlier output still waits.
  bool MayWrite();
  MemberEvents& Events() const { return events_; }
  // The peer's texts: an IPv4 address as such, even when the listener is
  // IPv6 and sees it mapped.
  void SetPeer(const QHostAddress& address, quint16 port);
  void SetPeer(std::u16string address, std::u16string label);
  bool IsClosed() const { return closed_; }
  void Arrived(std::u16string_view text);
  void Requested(const Request& request);
  void End(Ending ending);
  // Ends the member once the request in hand has been handled.
  void EndLater(Ending ending);

 private:
  // After a request that ended its member.
  void EndIfPending();

  SlotIndex slot_;
  MemberEvents& events_;
  bool closed_ = false;
  bool endPending_ = false;  // EndLater was called and has not run yet
  std::u16string peerAddress_;
  std::u16string peerLabel_;
};

}  // namespace velmor
