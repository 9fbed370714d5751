// The chat room: member names and keys per slot, the 50-line log, and the
// handling of every client request against them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "room/RoomPorts.h"

namespace velmor {

class Room {
 public:
  static constexpr int LogCapacity = 50;
  // The highest slot the tables hold: at most 20 clients at once.
  static constexpr SlotIndex MaxSlot = 20;
  // The separator must begin within this many characters of a request.
  static constexpr int MaxSepPos = 32767;

  Room(Connections& connections, StatusLine& status);

  // Where RefreshDisplay writes; nullptr (the default) writes nowhere.
  void SetDisplay(RoomDisplay* display) { Display = display; }

  // The only way a line enters the log: newest last, the oldest of 50 dropped.
  void AppendLogLine(const std::u16string& line);
  // Appends the leave line for CurName, whatever it holds.
  void AnnounceLeave();
  // Non-empty names in slot order, each followed by CR LF.
  std::u16string RenderMemberList() const;
  // Non-empty log lines, newest first, each followed by CR LF.
  std::u16string RenderLog() const;
  // Member view, then log view, each replaced whole.
  void RefreshDisplay();

  // Socket events of a client slot (1 to MaxSlot).
  void WSock_DataArrival(SlotIndex slot);
  void WSock_Close(SlotIndex slot);
  void WSock_Error(SlotIndex slot);

  // The operator's own line, typed into the window's input line.
  static std::u16string OperatorLine(std::u16string_view text);

  const std::u16string& MemberName(SlotIndex slot) const { return MemberNames.at(slot); }
  const std::u16string& MemberKey(SlotIndex slot) const { return MemberKeys.at(slot); }
  // Entry k of the log, 0 the oldest; entry 50 is the stop mark.
  const std::u16string& LogLine(int k) const { return LogLines.at(k); }
  int LogCount() const;

 private:
  void SaveClientKey();
  // False when the key differs: the connection has then been dropped.
  bool CheckClientKey();
  void AnnounceJoin();
  void PostChatLine();
  void SendRoomState();
  // The key of RecvText: everything after the first separator.
  std::u16string_view ReceivedKey() const;
  void ClearMember(SlotIndex slot);
  void AppendMemberList(std::u16string& text) const;
  void AppendLog(std::u16string& text) const;
  // The tables changed: the kept renderings are out of date.
  void MarkChanged();

  Connections& Sockets;
  StatusLine& Status;
  RoomDisplay* Display = nullptr;

  std::array<std::u16string, LogCapacity + 1> LogLines;
  std::array<std::u16string, MaxSlot + 1> MemberNames;
  std::array<std::u16string, MaxSlot + 1> MemberKeys;
  // Renderings kept until the tables change, so that a fetch renders nothing.
  // They keep their capacity, so a change costs copying, not allocating.
  bool StateStale = true;
  std::u16string StateText;  // the state reply
  bool ViewsStale = true;
  std::u16string ListText;  // the member view
  std::u16string LogText;   // the log view
  std::u16string CurName;
  SlotIndex CurSlot = 0;
  std::u16string RecvText;
  std::int16_t SepPos = 0;
};

}  // namespace velmor
