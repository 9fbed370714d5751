// The chat room: member names and keys per slot, the 50-line log, and the
// handling of every client request against them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "room/Request.h"
#include "room/RoomPorts.h"

namespace velmor {

class Room {
 public:
  static constexpr int LogCapacity = 50;

  Room(Connections& connections, StatusLine& status);

  // Where RefreshDisplay writes; nullptr (the default) writes nowhere.
  void SetDisplay(RoomDisplay* display) { Display = display; }

  // The only way a line enters the log: newest last, the oldest of 50 dropped.
  void AppendLogLine(const std::u16string& line);
  // Appends the leave line for the name, whatever it holds.
  void AnnounceLeave(std::u16string_view name);
  // Non-empty names in slot order, each followed by CR LF.
  std::u16string RenderMemberList() const;
  // Non-empty log lines, newest first, each followed by CR LF.
  std::u16string RenderLog() const;
  // Member view, then log view, each replaced whole.
  void RefreshDisplay();
  // The member list and the log as the views show them: parts of the kept
  // state reply, valid until the room next changes.
  std::pair<std::u16string_view, std::u16string_view> CurrentViews();

  // Socket events of a client slot (1 to MaxClientSlot). An arrival is all
  // the text received on the slot and not yet handled, as one request.
  void WSock_DataArrival(SlotIndex slot, std::u16string_view arrival);
  void WSock_Close(SlotIndex slot);
  void WSock_Error(SlotIndex slot);

  // The operator's own line, typed into the window's input line.
  static std::u16string OperatorLine(std::u16string_view text);

  const std::u16string& MemberName(SlotIndex slot) const { return MemberNames.at(slot); }
  const std::u16string& MemberKey(SlotIndex slot) const { return MemberKeys.at(slot); }
  // Entry k of the log, 0 the oldest; entry 50 is the stop mark.
  const std::u16string& LogLine(int k) const { return LogLines.at(k); }
  // Every line has text, so the log holds the last min(posted, 50).
  int LogCount() const { return static_cast<int>(std::min<std::uint64_t>(Posted, LogCapacity)); }
  // The state reply as the room stands, in its parts; valid until it next
  // changes.
  const StateReply& State() const { return Reply; }

 private:
  // The state reply as the room sends it: its parts, and the whole rendered
  // only when asked for.
  class StateParts : public StateReply {
   public:
    explicit StateParts(const Room& room) : Of(room) {}
    std::u16string_view MemberList() const override;
    std::vector<std::u16string_view> Names() const override;
    std::uint64_t MemberListVersion() const override { return Of.MembersVersion; }
    int LineCount() const override { return Of.LogCount(); }
    std::u16string_view Line(int k) const override;
    std::uint64_t LineNumber(int k) const override {
      return Of.Posted - static_cast<std::uint64_t>(k);
    }
    const std::u16string& Text() const override;

   private:
    const Room& Of;
  };

  // False when the key differs: the connection has then been dropped.
  bool CheckClientKey(SlotIndex slot, std::u16string_view key);
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

  Connections& Sockets;
  StatusLine& Status;
  RoomDisplay* Display = nullptr;

  std::array<std::u16string, LogCapacity + 1> LogLines;
  std::array<std::u16string, MaxClientSlot + 1> MemberNames;
  std::array<std::u16string, MaxClientSlot + 1> MemberKeys;
  // The state reply, kept until the tables change, so that a fetch renders
  // nothing; the views are its two parts. It keeps its capacity, so a change
  // costs copying, not allocating.
  std::uint64_t Posted = 0;
  // The renderings are made when first asked for after a change.
  mutable bool StateStale = true;
  mutable std::u16string StateText;
  mutable std::size_t MembersLength = 0;
  std::uint64_t MembersVersion = 0;
  mutable bool MembersStale = true;
  mutable std::u16string MembersText;
  StateParts Reply{*this};
};

}  // namespace velmor
