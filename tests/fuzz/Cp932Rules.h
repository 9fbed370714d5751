// What the wire encoding must do with any bytes at all.
#pragma once

#include <string>
#include <string_view>

#include "wire/Cp932.h"

namespace velmor::testing {

// Decoding never fails and yields at most one character per byte; text that
// came from the wire encodes to bytes that decode to the same text (with "?"
// for the replacement character, which has no byte form), and encoding that
// again gives the same bytes. The decoder says whether the bytes are the
// text's own encoding, and is right.
inline std::string CheckCp932RoundTrip(std::string_view bytes) {
  const Cp932& codec = Cp932::Instance();
  std::u16string text;
  const bool exact = codec.DecodeInto(bytes, text);
  if (text.size() > bytes.size()) return "more characters than bytes";
  if (exact != (codec.Encode(text) == bytes)) return "wrong about the bytes being the text's own";
  std::u16string expected = text;
  for (char16_t& c : expected) {
    if (c == Cp932::NoChar) return "decoded to the table's own no-character mark";
    if (c == Cp932::Replacement) c = u'?';
  }
  const std::string encoded = codec.Encode(text);
  if (codec.Decode(encoded) != expected) return "encoding then decoding changed the text";
  if (codec.Encode(codec.Decode(encoded)) != encoded) return "encoding is not stable";
  return {};
}

}  // namespace velmor::testing
