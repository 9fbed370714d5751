// Who holds each slot: the one owner of the seats. A member is seated in a
// free slot when it comes (a Pibbet client) or joins (a browser), moved into
// the place of the member it takes over when a page comes back, and its slot
// freed when it goes. The slot table under it says which slots exist and
// which are in use; the room's names and keys follow the slots it gives.
// The peer a slot was last held by stays readable after the slot is freed:
// the room names it in the line that says it left.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "room/RoomPorts.h"
#include "room/SlotTable.h"

namespace velmor {

class Member;

class Seats {
 public:
  // Slot 0 stands for the listener, under its own texts.
  Seats(std::u16string listenerAddress, std::u16string listenerLabel);

  // The listener is up: slot 0 is in use.
  void Open() { slots_.Open(); }
  // Whether Take would find a free slot.
  bool HasVacancy() const { return slots_.FindSlot().kind != SlotTable::Vacancy::Kind::Full; }
  // Seats member in a free slot; none when every slot is held.
  std::optional<SlotIndex> Take(Member& member);
  // Seats member in slot in place of the member there, which the caller
  // closes; the slot member held before, if any, is freed.
  void Move(Member& member, SlotIndex slot);
  // Seats member in the slot it kept before a restart, the slot made if
  // need be; the slot is free, since nobody came before the kept places.
  void SeatKept(Member& member, SlotIndex slot);
  // Frees the slot; the member that held it, which the caller closes.
  Member* Free(SlotIndex slot);

  // Slots made so far, 0 included.
  SlotIndex Count() const { return static_cast<SlotIndex>(holders_.size()); }
  // The member holding the slot; nullptr when none does.
  Member* At(SlotIndex slot) const { return Exists(slot) ? holders_[slot].member : nullptr; }
  // The peer the slot is or was last held by; empty for a slot never made.
  std::u16string Address(SlotIndex slot) const;
  std::u16string Label(SlotIndex slot) const;
  // Calls visit with each member seated, in slot order.
  template <typename Visit>
  void ForEachMember(Visit&& visit) const {
    for (const Holder& holder : holders_) {
      if (holder.member != nullptr) visit(*holder.member);
    }
  }

 private:
  bool Exists(SlotIndex slot) const { return slot >= 0 && slot < Count(); }
  void Hold(SlotIndex slot, Member& member);

  struct Holder {
    Member* member = nullptr;
    std::u16string address;
    std::u16string label;
  };
  SlotTable slots_;
  std::vector<Holder> holders_;  // index: slot
};

}  // namespace velmor
