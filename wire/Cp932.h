// Code page 932 (Microsoft's Shift-JIS), the text of the wire.
//
// The tables are built once from the system's iconv converter and then used
// for every arrival and reply. Two things differ from plain iconv and follow
// what Windows clients do: the single bytes 0x80, 0xA0 and 0xFD to 0xFF
// decode to U+0080 and U+F8F0 to U+F8F3 and are encoded back to those bytes,
// and the encoder makes Windows' choices for characters with several byte
// forms and for best-fit characters, which glibc's CP932 converter shares.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmor {

class Cp932 {
 public:
  static constexpr char16_t Replacement = u'\uFFFD';
  static constexpr std::uint16_t NoBytes = 0xFFFF;

  // The tables, built on first use.
  static const Cp932& Instance();

  // Never fails: a byte that starts no valid character becomes U+FFFD and
  // decoding goes on with the next byte; a lead byte at the end does too.
  std::u16string Decode(std::string_view bytes) const;
  // The same into out, whose capacity is reused. True when the bytes are
  // exactly what encoding the text gives: no byte was replaced and no
  // character came in another of its forms.
  bool DecodeInto(std::string_view bytes, std::u16string& out) const;
  // A character without a byte form (an emoji, a lone surrogate) becomes "?".
  void EncodeInto(std::u16string_view text, std::string& out) const;
  // The same into to, which has room for 2 * text.size() + 1 bytes, the
  // last of which may be written past the result; returns the result's
  // length.
  std::size_t EncodeTo(std::u16string_view text, char* to) const;
  std::string Encode(std::u16string_view text) const;
  // How many bytes Encode gives for text.
  std::size_t EncodedSize(std::u16string_view text) const;

  // The character of one byte or of a lead and trail byte; NoChar if none.
  static constexpr char16_t NoChar = u'\uFFFF';
  char16_t SingleByteChar(std::uint8_t byte) const { return single_[byte]; }
  char16_t DoubleByteChar(std::uint8_t lead, std::uint8_t trail) const {
    const std::uint32_t step = pairSteps_[lead << 8 | trail];
    return IsLeadByte(lead) && (step >> 16 & 3) == 2 ? static_cast<char16_t>(step) : NoChar;
  }
  static bool IsLeadByte(std::uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
  }
  // A high surrogate followed by a low one is one character, encoded as one
  // "?" (code page 932 has no characters beyond the first plane).
  static bool IsSurrogatePair(char16_t high, char16_t low) {
    return high >= 0xD800 && high <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF;
  }

  Cp932();

 private:
  // Every character's byte form: below 0x100 one byte, else lead << 8 |
  // trail; NoBytes for none.
  std::vector<std::uint16_t> ByteForms() const;

  std::array<char16_t, 256> single_{};
  // The decoder's table, indexed by a byte and the one after it: the
  // character read there in the low half, and how many of the two bytes it
  // takes above (2 for a valid pair, else 1: a lead byte with a wrong trail
  // spends only itself and reads as U+FFFD), and whether encoding that
  // character gives those bytes back (ExactBytes).
  std::array<std::uint32_t, 65536> pairSteps_{};
  // The encoder's table: a character's bytes in wire order in the low half,
  // their count above; 0 for a character without a byte form.
  std::array<std::uint32_t, 65536> packed_{};
  // Whether the processor can look eight entries up at once (AVX2).
  bool eightLookups_ = false;
};

}  // namespace velmor
