// The code page 932 bytes of the state reply, kept from one reply to the
// next so that a reply costs what changed, not what the room holds.
//
// The log's bytes are kept newest first in one buffer that grows towards its
// front: a new line is encoded once and written before the others, the
// oldest is cut off the end, and the member list and "/*/" are written just
// before the log, so the whole reply is one contiguous run of bytes that
// goes out in one send. A fetch of an unchanged room encodes nothing at all.
//
// What holds before and after each Encode, and what every step keeps:
//  - buffer_[start_, end_) is the encoding of the kept lines, newest first,
//    each with its CR LF; lineSizes_ holds their sizes, which sum to
//    end_ - start_, and newest_ is the number of the first;
//  - memberBytes_ is the encoding of version memberVersion_ of the member
//    list, followed by "/*/";
//  - while writtenAt_ == start_, the bytes just before start_ are version
//    writtenVersion_ of the member list and "/*/". A line put in front
//    writes there (and, while it is encoded, up to as many bytes again
//    before its place), but leaves start_ below writtenAt_. start_ goes up
//    again only where the log is placed anew, by a move (MakeRoomInFront)
//    or a rebuild (Rebuild), and each of them forgets writtenAt_: a rebuild
//    puts lines of the same total size back where the log began, after its
//    newest line's encoding has written over the member list before it.
// Encode returns buffer_[start_ - memberBytes_.size(), end_) and leaves
// writtenAt_ == start_ and writtenVersion_ == memberVersion_.
//
// A chat line is mostly the text its request brought. While that request is
// handled, its bytes may be offered with their text: a new line that ends
// with a run of that text takes the run's bytes as they came instead of
// encoding them again. Plain C++.
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

  // Offers bytes that are exactly the encoding of text (as Cp932::DecodeInto
  // says) for the lines encoded until Withdraw; both must stay valid until
  // then.
  void OfferSource(std::u16string_view text, std::string_view bytes);
  void Withdraw();

 private:
  // Makes room for need bytes before the log, moving it if it must.
  void MakeRoomInFront(std::size_t need);
  // Encodes line with its CR LF just before the log.
  void PutLineInFront(std::u16string_view line);
  // The bytes of the longest run of the offered text that ends line, and
  // how many characters it holds; nothing when the line does not end so.
  std::string_view OfferedTail(std::u16string_view line, std::size_t& characters) const;
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
  // NotWritten once the log has moved or been made anew.
  std::size_t writtenAt_ = NotWritten;
  std::uint64_t writtenVersion_ = 0;
  std::u16string_view offeredText_;
  std::string_view offeredBytes_;
};

}  // namespace velmor
