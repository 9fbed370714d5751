#include "wire/StateEncoder.h"

#include <algorithm>
#include <cstring>

namespace velmor {

void StateEncoder::MakeRoomInFront(std::size_t need) {
  if (start_ >= need) return;
  // Room for four times what is kept and needed, so that moving is rare
  // and its cost spread over many lines (a full log of long lines moves
  // once in 150 of them); within the buffer while it is big enough, so only
  // a log larger than any before costs an allocation.
  const std::size_t kept = end_ - start_;
  const std::size_t size = std::max<std::size_t>(4 * (kept + need), 64 * 1024);
  if (buffer_.size() >= size) {
    std::memmove(buffer_.data() + buffer_.size() - kept, buffer_.data() + start_, kept);
  } else {
    std::string bigger(size, '\0');
    std::memcpy(bigger.data() + size - kept, buffer_.data() + start_, kept);
    buffer_.swap(bigger);
  }
  start_ = buffer_.size() - kept;
  end_ = buffer_.size();
  // The member list written before the log is gone with the move.
  writtenAt_ = NotWritten;
}

void StateEncoder::PutLineInFront(std::u16string_view line) {
  // Encoded in place, where its longest form (two bytes a character) would
  // end just before the log, and moved up only if it came out shorter. The
  // byte the encoder may write past its end lands where the CR goes.
  const std::size_t most = 2 * line.size();
  MakeRoomInFront(most + 2);
  char* const lineEnd = buffer_.data() + start_ - 2;
  const std::size_t size = codec_.EncodeTo(line, lineEnd - most);
  if (size < most) std::memmove(lineEnd - size, lineEnd - most, size);
  lineEnd[0] = '\r';
  lineEnd[1] = '\n';
  start_ -= size + 2;
  lineSizes_.push_front(size + 2);
}

void StateEncoder::Rebuild(const StateReply& reply) {
  start_ = end_ = buffer_.size();
  lineSizes_.clear();
  for (int k = reply.LineCount() - 1; k >= 0; --k) PutLineInFront(reply.Line(k));
  newest_ = reply.LineCount() > 0 ? reply.LineNumber(0) : 0;
  valid_ = true;
}

std::string_view StateEncoder::Encode(const StateReply& reply) {
  if (!haveMembers_ || memberVersion_ != reply.MemberListVersion()) {
    codec_.EncodeInto(reply.MemberList(), memberBytes_);
    memberBytes_ += "/*/";
    memberVersion_ = reply.MemberListVersion();
    haveMembers_ = true;
  }
  const int count = reply.LineCount();
  const std::uint64_t newest = count > 0 ? reply.LineNumber(0) : 0;
  // Lines posted since the last reply come before the kept ones, as long as
  // some kept line is still in the log; otherwise the log is made anew.
  const std::uint64_t wanted = static_cast<std::uint64_t>(count);
  const bool follows = valid_ && newest >= newest_ && newest - newest_ < wanted &&
                       lineSizes_.size() + (newest - newest_) >= wanted;
  if (!follows) {
    Rebuild(reply);
  } else {
    for (std::uint64_t number = newest_ + 1; number <= newest; ++number) {
      PutLineInFront(reply.Line(static_cast<int>(newest - number)));
    }
    newest_ = newest;
    while (lineSizes_.size() > static_cast<std::size_t>(count)) {
      end_ -= lineSizes_.back();
      lineSizes_.pop_back();
    }
  }
  MakeRoomInFront(memberBytes_.size());
  // A fetch of an unchanged room finds the member list in place already.
  if (writtenAt_ != start_ || writtenVersion_ != memberVersion_) {
    std::memcpy(buffer_.data() + start_ - memberBytes_.size(), memberBytes_.data(),
                memberBytes_.size());
    writtenAt_ = start_;
    writtenVersion_ = memberVersion_;
  }
  return std::string_view(buffer_.data() + start_ - memberBytes_.size(),
                          end_ - start_ + memberBytes_.size());
}

}  // namespace velmor
