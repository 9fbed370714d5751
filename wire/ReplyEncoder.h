// The bytes of the state reply, kept from one reply to the next.
//
// Consecutive replies mostly repeat each other: a fetch repeats the last reply
// whole, and a chat line adds one line after the member list and drops the
// oldest at the end. Encoding the whole reply anew costs a table lookup per
// character; here the parts the new text shares with the last one reuse the
// last bytes, and only what is new is encoded. Plain C++.
#pragma once

#include <string>
#include <string_view>

#include "wire/Cp932.h"

namespace velmor {

class ReplyEncoder {
 public:
  explicit ReplyEncoder(const Cp932& codec = Cp932::Instance()) : codec_(codec) {}

  // The code page 932 bytes of text; always what Cp932::Encode gives.
  const std::string& Encode(const std::u16string& text);

 private:
  // Bytes that text takes, counted the way EncodeInto writes them.
  std::size_t EncodedLength(std::u16string_view text);
  void AppendEncoded(std::u16string_view text);

  const Cp932& codec_;
  std::u16string lastText_;
  std::string lastBytes_;
  // The first KnownChars characters of LastText are the first KnownBytes
  // bytes of LastBytes; every such cut lies between two whole characters.
  std::size_t knownChars_ = 0;
  std::size_t knownBytes_ = 0;
  std::string nextBytes_;
  std::string scratch_;
};

}  // namespace velmor
