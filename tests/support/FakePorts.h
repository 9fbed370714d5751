// Recording fakes of the room's ports.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "room/Room.h"
#include "room/RoomPorts.h"

namespace velmor::testing {

struct FakeConnections : Connections {
  std::vector<std::pair<SlotIndex, std::u16string>> sent;
  std::vector<SlotIndex> released;
  std::set<SlotIndex> open;

  // The state reply as its whole text.
  void SendState(SlotIndex slot, const StateReply& reply) override {
    sent.emplace_back(slot, reply.Text());
  }
  void ReleaseSlot(SlotIndex slot) override {
    released.push_back(slot);
    open.erase(slot);
  }
  std::u16string PeerAddress(SlotIndex slot) const override {
    return u"192.0.2." + std::u16string(1, u'0' + slot % 10);
  }
  std::u16string PeerLabel(SlotIndex slot) const override {
    return PeerAddress(slot) + u":4000" + std::u16string(1, u'0' + slot % 10);
  }
};

struct FakeStatus : StatusLine {
  std::vector<std::u16string> texts;
  void SetStatusText(const std::u16string& text) override { texts.push_back(text); }
};

// Takes the views from the room when told of a change, as the server's
// display does when it draws.
struct FakeDisplay : RoomDisplay {
  explicit FakeDisplay(Room& room) : room(room) {}
  std::vector<std::u16string> calls;  // "M:" or "L:" followed by the text, in order
  void ShowRoom() override {
    const auto [members, log] = room.CurrentViews();
    calls.push_back(u"M:" + std::u16string(members));
    calls.push_back(u"L:" + std::u16string(log));
  }
  Room& room;
};

}  // namespace velmor::testing
