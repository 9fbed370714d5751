// The chat room: member names and keys per slot, the log of the last
// LogCapacity lines, and the handling of every client request against them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "room/KeptRoom.h"
#include "room/Request.h"
#include "room/RoomPorts.h"

namespace velmor {

class Room {
 public:
  static constexpr int LogCapacity = 50;

  Room(Connections& connections, StatusLine& status);

  // Whom RefreshDisplay tells; nullptr (the default) tells no one.
  void SetDisplay(RoomDisplay* display) { display_ = display; }

  // The events of a client slot (1 to MaxClientSlot). An arrival is all the
  // text received on the slot and not yet handled, as one request; a request
  // is one its connection read itself, carried out as its line would be.
  void OnArrival(SlotIndex slot, std::u16string_view arrival);
  void OnRequest(SlotIndex slot, const Request& request);
  void OnPeerClosed(SlotIndex slot);
  void OnConnectionFailed(SlotIndex slot);
  // The operator's own line, typed into the window's input line: appended,
  // and the display refreshed.
  void OnOperatorLine(std::u16string_view text);

  // The only way a line enters the log: newest last, the oldest beyond LogCapacity dropped.
  void AppendLogLine(const std::u16string& line) { AppendLogLine({std::u16string_view(line)}); }
  // The line made of parts, written straight into the place it takes.
  void AppendLogLine(std::initializer_list<std::u16string_view> parts);
  // Appends the leave line for the name, whatever it holds.
  void AnnounceLeave(std::u16string_view name);
  // Tells the display that the views changed.
  void RefreshDisplay();
  // The member list (non-empty names in slot order) and the log (newest
  // first) as the views show them, each name or line followed by CR LF:
  // parts of the kept state reply, valid until the room next changes.
  std::pair<std::u16string_view, std::u16string_view> CurrentViews();

  // The room as it was kept before a restart: its log, with the numbers its
  // lines had (so it goes on counting where it stopped), and the members
  // who keep a place, seated without a join line. Only into an empty room.
  void Restore(const std::vector<KeptLine>& lines);
  void SeatKept(SlotIndex slot, std::u16string_view name, std::u16string_view key);

  // The operator's line as the log shows it.
  static std::u16string OperatorLine(std::u16string_view text);

  const std::u16string& MemberName(SlotIndex slot) const { return memberNames_.at(slot); }
  const std::u16string& MemberKey(SlotIndex slot) const { return memberKeys_.at(slot); }
  // Line k of the log, 0 the oldest; empty beyond the newest.
  const std::u16string& LogLine(int k) const;
  // Every line has text, so the log holds the last min(posted, LogCapacity).
  int LogCount() const { return static_cast<int>(std::min<std::uint64_t>(posted_, LogCapacity)); }
  // The state reply as the room stands, in its parts; valid until it next
  // changes.
  const StateReply& State() const { return reply_; }

 private:
  // The state reply as the room sends it: its parts, and the whole rendered
  // only when asked for.
  class StateParts : public StateReply {
   public:
    explicit StateParts(const Room& room) : room_(room) {}
    std::u16string_view MemberList() const override;
    std::vector<std::u16string_view> Names() const override;
    std::uint64_t MemberListVersion() const override { return room_.membersVersion_; }
    int LineCount() const override { return room_.LogCount(); }
    std::u16string_view Line(int k) const override;
    std::uint64_t LineNumber(int k) const override {
      return room_.posted_ - static_cast<std::uint64_t>(k);
    }
    const std::u16string& Text() const override;

   private:
    const Room& room_;
  };

  // False when the key differs: the connection has then been dropped.
  bool CheckClientKey(SlotIndex slot, std::u16string_view key);
  // The one way a connection is ended by the room or for it: the slot's name
  // and key cleared (or the next client accepted into the slot would inherit
  // them), the slot released, and why said on the status line.
  void Drop(SlotIndex slot, const std::u16string& why);
  void AnnounceJoin(SlotIndex slot, std::u16string_view name, std::u16string_view key);
  void PostChatLine(SlotIndex slot, std::u16string_view chat);
  void SendRoomState(SlotIndex slot);
  void RenderState() const;
  void ClearMember(SlotIndex slot);
  void AppendMemberList(std::u16string& text) const;
  void AppendLog(std::u16string& text) const;
  // The tables changed: the kept renderings are out of date.
  void MarkChanged();
  void MarkMembersChanged();

  Connections& sockets_;
  StatusLine& status_;
  RoomDisplay* display_ = nullptr;

  // The log, a ring: line n (counted from 0 over the room's life) is kept at
  // n % LogCapacity until line n + LogCapacity takes its place.
  std::array<std::u16string, LogCapacity> logLines_;
  std::uint64_t posted_ = 0;
  std::u16string nextLine_;
  std::array<std::u16string, MaxClientSlot + 1> memberNames_;
  std::array<std::u16string, MaxClientSlot + 1> memberKeys_;
  // The state reply, rendered when first asked for after a change and kept
  // until the tables change, so that a fetch renders nothing; the views are
  // its two parts. It keeps its capacity, so a change costs copying, not
  // allocating.
  mutable bool stateStale_ = true;
  mutable std::u16string stateText_;
  mutable std::size_t membersLength_ = 0;
  std::uint64_t membersVersion_ = 0;
  mutable bool membersStale_ = true;
  mutable std::u16string membersText_;
  StateParts reply_{*this};
};

}  // namespace velmor
