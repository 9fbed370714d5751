#include "room/SlotTable.h"

namespace velmor {

void SlotTable::Open() {
  SlotInUse.assign(1, true);
  Top = 0;
}

SlotTable::Placement SlotTable::FindSlot() const {
  std::int32_t i = 0;
  while (SlotInUse[i] && i != Top) ++i;
  if (i < Top) return {Placement::Kind::Reuse, static_cast<SlotIndex>(i)};
  if (Top < MaxClientSlot) return {Placement::Kind::NewSlot, static_cast<SlotIndex>(Top + 1)};
  if (!SlotInUse[Top]) return {Placement::Kind::Reuse, static_cast<SlotIndex>(Top)};
  return {Placement::Kind::Full, 0};
}

void SlotTable::Take(Placement placement) {
  if (placement.kind == Placement::Kind::NewSlot) {
    ++Top;
    SlotInUse.resize(Top + 1, false);
  }
  SlotInUse[placement.slot] = true;
}

void SlotTable::Free(SlotIndex slot) {
  if (slot > 0 && slot <= Top) SlotInUse[slot] = false;
}

int SlotTable::ClientsInUse() const {
  int n = 0;
  for (std::int32_t s = 1; s <= Top; ++s) n += SlotInUse[s] ? 1 : 0;
  return n;
}

}  // namespace velmor
