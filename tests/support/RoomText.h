// The room's member list and log written out from its tables, one name or
// line at a time, the way a member reads them: names in slot order, lines
// newest first, each followed by CR LF. Tests compare the room's own kept
// renderings with these.
#pragma once

#include <string>

#include "room/Room.h"

namespace velmor::testing {

inline std::u16string MembersText(const Room& room) {
  std::u16string text;
  for (SlotIndex s = 0; s <= MaxClientSlot; ++s) {
    if (!room.MemberName(s).empty()) text.append(room.MemberName(s)).append(u"\r\n");
  }
  return text;
}

inline std::u16string LogText(const Room& room) {
  std::u16string text;
  for (int k = room.LogCount() - 1; k >= 0; --k) text.append(room.LogLine(k)).append(u"\r\n");
  return text;
}

}  // namespace velmor::testing
