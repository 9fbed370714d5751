// The room's view of the world outside it: the client connections, the status
// line and the operator's two views. Arrivals come in through the room's own
// WSock_DataArrival. The server wires in the real ones; tests
// wire in recording fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmor {

// Index of one connection slot. Slot 0 is the listener; clients use 1 and up.
using SlotIndex = std::int16_t;

// The highest client slot: at most this many clients at once. The room's
// tables, the slot table and the connections all size by it.
constexpr SlotIndex MaxClientSlot = 20;

class Connections {
 public:
  virtual ~Connections() = default;
  // Sends the whole text on the slot's connection in one send; never waits.
  virtual void SendData(SlotIndex slot, const std::u16string& text) = 0;
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
  // Replaces the whole text of the member view, then of the log view. The
  // texts are the room's own, valid until it next changes.
  virtual void ShowRoom(std::u16string_view memberList, std::u16string_view log) = 0;
};

}  // namespace velmor
