#include "wire/Cp932.h"

#include <iconv.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMOR_EIGHT_LOOKUPS 1
#include <immintrin.h>
#endif

#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

namespace velmor {

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

// In both tables, the mark of an entry that is two bytes long.
constexpr std::uint32_t TwoBytes = 2u << 16;
// In the decoder's table, the mark of bytes that encoding their character
// gives back: not a replacement, not one of several forms of a character.
constexpr std::uint32_t ExactBytes = 1u << 18;

// Writes the low halves of four table entries one after the other: four
// characters, or the eight bytes of four two-byte characters in wire order.
// One store where the machine is little-endian, as the halves lie so.
template <typename Unit>
void StoreFourHalves(Unit* to, std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t halves = (a & 0xFFFFu) | std::uint64_t{b & 0xFFFFu} << 16 |
                                 std::uint64_t{c & 0xFFFFu} << 32 |
                                 std::uint64_t{d & 0xFFFFu} << 48;
    std::memcpy(to, &halves, 8);
  } else {
    std::uint32_t entries[4] = {a, b, c, d};
    for (int i = 0; i < 4; ++i) {
      if constexpr (sizeof(Unit) == 2) {
        to[i] = static_cast<Unit>(entries[i]);
      } else {
        to[2 * i] = static_cast<Unit>(entries[i] & 0xFF);
        to[2 * i + 1] = static_cast<Unit>(entries[i] >> 8 & 0xFF);
      }
    }
  }
}

#if defined(VELMOR_EIGHT_LOOKUPS)
// With AVX2, eight table entries are fetched by one gather. Both tables keep
// a character's two-byte mark in bit 17 and its character or bytes in the
// low half, so a run of two-byte characters is read and written eight at a
// time, stopping before the first group that is not all two-byte ones.

// The low halves of the eight entries, in order, as sixteen bytes.
__attribute__((target("avx2"))) __m128i LowHalves(__m256i entries) {
  const __m256i pick = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0,
                                        1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_shuffle_epi8(entries, pick), 0x08));
}

__attribute__((target("avx2"))) bool AllTwoBytes(__m256i entries) {
  const __m256i two = _mm256_set1_epi32(static_cast<int>(TwoBytes));
  return _mm256_testc_si256(_mm256_and_si256(entries, two), two) != 0;
}

// Decodes pairs from p while eight in a row are valid; returns how many,
// and clears exact unless all of them were exact.
__attribute__((target("avx2"))) std::size_t DecodeEights(const std::uint32_t* steps,
                                                         const std::uint8_t* p,
                                                         const std::uint8_t* end, char16_t* out,
                                                         std::uint32_t& exact) {
  // The table's index is a lead and trail byte read big-endian.
  const __m128i swap = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const __m256i exactMark = _mm256_set1_epi32(static_cast<int>(ExactBytes));
  __m256i allExact = exactMark;
  std::size_t done = 0;
  for (; end - p >= 16; p += 16, done += 8) {
    const __m128i pairs =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
    const __m256i entries = _mm256_i32gather_epi32(reinterpret_cast<const int*>(steps),
                                                   _mm256_cvtepu16_epi32(pairs), 4);
    if (!AllTwoBytes(entries)) break;
    allExact = _mm256_and_si256(allExact, entries);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), LowHalves(entries));
  }
  if (!_mm256_testc_si256(allExact, exactMark)) exact = 0;
  return done;
}

// Encodes characters from c while eight in a row have two-byte forms;
// returns how many.
__attribute__((target("avx2"))) std::size_t EncodeEights(const std::uint32_t* packed,
                                                         const char16_t* c, const char16_t* end,
                                                         char* out) {
  std::size_t done = 0;
  for (; end - c >= 8; c += 8, done += 8) {
    const __m256i entries = _mm256_i32gather_epi32(
        reinterpret_cast<const int*>(packed),
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))), 4);
    if (!AllTwoBytes(entries)) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * done), LowHalves(entries));
  }
  return done;
}
#endif

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

bool Cp932::DecodeInto(std::string_view bytes, std::u16string& text) const {
  std::uint32_t exact = ExactBytes;  // cleared by the first step that is not
  text.resize(bytes.size());
  char16_t* out = text.data();
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto* end = p + bytes.size();
  while (end - p >= 2) {
    // Runs of ASCII, common in requests, are taken sixteen bytes at a time
    // where the processor has SSE2 (every x86-64 does), then eight; text
    // that is not ASCII is not held up by looking for them.
    if (*p < 0x80) {
#if defined(__SSE2__)
      while (end - p >= 16) {
        const __m128i run = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(run) != 0) break;
        const __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(run, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(run, zero));
        out += 16;
        p += 16;
      }
#endif
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080u) break;
        for (int i = 0; i < 8; ++i) out[i] = p[i];
        out += 8;
        p += 8;
      }
      // The rest of the run, such as a request's command word and key.
      while (p < end && *p < 0x80) *out++ = *p++;
      if (end - p < 2) break;
    }
    // Runs of two-byte characters, the bulk of Japanese text: one lookup of
    // a byte and the next says what is read there, and the next pair's
    // place does not wait for it, so the lookups overlap; four at a time
    // while all four are pairs.
    const auto takeFour = [&] {
      if (end - p < 8) return false;
      const std::uint32_t a = pairSteps_[p[0] << 8 | p[1]];
      const std::uint32_t b = pairSteps_[p[2] << 8 | p[3]];
      const std::uint32_t c = pairSteps_[p[4] << 8 | p[5]];
      const std::uint32_t d = pairSteps_[p[6] << 8 | p[7]];
      if ((a & b & c & d & TwoBytes) == 0) return false;
      exact &= a & b & c & d;
      StoreFourHalves(out, a, b, c, d);
      out += 4;
      p += 8;
      return true;
    };
    // A run that has held eight goes on eight at a time where the processor
    // gathers. Most runs of mixed text are shorter, and a gather spent on
    // one would cost more than it saves.
    if (takeFour() && takeFour()) {
#if defined(VELMOR_EIGHT_LOOKUPS)
      if (eightLookups_) {
        const std::size_t done = DecodeEights(pairSteps_.data(), p, end, out, exact);
        p += 2 * done;
        out += done;
      }
#endif
      while (takeFour()) {
      }
    }
    if (end - p < 2) break;
    std::uint32_t step = pairSteps_[p[0] << 8 | p[1]];
    while (step & TwoBytes) {
      exact &= step;
      *out++ = static_cast<char16_t>(step);
      p += 2;
      if (end - p < 2) break;
      step = pairSteps_[p[0] << 8 | p[1]];
    }
    if (end - p < 2) break;
    // The run has ended at a character of one byte.
    exact &= step;
    *out++ = static_cast<char16_t>(step);
    ++p;
  }
  // A last byte alone: a lead byte without its trail reads as U+FFFD.
  if (p < end) {
    exact &= pairSteps_[*p << 8];
    *out++ = static_cast<char16_t>(pairSteps_[*p << 8]);
  }
  text.resize(static_cast<std::size_t>(out - text.data()));
  return exact != 0;
}

// Replies are encoded whole for every change of the room, so this is written
// for speed: room for the longest result first, then one two-byte store per
// character with no branch on its length (text mixes one- and two-byte
// characters, and a mispredicted branch per character would cost more than
// the store).
void Cp932::EncodeInto(std::u16string_view text, std::string& out) const {
  out.resize(text.size() * 2 + 1);
  out.resize(EncodeTo(text, out.data()));
}

std::size_t Cp932::EncodeTo(std::u16string_view text, char* const to) const {
  char* p = to;
  const char16_t* c = text.data();
  const char16_t* end = c + text.size();
  for (; c < end; ++c) {
    // Runs of ASCII, one byte each: sixteen characters at a time where the
    // processor has SSE2, then four, then one; only looked for at an ASCII
    // character.
    if (*c < 0x80) {
#if defined(__SSE2__)
      while (end - c >= 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 8));
        const __m128i beyondAscii =
            _mm_and_si128(_mm_or_si128(low, high), _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(beyondAscii, _mm_setzero_si128())) != 0xFFFF) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(low, high));
        p += 16;
        c += 16;
      }
#endif
      while (end - c >= 4) {
        std::uint64_t word;
        std::memcpy(&word, c, 8);
        if (word & 0xFF80FF80FF80FF80u) break;
        for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(c[i]);
        p += 4;
        c += 4;
      }
      while (c < end && *c < 0x80) *p++ = static_cast<char>(*c++);
      if (c == end) break;
    }
    // Runs of two-byte characters: the next character's place in out does
    // not wait for this one's lookup; four at a time while all four are,
    // and eight at a time where the processor gathers once a run has held
    // eight, as in decoding.
    const auto takeFour = [&] {
      if (end - c < 4) return false;
      const std::uint32_t a = packed_[c[0]], b = packed_[c[1]];
      const std::uint32_t d = packed_[c[2]], e = packed_[c[3]];
      if ((a & b & d & e & TwoBytes) == 0) return false;
      StoreFourHalves(p, a, b, d, e);
      p += 8;
      c += 4;
      return true;
    };
    if (takeFour() && takeFour()) {
#if defined(VELMOR_EIGHT_LOOKUPS)
      if (eightLookups_) {
        const std::size_t done = EncodeEights(packed_.data(), c, end, p);
        c += done;
        p += 2 * done;
      }
#endif
      while (takeFour()) {
      }
    }
    if (c == end) break;
    std::uint32_t packed = packed_[*c];
    while (packed >> 16 == 2) {
      p[0] = static_cast<char>(packed & 0xFF);
      p[1] = static_cast<char>(packed >> 8 & 0xFF);
      p += 2;
      if (++c == end) break;
      packed = packed_[*c];
    }
    if (c == end) break;
    if (packed == 0) [[unlikely]] {
      // No byte form. A surrogate pair is one character and gets one "?".
      if (c + 1 < end && IsSurrogatePair(c[0], c[1])) ++c;
      *p++ = '?';
      continue;
    }
    p[0] = static_cast<char>(packed & 0xFF);
    p[1] = static_cast<char>(packed >> 8 & 0xFF);
    p += packed >> 16;
  }
  return static_cast<std::size_t>(p - to);
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
