// Plays an arbitrary byte string as a sequence of socket events against the
// room, the way the server would deliver them (connections placed by the
// slot table, arrivals decoded from code page 932), and checks after every
// event what must always hold. Shared by the fuzzer and by the test that
// replays the seed corpus, so every input that once found a fault stays a test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "room/Room.h"
#include "room/SameText.h"
#include "room/SlotTable.h"
#include "tests/support/FakePorts.h"
#include "wire/Cp932.h"

namespace velmor::testing {

class RoomDriver {
 public:
  RoomDriver() : Chat(Sockets, Status) {
    Chat.SetDisplay(&Display);
    Slots.Open();
  }

  // Plays the whole input; returns the first broken rule, or "" when all held.
  std::string Play(std::string_view input) {
    Input = input;
    Next = 0;
    LongArrivals = 0;
    for (int step = 0; step < MaxSteps && Next < Input.size(); ++step) {
      std::string fault = Step();
      if (!fault.empty()) return "step " + std::to_string(step) + ": " + fault;
    }
    return {};
  }

  const Room& TheRoom() const { return Chat; }
  long LinesAppended() const { return Appended; }

 private:
  std::uint8_t Byte() { return Next < Input.size() ? static_cast<std::uint8_t>(Input[Next++]) : 0; }
  std::string Bytes(std::size_t count) {
    std::string bytes(Input.substr(std::min(Next, Input.size()), count));
    Next += count;
    return bytes;
  }

  // The text of one arrival: a command word (or none), bytes, perhaps the
  // separator and a key, which is short and often repeated so that keys match.
  std::string Request() {
    static constexpr std::string_view Words[] = {"CanEnter?", "NormalTel", "/Reflesh/", ""};
    const std::uint8_t form = Byte();
    std::string bytes(Words[form % 4]);
    bytes += Bytes(Byte() % 64);
    if (form & 4) {
      bytes += "/*/~";
      bytes +=
          (form & 8) ? std::string("k") + static_cast<char>('0' + Byte() % 3) : Bytes(Byte() % 16);
    }
    return bytes;
  }

  // A client slot in use, or a slot number the server never hands out.
  SlotIndex PickSlot() {
    const std::uint8_t pick = Byte();
    if (!Sockets.Open.empty() && pick < 200) {
      auto it = Sockets.Open.begin();
      std::advance(it, pick % Sockets.Open.size());
      return *it;
    }
    static constexpr SlotIndex Outside[] = {0, -1, 21, 22, -32768, 32767};
    return Outside[pick % 6];
  }

  std::string Step() {
    Sockets.Sent.clear();
    Display.Calls.clear();
    const std::size_t statusBefore = Status.Texts.size();
    std::uint8_t op = Byte() % 6;
    // Arrivals near the separator limit are long; a few per input suffice.
    if (op == 5 && ++LongArrivals > MaxLongArrivals) op = 1;
    SlotIndex slot = 0;
    std::u16string request;
    bool event = false;

    switch (op) {
      case 0: {  // a connection arrives
        const auto placement = Slots.FindSlot();
        if (placement.kind != SlotTable::Placement::Kind::Full) {
          Slots.Take(placement);
          Sockets.Open.insert(placement.slot);
        }
        break;
      }
      case 1:
      case 5: {  // an arrival; op 5 sends one near the separator's position limit
        slot = PickSlot();
        if (op == 1) {
          request = Cp932::Instance().Decode(Request());
        } else {
          request = u"NormalTel" + std::u16string(MaxSepPos - 12 + Byte() % 8, u'x') + u"/*/~k0";
        }
        KeyBefore = IsClient(slot) ? Chat.MemberKey(slot) : std::u16string();
        // Nothing arrives on a slot without a connection.
        Chat.OnArrival(slot, Sockets.Open.count(slot) ? request : std::u16string());
        event = true;
        break;
      }
      case 2:
        slot = PickSlot();
        Chat.OnPeerClosed(slot);
        event = true;
        break;
      case 3:
        slot = PickSlot();
        Chat.OnConnectionFailed(slot);
        event = true;
        break;
      case 4:  // the operator types a line
        Chat.AppendLogLine(Room::OperatorLine(Cp932::Instance().Decode(Bytes(Byte() % 32))));
        Chat.RefreshDisplay();
        break;
    }
    // The server frees a slot the room released.
    for (SlotIndex s = 1; s <= MaxClientSlot; ++s) {
      if (Slots.InUse(s) && !Sockets.Open.count(s)) Slots.Free(s);
    }

    const bool outside = event && !IsClient(slot);
    if (outside &&
        (Display.Calls.size() || Sockets.Sent.size() || Status.Texts.size() != statusBefore)) {
      return "an event on slot " + std::to_string(slot) + ", which no client holds, did something";
    }
    if (std::string fault = CheckTables(); !fault.empty()) return fault;
    if (std::string fault = CheckLog(); !fault.empty()) return fault;
    if (std::string fault = CheckReplies(slot); !fault.empty()) return fault;
    if ((op == 1 || op == 5) && IsClient(slot)) return CheckKey(slot, request);
    return {};
  }

  static bool IsClient(SlotIndex slot) { return slot >= 1 && slot <= MaxClientSlot; }

  std::string CheckTables() const {
    if (Slots.TopSlot() > MaxClientSlot) return "a slot above the limit was made";
    for (SlotIndex s = 1; s <= MaxClientSlot; ++s) {
      if (Slots.InUse(s) != (Sockets.Open.count(s) == 1))
        return "slot table and connections disagree";
      if (!Sockets.Open.count(s) && !(Chat.MemberName(s).empty() && Chat.MemberKey(s).empty())) {
        return "slot " + std::to_string(s) + " is free but keeps a name or key";
      }
    }
    return {};
  }

  bool LogIsModel() const {
    if (Chat.LogCount() != static_cast<int>(Model.size())) return false;
    for (int k = 0; k < Chat.LogCount(); ++k) {
      if (!SameText(Chat.LogLine(k), Model[static_cast<std::size_t>(k)])) return false;
    }
    return true;
  }

  // The log is the last min(n, 50) lines appended, in order: one event adds
  // at most one line at the newest end.
  std::string CheckLog() {
    LogChanged = false;
    const int count = Chat.LogCount();
    for (int k = count; k <= Room::LogCapacity; ++k) {
      if (!Chat.LogLine(k).empty()) return "a line beyond the log's end";
    }
    // A full log whose lines are all alike looks the same after one more.
    if (LogIsModel()) return {};
    if (count == 0) return "the log lost its lines";
    Model.push_back(Chat.LogLine(count - 1));
    if (Model.size() > Room::LogCapacity) Model.pop_front();
    ++Appended;
    LogChanged = true;
    if (!LogIsModel()) return "the log is not the last lines appended, in order";
    return {};
  }

  std::u16string State() const { return Chat.RenderMemberList() + u"/*/" + Chat.RenderLog(); }

  std::string CheckReplies(SlotIndex slot) const {
    if (Sockets.Sent.size() > 1) return "more than one reply to one event";
    if (Sockets.Sent.size() == 1) {
      if (Sockets.Sent[0].first != slot) return "a reply went to another slot";
      if (!Sockets.Open.count(slot)) return "a reply went to a closed connection";
      if (!SameText(Sockets.Sent[0].second, State())) return "the reply is not the room's state";
    }
    if (!Display.Calls.empty()) {
      if (Display.Calls.size() != 2) return "the display was refreshed more than once";
      if (!SameText(std::u16string_view(Display.Calls[0]).substr(2), Chat.RenderMemberList()) ||
          !SameText(std::u16string_view(Display.Calls[1]).substr(2), Chat.RenderLog())) {
        return "the display does not show the room";
      }
    }
    return {};
  }

  // A chat or fetch with a key other than the slot's stored one neither posts
  // nor reads the room, and costs the sender its connection.
  std::string CheckKey(SlotIndex slot, const std::u16string& request) const {
    const std::size_t sep = request.find(u"/*/~");
    if (sep == std::u16string::npos || sep >= static_cast<std::size_t>(MaxSepPos)) {
      if (Sockets.Open.count(slot)) return "a request without separator kept its connection";
      return {};
    }
    const std::u16string_view command = std::u16string_view(request).substr(0, 9);
    const bool keyed = command == u"NormalTel" || (command == u"/Reflesh/" && sep == 9);
    if (!keyed || request.substr(sep + 4) == KeyBefore) return {};
    if (Sockets.Open.count(slot)) return "a wrong key kept its connection";
    if (!Sockets.Sent.empty()) return "a wrong key was answered with the room";
    if (LogChanged) return "a wrong key changed the log";
    return {};
  }

  FakeConnections Sockets;
  FakeStatus Status;
  FakeDisplay Display;
  Room Chat;
  SlotTable Slots;
  static constexpr int MaxSteps = 1024;
  static constexpr int MaxLongArrivals = 3;
  std::string_view Input;
  std::size_t Next = 0;
  int LongArrivals = 0;
  std::deque<std::u16string> Model;  // the lines the log should hold, oldest first
  bool LogChanged = false;
  std::u16string KeyBefore;
  long Appended = 0;
};

}  // namespace velmor::testing
