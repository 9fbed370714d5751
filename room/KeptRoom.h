// What of the room outlives the process: the log, and the places of the
// browser members that may come back to them. Plain data, so that the room,
// the server and the file that keeps it agree on it without knowing each
// other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "room/RoomPorts.h"

namespace velmor {

struct KeptLine {
  std::uint64_t number = 0;  // as the room counts its lines, 1 the first ever posted
  std::u16string text;
  bool operator==(const KeptLine&) const = default;
};

// A browser member's place: who holds the slot, the key it came back with,
// the highest id of its lines carried out (so that a line sent again after
// a restart is not posted twice), its peer, and whether its connection had
// failed (it then leaves through the error path when its grace runs out,
// not with a leave line).
struct KeptPlace {
  SlotIndex slot = 0;
  std::u16string name;
  std::u16string key;
  std::int64_t highestDone = -1;
  std::u16string address;  // as the status line names the peer
  std::u16string label;
  bool failed = false;
  bool operator==(const KeptPlace&) const = default;
};

struct KeptRoom {
  std::vector<KeptLine> lines;  // oldest first, numbers consecutive
  std::vector<KeptPlace> places;
};

}  // namespace velmor
