#include "wire/ReplyEncoder.h"

#include <algorithm>
#include <cstring>

#include "room/SameText.h"

namespace velmor {

namespace {

// Beyond this the new part is not searched for the old text; the whole reply
// is encoded instead.
constexpr std::size_t MaxNewPart = 4096;
// How many characters of the old remainder must match to count as found.
constexpr std::size_t Anchor = 16;

// A cut between two characters is safe unless it splits a surrogate pair,
// which encodes as one "?" whole but as two when split.
bool SafeCut(std::u16string_view text, std::size_t at) {
  return at == 0 || at >= text.size() || !Cp932::IsSurrogatePair(text[at - 1], text[at]);
}

// Compared a block at a time with memcmp, which is vectorised; the replies
// share long runs.
std::size_t CommonPrefix(std::u16string_view a, std::u16string_view b) {
  constexpr std::size_t Block = 32;
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i + Block <= n && std::memcmp(a.data() + i, b.data() + i, Block * sizeof(char16_t)) == 0)
    i += Block;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

std::size_t ReplyEncoder::EncodedLength(std::u16string_view text) {
  codec_.EncodeInto(text, scratch_);
  return scratch_.size();
}

void ReplyEncoder::AppendEncoded(std::u16string_view text) {
  codec_.EncodeInto(text, scratch_);
  nextBytes_.append(scratch_);
}

const std::string& ReplyEncoder::Encode(const std::u16string& text) {
  if (SameText(text, lastText_) && !lastBytes_.empty()) return lastBytes_;

  // text = shared prefix + new part + a run of the old remainder + the rest.
  const std::u16string_view now(text), before(lastText_);
  const std::size_t prefix = CommonPrefix(now, before);
  const std::u16string_view oldRest = before.substr(prefix);
  const std::u16string_view newRest = now.substr(prefix);
  std::size_t at = std::u16string_view::npos;
  if (oldRest.size() >= Anchor && !lastBytes_.empty()) {
    at = newRest.substr(0, MaxNewPart + Anchor).find(oldRest.substr(0, Anchor));
  }
  const std::size_t run =
      at == std::u16string_view::npos ? 0 : CommonPrefix(newRest.substr(at), oldRest);
  const bool reuse = run >= Anchor && SafeCut(now, prefix) && SafeCut(before, prefix) &&
                     SafeCut(now, prefix + at) && SafeCut(now, prefix + at + run) &&
                     SafeCut(before, prefix + run);
  if (!reuse) {
    codec_.EncodeInto(text, lastBytes_);
    lastText_.assign(text);
    knownChars_ = lastText_.size();
    knownBytes_ = lastBytes_.size();
    return lastBytes_;
  }

  // Byte offsets in the old bytes: the prefix counted from the front, from
  // where it was last known (the member list rarely changes), and the end of
  // the reused run from the back (usually one line).
  const std::size_t prefixBytes =
      prefix >= knownChars_
          ? knownBytes_ + EncodedLength(before.substr(knownChars_, prefix - knownChars_))
          : EncodedLength(before.substr(0, prefix));
  const std::size_t runEnd = lastBytes_.size() - EncodedLength(before.substr(prefix + run));
  nextBytes_.clear();
  nextBytes_.reserve(text.size() * 2);
  nextBytes_.append(lastBytes_, 0, prefixBytes);
  AppendEncoded(newRest.substr(0, at));
  nextBytes_.append(lastBytes_, prefixBytes, runEnd - prefixBytes);
  AppendEncoded(newRest.substr(at + run));
  lastBytes_.swap(nextBytes_);
  lastText_.assign(text);
  knownChars_ = prefix;
  knownBytes_ = prefixBytes;
  return lastBytes_;
}

}  // namespace velmor
