// The room's view of the world outside it: the client connections, the status
// line and the operator's two views. Events come in through the room's own
// OnArrival, OnRequest, OnPeerClosed and OnConnectionFailed. The server wires
// in the real ones; tests wire in recording fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmor {

// Index of one connection slot. Slot 0 is the listener; clients use 1 and up.
using SlotIndex = std::int16_t;

// The highest client slot: at most this many clients at once. The room's
// tables, the slot table and the connections all size by it.
constexpr SlotIndex MaxClientSlot = 20;

// The state reply in the parts it is made of: the member list, "/*/", then
// the log lines newest first, each followed by CR LF. A line never changes
// once posted and keeps its number, and the member list has a version that
// changes with it, so a connection can keep what it made of each part and
// send a reply without the whole being rendered and encoded again.
class StateReply {
 public:
  virtual ~StateReply() = default;
  // Names in slot order, each followed by CR LF; and the names alone.
  virtual std::u16string_view MemberList() const = 0;
  virtual std::vector<std::u16string_view> Names() const = 0;
  virtual std::uint64_t MemberListVersion() const = 0;
  virtual int LineCount() const = 0;
  // Line k, 0 the newest, without its CR LF, and its number: unique for the
  // room's life, one more for each line posted.
  virtual std::u16string_view Line(int k) const = 0;
  virtual std::uint64_t LineNumber(int k) const = 0;
  // The whole reply, rendered.
  virtual const std::u16string& Text() const = 0;
};

class Connections {
 public:
  virtual ~Connections() = default;
  // Sends the state reply on the slot's connection, whole and in one send;
  // never waits.
  virtual void SendState(SlotIndex slot, const StateReply& reply) = 0;
  // Marks the slot free for the next connection and closes its connection.
  // Its peer texts stay readable afterwards.
  virtual void ReleaseSlot(SlotIndex slot) = 0;
  virtual std::u16string PeerAddress(SlotIndex slot) const = 0;
  virtual std::u16string PeerLabel(SlotIndex slot) const = 0;
};

class StatusLine {
 public:
  virtual ~StatusLine() = default;
  // Replaces the whole status text.
  virtual void SetStatusText(const std::u16string& text) = 0;
};

class RoomDisplay {
 public:
  virtual ~RoomDisplay() = default;
  // The member view and the log view changed. The display takes their texts
  // from the room when it draws (Room::CurrentViews, at most once a frame),
  // so the room renders nothing for it here.
  virtual void ShowRoom() = 0;
};

}  // namespace velmor
