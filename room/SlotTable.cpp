#include "room/SlotTable.h"

namespace velmor {

void SlotTable::Open() {
  inUse_.assign(1, true);
  topSlot_ = 0;
}

SlotTable::Vacancy SlotTable::FindSlot() const {
  std::int32_t i = 0;
  while (inUse_[i] && i != topSlot_) ++i;
  if (i < topSlot_) return {Vacancy::Kind::Reuse, static_cast<SlotIndex>(i)};
  if (topSlot_ < MaxClientSlot)
    return {Vacancy::Kind::NewSlot, static_cast<SlotIndex>(topSlot_ + 1)};
  if (!inUse_[topSlot_]) return {Vacancy::Kind::Reuse, static_cast<SlotIndex>(topSlot_)};
  return {Vacancy::Kind::Full, 0};
}

void SlotTable::Take(Vacancy vacancy) {
  if (vacancy.kind == Vacancy::Kind::NewSlot) {
    ++topSlot_;
    inUse_.resize(topSlot_ + 1, false);
  }
  inUse_[vacancy.slot] = true;
}

void SlotTable::TakeKept(SlotIndex slot) {
  if (slot < 1 || slot > MaxClientSlot) return;
  if (slot > topSlot_) {
    topSlot_ = slot;
    inUse_.resize(topSlot_ + 1, false);
  }
  inUse_[slot] = true;
}

void SlotTable::Free(SlotIndex slot) {
  if (slot > 0 && slot <= topSlot_) inUse_[slot] = false;
}

}  // namespace velmor
