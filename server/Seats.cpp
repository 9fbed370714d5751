#include "server/Seats.h"

#include <utility>

#include "members/Member.h"

namespace velmor {

Seats::Seats(std::u16string listenerAddress, std::u16string listenerLabel) : holders_(1) {
  holders_[0].address = std::move(listenerAddress);
  holders_[0].label = std::move(listenerLabel);
}

std::optional<SlotIndex> Seats::Take(Member& member) {
  const SlotTable::Vacancy vacancy = slots_.FindSlot();
  if (vacancy.kind == SlotTable::Vacancy::Kind::Full) return std::nullopt;
  if (vacancy.kind == SlotTable::Vacancy::Kind::NewSlot) holders_.emplace_back();
  slots_.Take(vacancy);
  Hold(vacancy.slot, member);
  return vacancy.slot;
}

void Seats::Move(Member& member, SlotIndex slot) {
  const SlotIndex from = member.Slot();
  if (from != Member::Unplaced && from != slot && At(from) == &member) Free(from);
  Hold(slot, member);
}

void Seats::SeatKept(Member& member, SlotIndex slot) {
  if (slot < 1 || slot > MaxClientSlot || At(slot) != nullptr) return;
  if (Count() <= slot) holders_.resize(static_cast<std::size_t>(slot) + 1);
  slots_.TakeKept(slot);
  Hold(slot, member);
}

Member* Seats::Free(SlotIndex slot) {
  if (!Exists(slot) || slot == 0) return nullptr;
  slots_.Free(slot);
  return std::exchange(holders_[slot].member, nullptr);
}

std::u16string Seats::Address(SlotIndex slot) const {
  return Exists(slot) ? holders_[slot].address : std::u16string();
}

std::u16string Seats::Label(SlotIndex slot) const {
  return Exists(slot) ? holders_[slot].label : std::u16string();
}

void Seats::Hold(SlotIndex slot, Member& member) {
  Holder& holder = holders_[slot];
  holder.member = &member;
  holder.address = member.Address();
  holder.label = member.Label();
  member.MoveTo(slot);
}

}  // namespace velmor
