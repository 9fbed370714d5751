// Which connection slots exist and which are in use. Plain C++: the Qt side
// asks it where a new connection goes and tells it when a slot is freed.
#pragma once

#include <cstdint>
#include <vector>

#include "room/RoomPorts.h"

namespace velmor {

class SlotTable {
 public:
  struct Vacancy {
    enum class Kind { NewSlot, Reuse, Full };
    Kind kind;
    SlotIndex slot;  // meaningful unless Full
  };

  // The listener is up: slot 0 is in use, no client slot exists yet.
  void Open();

  // Where the next connection goes. The search stops at the first free slot
  // below the highest slot made, or at that slot itself, which makes a new
  // slot above it; only at the limit is a free highest slot taken again.
  Vacancy FindSlot() const;
  // Takes a slot FindSlot named; a new slot becomes the highest.
  void Take(Vacancy vacancy);
  void Free(SlotIndex slot);
  // Takes the given client slot, made if need be (with the slots below it,
  // free): a place kept from before a restart.
  void TakeKept(SlotIndex slot);

 private:
  std::vector<bool> inUse_;
  std::int32_t topSlot_ = 0;
};

}  // namespace velmor
