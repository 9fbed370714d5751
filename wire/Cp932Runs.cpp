// The converter's hot loops: decoding arrivals and encoding replies, with the
// runs of ASCII and of two-byte characters taken several at a time.
#include "wire/Cp932.h"

#include <bit>
#include <cstring>

#include "wire/Cp932Entries.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(VELMOR_EIGHT_LOOKUPS)
#include <immintrin.h>
#endif

namespace velmor {

using cp932::ExactBytes;
using cp932::TwoBytes;

namespace {

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
    // one would cost more than it saves (measurements in docs/performance.md).
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

}  // namespace velmor
