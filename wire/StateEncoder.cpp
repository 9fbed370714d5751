#include "wire/StateEncoder.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmor {

void StateEncoder::MakeRoomInFront(std::size_t need) {
  if (start_ >= need) return;
  // Room for four times what is kept and needed, so that moving is rare
  // and its cost spread over the many lines put in front between two moves;
  // within the buffer while it is big enough, so only a log larger than any
  // before costs an allocation.
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

void StateEncoder::OfferSource(std::u16string_view text, std::string_view bytes) {
  offeredText_ = text;
  offeredBytes_ = bytes;
}

void StateEncoder::Withdraw() {
  offeredText_ = {};
  offeredBytes_ = {};
}

namespace {

// How many characters a and b have in common at their ends.
std::size_t CommonEnd(std::u16string_view a, std::u16string_view b) {
  const std::size_t most = std::min(a.size(), b.size());
  const char16_t* x = a.data() + a.size();
  const char16_t* y = b.data() + b.size();
  std::size_t same = 0;
#if defined(__SSE2__)
  // A chat line shares thousands of characters with its request and
  // differs only in its first few: 32 characters a step, four comparisons
  // tested at once, with no call per step.
  const auto sameEight = [x, y](std::size_t back) {
    return _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x - back)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(y - back)));
  };
  while (most - same >= 32) {
    const __m128i all = _mm_and_si128(_mm_and_si128(sameEight(same + 8), sameEight(same + 16)),
                                      _mm_and_si128(sameEight(same + 24), sameEight(same + 32)));
    if (_mm_movemask_epi8(all) != 0xFFFF) break;
    same += 32;
  }
#else
  while (most - same >= 512 && std::memcmp(x - same - 512, y - same - 512, 1024) == 0) same += 512;
#endif
  while (same < most &&
         x[-1 - static_cast<std::ptrdiff_t>(same)] == y[-1 - static_cast<std::ptrdiff_t>(same)]) {
    ++same;
  }
  return same;
}

}  // namespace

std::string_view StateEncoder::OfferedTail(std::u16string_view line,
                                           std::size_t& characters) const {
  characters = 0;
  // Found by the line's last few characters, searched from the end of the
  // offered text, where a chat request's text lies, then followed back.
  constexpr std::size_t Probe = 16;
  // A shorter line is encoded sooner than its run is found and compared.
  constexpr std::size_t ShortestReused = 512;
  if (offeredText_.empty() || line.size() < ShortestReused) return {};
  const std::size_t at = offeredText_.rfind(line.substr(line.size() - Probe));
  if (at == std::u16string_view::npos) return {};
  const std::size_t end = at + Probe;
  characters = CommonEnd(line, offeredText_.substr(0, end));
  // The offered bytes are the text's exact encoding, so the run's bytes lie
  // between the encoded sizes of what comes before and after it.
  const std::size_t from = codec_.EncodedSize(offeredText_.substr(0, end - characters));
  const std::size_t to = offeredBytes_.size() - codec_.EncodedSize(offeredText_.substr(end));
  return offeredBytes_.substr(from, to - from);
}

void StateEncoder::PutLineInFront(std::u16string_view line) {
  std::size_t reused = 0;
  const std::string_view tail = OfferedTail(line, reused);
  const std::u16string_view head = line.substr(0, line.size() - reused);
  // The rest is encoded in place, where its longest form (two bytes a
  // character) would end just before the reused bytes, and moved up only if
  // it came out shorter. The byte the encoder may write past its end lands
  // where those bytes or the CR go, written after it.
  const std::size_t most = 2 * head.size();
  MakeRoomInFront(most + tail.size() + 2);
  char* const tailAt = buffer_.data() + start_ - 2 - tail.size();
  const std::size_t size = codec_.EncodeTo(head, tailAt - most);
  if (size < most) std::memmove(tailAt - size, tailAt - most, size);
  if (!tail.empty()) std::memcpy(tailAt, tail.data(), tail.size());
  tailAt[tail.size()] = '\r';
  tailAt[tail.size() + 1] = '\n';
  const std::size_t total = size + tail.size() + 2;
  start_ -= total;
  lineSizes_.push_front(total);
}

void StateEncoder::Rebuild(const StateReply& reply) {
  // The log may come back to where it began, but the member list written
  // before it will not survive its lines' encoding.
  writtenAt_ = NotWritten;
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
