#include "wire/StateEncoder.h"

#include <algorithm>
#include <cstring>

namespace velmor {

void StateEncoder::MakeRoomInFront(std::size_t need) {
  if (Start >= need) return;
  // Twice what is kept and needed, so that moving is rare: its cost is
  // spread over many lines.
  const std::size_t kept = End - Start;
  const std::size_t size = std::max<std::size_t>(2 * (kept + need), 64 * 1024);
  std::string bigger(size, '\0');
  std::memcpy(bigger.data() + size - kept, Buffer.data() + Start, kept);
  Buffer.swap(bigger);
  Start = size - kept;
  End = size;
}

void StateEncoder::Rebuild(const StateReply& reply) {
  Start = End = Buffer.size();
  LineSizes.clear();
  for (int k = reply.LineCount() - 1; k >= 0; --k) {
    Codec.EncodeInto(reply.Line(k), Scratch);
    Scratch += "\r\n";
    MakeRoomInFront(Scratch.size());
    Start -= Scratch.size();
    std::memcpy(Buffer.data() + Start, Scratch.data(), Scratch.size());
    LineSizes.push_front(Scratch.size());
  }
  Newest = reply.LineCount() > 0 ? reply.LineNumber(0) : 0;
  Valid = true;
}

std::string_view StateEncoder::Encode(const StateReply& reply) {
  if (!HaveMembers || MemberVersion != reply.MemberListVersion()) {
    Codec.EncodeInto(reply.MemberList(), MemberBytes);
    MemberBytes += "/*/";
    MemberVersion = reply.MemberListVersion();
    HaveMembers = true;
  }
  const int count = reply.LineCount();
  const std::uint64_t newest = count > 0 ? reply.LineNumber(0) : 0;
  // Lines posted since the last reply come before the kept ones, as long as
  // some kept line is still in the log; otherwise the log is made anew.
  const std::uint64_t wanted = static_cast<std::uint64_t>(count);
  const bool follows = Valid && newest >= Newest && newest - Newest < wanted &&
                       LineSizes.size() + (newest - Newest) >= wanted;
  if (!follows) {
    Rebuild(reply);
  } else {
    for (std::uint64_t number = Newest + 1; number <= newest; ++number) {
      Codec.EncodeInto(reply.Line(static_cast<int>(newest - number)), Scratch);
      Scratch += "\r\n";
      MakeRoomInFront(Scratch.size());
      Start -= Scratch.size();
      std::memcpy(Buffer.data() + Start, Scratch.data(), Scratch.size());
      LineSizes.push_front(Scratch.size());
    }
    Newest = newest;
    while (LineSizes.size() > static_cast<std::size_t>(count)) {
      End -= LineSizes.back();
      LineSizes.pop_back();
    }
  }
  MakeRoomInFront(MemberBytes.size());
  // A fetch of an unchanged room finds the member list in place already.
  if (WrittenAt != Start || WrittenVersion != MemberVersion || WrittenBuffer != Buffer.data()) {
    std::memcpy(Buffer.data() + Start - MemberBytes.size(), MemberBytes.data(), MemberBytes.size());
    WrittenAt = Start;
    WrittenVersion = MemberVersion;
    WrittenBuffer = Buffer.data();
  }
  return std::string_view(Buffer.data() + Start - MemberBytes.size(),
                          End - Start + MemberBytes.size());
}

}  // namespace velmor
