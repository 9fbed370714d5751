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
  // below TopSlot, or at TopSlot itself, which makes a new slot above it;
  // only at the limit is a free TopSlot taken again.
  Vacancy FindSlot() const;
  // Takes a slot FindSlot named; a new slot raises TopSlot by one.
  void Take(Vacancy vacancy);
  void Free(SlotIndex slot);

  bool InUse(SlotIndex slot) const {
    return slot >= 0 && slot < static_cast<int>(inUse_.size()) && inUse_[slot];
  }
  std::int32_t TopSlot() const { return topSlot_; }
  int ClientsInUse() const;

 private:
  std::vector<bool> inUse_;
  std::int32_t topSlot_ = 0;
};

}  // namespace velmor
