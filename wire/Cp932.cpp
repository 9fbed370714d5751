#include "wire/Cp932.h"

#include <iconv.h>

#include <cstdio>
#include <utility>

#include "wire/Cp932Entries.h"

namespace velmor {

using cp932::ExactBytes;
using cp932::TwoBytes;

namespace {

// Converts one byte sequence with iconv; NoChar unless it is exactly one
// UTF-16 code unit.
char16_t ConvertOne(iconv_t cd, const unsigned char* bytes, std::size_t count) {
  char in[2] = {static_cast<char>(bytes[0]), count > 1 ? static_cast<char>(bytes[1]) : '\0'};
  char16_t out[4] = {};
  char* inPtr = in;
  std::size_t inLeft = count;
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t outLeft = sizeof out;
  const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0 || sizeof out - outLeft != 2) {
    return Cp932::NoChar;
  }
  return out[0];
}

// Converts one character with iconv: its byte form (one byte, or lead << 8 |
// trail), or NoBytes when the converter has none.
std::uint16_t EncodeOne(iconv_t cd, char16_t c) {
  char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  unsigned char out[4] = {};
  char* inPtr = in;
  std::size_t inLeft = sizeof in;
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t outLeft = sizeof out;
  const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  const std::size_t written = sizeof out - outLeft;
  if (result == static_cast<std::size_t>(-1) || inLeft != 0 || written == 0 || written > 2) {
    return Cp932::NoBytes;
  }
  return written == 1 ? out[0] : static_cast<std::uint16_t>(out[0] << 8 | out[1]);
}

// The single bytes that Windows reads as C1 and private-use characters, where
// iconv reports them invalid. They are read so and written back as those
// bytes, so that text received from a client goes back out unchanged.
constexpr std::pair<std::uint8_t, char16_t> WindowsSingles[] = {
    {0x80, u'\u0080'}, {0xA0, u'\uF8F0'}, {0xFD, u'\uF8F1'}, {0xFE, u'\uF8F2'}, {0xFF, u'\uF8F3'}};

}  // namespace

const Cp932& Cp932::Instance() {
  static const std::unique_ptr<const Cp932> instance = std::make_unique<const Cp932>();
  return *instance;
}

Cp932::Cp932() {
#if defined(VELMOR_EIGHT_LOOKUPS)
  __builtin_cpu_init();
  eightLookups_ = __builtin_cpu_supports("avx2");
#endif
  single_.fill(NoChar);
  std::vector<char16_t> pairs(0x10000, NoChar);  // lead << 8 | trail

  iconv_t cd = iconv_open("UTF-16LE", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // Without the converter only ASCII can be carried.
    std::fputs("velmor: the CP932 converter is missing; only ASCII text will be carried\n", stderr);
    for (int b = 0; b < 0x80; ++b) single_[b] = static_cast<char16_t>(b);
  } else {
    for (int b = 0; b < 256; ++b) {
      if (IsLeadByte(static_cast<std::uint8_t>(b))) continue;
      const unsigned char byte = static_cast<unsigned char>(b);
      single_[b] = ConvertOne(cd, &byte, 1);
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
      if (!IsLeadByte(static_cast<std::uint8_t>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                       static_cast<unsigned char>(trail)};
        pairs[lead << 8 | trail] = ConvertOne(cd, pair, 2);
      }
    }
    iconv_close(cd);
  }
  for (auto [byte, c] : WindowsSingles) {
    if (single_[byte] == NoChar) single_[byte] = c;
  }
  const std::vector<std::uint16_t> byteForms = ByteForms();
  for (std::size_t c = 0; c < byteForms.size(); ++c) {
    const std::uint16_t bytes = byteForms[c];
    if (bytes == NoBytes) continue;
    packed_[c] =
        bytes < 0x100 ? (1u << 16 | bytes) : (2u << 16 | (bytes & 0xFFu) << 8 | bytes >> 8);
  }

  for (int first = 0; first < 0x100; ++first) {
    const char16_t single = single_[first] == NoChar ? Replacement : single_[first];
    for (int next = 0; next < 0x100; ++next) {
      const int index = first << 8 | next;
      const char16_t pair = pairs[index];
      std::uint32_t step = !IsLeadByte(static_cast<std::uint8_t>(first)) ? (1u << 16 | single)
                           : pair == NoChar                              ? (1u << 16 | Replacement)
                                                                         : (2u << 16 | pair);
      const bool exact = step & TwoBytes ? byteForms[pair] == index : byteForms[single] == first;
      if (exact && static_cast<char16_t>(step) != Replacement) step |= ExactBytes;
      pairSteps_[index] = step;
    }
  }
}

// The encoder writes what Windows writes, and glibc's CP932 converter makes
// the same choices: where a character has several byte forms, the JIS X 0208
// form, then NEC row 13, then the IBM extension rows (0xFA-0xFC), never the
// NEC-selected copies in rows 0xED-0xEE; and characters without a form of
// their own get Windows' best fit (U+00A5 as 0x5C, U+2014 as 0x81 0x5C).
// So every character is asked of iconv once.
std::vector<std::uint16_t> Cp932::ByteForms() const {
  std::vector<std::uint16_t> forms(0x10000, NoBytes);
  iconv_t cd = iconv_open("CP932", "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (int c = 0; c < 0x80; ++c) forms[c] = static_cast<std::uint16_t>(c);
  } else {
    for (int c = 0; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;  // half a character; no form
      forms[c] = EncodeOne(cd, static_cast<char16_t>(c));
    }
    iconv_close(cd);
  }
  for (auto [byte, c] : WindowsSingles) {
    const char16_t read = single_[byte];
    if (read != NoChar && forms[read] == NoBytes) forms[read] = byte;
  }
  return forms;
}

std::u16string Cp932::Decode(std::string_view bytes) const {
  std::u16string text;
  DecodeInto(bytes, text);
  return text;
}

std::size_t Cp932::EncodedSize(std::u16string_view text) const {
  std::size_t size = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t packed = packed_[text[i]];
    // Without a byte form a character is one "?", a surrogate pair too.
    if (packed == 0 && i + 1 < text.size() && IsSurrogatePair(text[i], text[i + 1])) ++i;
    size += packed == 0 ? 1 : packed >> 16;
  }
  return size;
}

std::string Cp932::Encode(std::u16string_view text) const {
  std::string out;
  EncodeInto(text, out);
  return out;
}

}  // namespace velmor
