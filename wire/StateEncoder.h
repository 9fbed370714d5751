// The code page 932 bytes of the state reply, kept from one reply to the
// next so that a reply costs what changed, not what the room holds.
//
// The log's bytes are kept newest first in one buffer that grows towards its
// front: a new line is encoded once and written before the others, the
// oldest is cut off the end, and the member list and "/*/" are written just
// before the log, so the whole reply is one contiguous run of bytes that
// goes out in one send. A fetch of an unchanged room encodes nothing at all.
// Plain C++.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "room/RoomPorts.h"
#include "wire/Cp932.h"

namespace velmor {

class StateEncoder {
 public:
  explicit StateEncoder(const Cp932& codec = Cp932::Instance()) : codec_(codec) {}
  // Always what Cp932::Encode gives for reply.Text(); valid until the next
  // call.
  std::string_view Encode(const StateReply& reply);

 private:
  // Makes room for need bytes before the log, moving it if it must.
  void MakeRoomInFront(std::size_t need);
  // Encodes line with its CR LF just before the log.
  void PutLineInFront(std::u16string_view line);
  void Rebuild(const StateReply& reply);

  static constexpr std::size_t NotWritten = static_cast<std::size_t>(-1);

  const Cp932& codec_;
  std::string buffer_;
  std::size_t start_ = 0;  // the log is buffer_[start_, end_)
  std::size_t end_ = 0;
  std::deque<std::size_t> lineSizes_;  // newest first, CR LF included
  std::uint64_t newest_ = 0;           // the number of the newest line kept
  bool valid_ = false;
  std::string memberBytes_;  // the member list and "/*/"
  std::uint64_t memberVersion_ = 0;
  bool haveMembers_ = false;
  // Where the member list was last written before the log, and which;
  // NotWritten once the log has moved.
  std::size_t writtenAt_ = NotWritten;
  std::uint64_t writtenVersion_ = 0;
};

}  // namespace velmor
