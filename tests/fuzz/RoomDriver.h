// Plays an arbitrary byte string as a sequence of socket events against the
// room, the way the server would deliver them (connections placed by the
// slot table, arrivals decoded from code page 932 and offered with their
// bytes to the one reply encoder all clients share), and checks after every
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
#include "tests/support/RoomText.h"
#include "wire/Cp932.h"
#include "wire/StateEncoder.h"

namespace velmor::testing {

// The clients' connections: each state reply is also encoded, when it is
// sent, by the one StateEncoder they share, as the server's clients do.
struct EncodingConnections : FakeConnections {
  StateEncoder encoder;
  std::string bytes;  // the last reply's
  void SendState(SlotIndex slot, const StateReply& reply) override {
    FakeConnections::SendState(slot, reply);
    bytes.assign(encoder.Encode(reply));
  }
};

class RoomDriver {
 public:
  RoomDriver() : room_(sockets_, status_) {
    room_.SetDisplay(&display_);
    slots_.Open();
  }

  // Plays the whole input; returns the first broken rule, or "" when all held.
  std::string Play(std::string_view input) {
    input_ = input;
    next_ = 0;
    longArrivals_ = 0;
    for (steps_ = 0; steps_ < MaxSteps && next_ < input_.size(); ++steps_) {
      std::string fault = Step();
      if (!fault.empty()) return "step " + std::to_string(steps_) + ": " + fault;
    }
    return {};
  }

  const Room& TheRoom() const { return room_; }
  long LinesAppended() const { return appended_; }
  int Steps() const { return steps_; }
  long RepliesChecked() const { return replies_; }
  // The most lines posted between two replies.
  long LongestFlood() const { return longestFlood_; }

 private:
  std::uint8_t Byte() {
    return next_ < input_.size() ? static_cast<std::uint8_t>(input_[next_++]) : 0;
  }
  std::string Bytes(std::size_t count) {
    std::string bytes(input_.substr(std::min(next_, input_.size()), count));
    next_ += count;
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
    if (!sockets_.open.empty() && pick < 200) {
      auto it = sockets_.open.begin();
      std::advance(it, pick % sockets_.open.size());
      return *it;
    }
    static constexpr SlotIndex Outside[] = {0, -1, 21, 22, -32768, 32767};
    return Outside[pick % 6];
  }

  std::string Step() {
    sockets_.sent.clear();
    display_.calls.clear();
    const std::size_t statusBefore = status_.texts.size();
    std::uint8_t op = Byte() % 6;
    // Arrivals near the separator limit are long; a few per input suffice.
    if (op == 5 && ++longArrivals_ > MaxLongArrivals) op = 1;
    SlotIndex slot = 0;
    std::u16string request;
    bool event = false;

    switch (op) {
      case 0: {  // a connection arrives
        const auto vacancy = slots_.FindSlot();
        if (vacancy.kind == SlotTable::Vacancy::Kind::Full) {
          if (held_.size() < static_cast<std::size_t>(MaxClientSlot))
            return "a connection was refused while a slot was free";
          break;
        }
        if (!IsClient(vacancy.slot)) return "a slot outside the clients' range was given";
        if (!held_.insert(vacancy.slot).second) return "a slot in use was given again";
        slots_.Take(vacancy);
        sockets_.open.insert(vacancy.slot);
        break;
      }
      case 1:
      case 5: {  // an arrival; op 5 sends one near the separator's position limit
        slot = PickSlot();
        const std::string bytes =
            op == 1 ? Request()
                    : "NormalTel" + std::string(MaxSepPos - 12 + Byte() % 8, 'x') + "/*/~k0";
        // Bytes that are their text's exact encoding are offered with it.
        const bool offered = Cp932::Instance().DecodeInto(bytes, request);
        keyBefore_ = IsClient(slot) ? room_.MemberKey(slot) : std::u16string();
        if (offered) sockets_.encoder.OfferSource(request, bytes);
        // Nothing arrives on a slot without a connection.
        room_.OnArrival(slot, sockets_.open.count(slot) ? request : std::u16string());
        if (offered) sockets_.encoder.Withdraw();
        event = true;
        break;
      }
      case 2:
        slot = PickSlot();
        room_.OnPeerClosed(slot);
        event = true;
        break;
      case 3:
        slot = PickSlot();
        room_.OnConnectionFailed(slot);
        event = true;
        break;
      case 4: {  // the operator types a line, or a flood of lines comes with no reply between
        const std::uint8_t form = Byte();
        const std::string text = Bytes(form % 32);
        // A flood, as a browser's lines, which reach the log with no reply
        // through the encoder: up to 128 lines, all alike or of mixed lengths.
        const std::uint8_t shape = (form & 128) ? Byte() : 0;
        const int lines = 1 + shape % 128;
        const bool mixed = (shape & 128) != 0;
        for (int i = 0; i < lines; ++i) {
          if (i > 0) {
            if (std::string fault = CheckLog(); !fault.empty()) return "in a flood: " + fault;
          }
          const std::size_t length =
              mixed ? (7 * static_cast<std::size_t>(i)) % (text.size() + 1) : text.size();
          room_.AppendLogLine(Room::OperatorLine(
              Cp932::Instance().Decode(std::string_view(text).substr(0, length))));
        }
        room_.RefreshDisplay();
        break;
      }
    }
    // The server frees a slot the room released.
    for (auto s = held_.begin(); s != held_.end();) {
      if (sockets_.open.count(*s)) {
        ++s;
        continue;
      }
      slots_.Free(*s);
      s = held_.erase(s);
    }

    const bool outside = event && !IsClient(slot);
    if (outside &&
        (display_.calls.size() || sockets_.sent.size() || status_.texts.size() != statusBefore)) {
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
    for (SlotIndex s = 1; s <= MaxClientSlot; ++s) {
      if (!sockets_.open.count(s) && !(room_.MemberName(s).empty() && room_.MemberKey(s).empty())) {
        return "slot " + std::to_string(s) + " is free but keeps a name or key";
      }
    }
    return {};
  }

  bool LogIsModel() const {
    if (room_.LogCount() != static_cast<int>(model_.size())) return false;
    for (int k = 0; k < room_.LogCount(); ++k) {
      if (!SameText(room_.LogLine(k), model_[static_cast<std::size_t>(k)])) return false;
    }
    return true;
  }

  // The log is the last min(n, 50) lines appended, in order: one event adds
  // at most one line at the newest end.
  std::string CheckLog() {
    logChanged_ = false;
    const int count = room_.LogCount();
    for (int k = count; k <= Room::LogCapacity; ++k) {
      if (!room_.LogLine(k).empty()) return "a line beyond the log's end";
    }
    // A full log whose lines are all alike looks the same after one more.
    if (LogIsModel()) return {};
    if (count == 0) return "the log lost its lines";
    model_.push_back(room_.LogLine(count - 1));
    if (model_.size() > Room::LogCapacity) model_.pop_front();
    ++appended_;
    logChanged_ = true;
    if (!LogIsModel()) return "the log is not the last lines appended, in order";
    return {};
  }

  std::u16string State() const {
    return testing::MembersText(room_) + u"/*/" + testing::LogText(room_);
  }

  std::string CheckReplies(SlotIndex slot) {
    if (sockets_.sent.size() > 1) return "more than one reply to one event";
    if (sockets_.sent.size() == 1) {
      if (sockets_.sent[0].first != slot) return "a reply went to another slot";
      if (!sockets_.open.count(slot)) return "a reply went to a closed connection";
      if (!SameText(sockets_.sent[0].second, State())) return "the reply is not the room's state";
      // What the kept bytes make of it is what encoding the whole gives.
      // (Lines are counted by their numbers: a full log of lines all alike
      // looks the same after more of them.)
      const StateReply& reply = room_.State();
      const std::uint64_t newest = reply.LineCount() > 0 ? reply.LineNumber(0) : 0;
      const long flood = static_cast<long>(newest - newestAtReply_);
      if (sockets_.bytes != Cp932::Instance().Encode(State())) {
        return "the encoded reply is not the room's state, " + std::to_string(flood) +
               " lines after the one before";
      }
      ++replies_;
      longestFlood_ = std::max(longestFlood_, flood);
      newestAtReply_ = newest;
    }
    if (!display_.calls.empty()) {
      if (display_.calls.size() != 2) return "the display was refreshed more than once";
      if (!SameText(std::u16string_view(display_.calls[0]).substr(2),
                    testing::MembersText(room_)) ||
          !SameText(std::u16string_view(display_.calls[1]).substr(2), testing::LogText(room_))) {
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
      if (sockets_.open.count(slot)) return "a request without separator kept its connection";
      return {};
    }
    const std::u16string_view command = std::u16string_view(request).substr(0, 9);
    const bool keyed = command == u"NormalTel" || (command == u"/Reflesh/" && sep == 9);
    if (!keyed || request.substr(sep + 4) == keyBefore_) return {};
    if (sockets_.open.count(slot)) return "a wrong key kept its connection";
    if (!sockets_.sent.empty()) return "a wrong key was answered with the room";
    if (logChanged_) return "a wrong key changed the log";
    return {};
  }

  EncodingConnections sockets_;
  FakeStatus status_;
  Room room_;
  FakeDisplay display_{room_};
  SlotTable slots_;
  std::set<SlotIndex> held_;  // the slots taken and not yet freed
  static constexpr int MaxSteps = 1024;
  static constexpr int MaxLongArrivals = 3;
  std::string_view input_;
  std::size_t next_ = 0;
  int longArrivals_ = 0;
  int steps_ = 0;
  std::deque<std::u16string> model_;  // the lines the log should hold, oldest first
  bool logChanged_ = false;
  std::u16string keyBefore_;
  long appended_ = 0;
  std::uint64_t newestAtReply_ = 0;
  long replies_ = 0;
  long longestFlood_ = 0;
};

}  // namespace velmor::testing
