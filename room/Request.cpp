#include "room/Request.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

namespace velmor {

namespace {

constexpr std::u16string_view KeySeparator = u"/*/~";
constexpr std::u16string_view JoinWord = u"CanEnter?";
constexpr std::u16string_view ChatWord = u"NormalTel";
constexpr std::u16string_view FetchWord = u"/Reflesh/";
constexpr std::size_t CommandLength = 9;

// Where the first separator begins, or npos. A chat request is scanned to
// its end for it, so runs without a "/" are skipped 32 and eight characters
// at a time where the processor has SSE2 (every x86-64 does), else four: a 16-bit
// lane of word ^ "////" is zero exactly where a "/" is.
std::size_t FindKeySeparator(std::u16string_view text) {
  const char16_t* const begin = text.data();
  const char16_t* const end = begin + text.size();
  const auto isSeparatorAt = [end](const char16_t* p) {
    return end - p >= 4 && p[0] == u'/' && p[1] == u'*' && p[2] == u'/' && p[3] == u'~';
  };
  const char16_t* p = begin;
#if defined(__SSE2__)
  const __m128i slashes = _mm_set1_epi16(u'/');
  // Long lines are skipped 32 characters at a time, with one test for all
  // four loads; a block with a "/" is looked at eight by eight below.
  const auto slashIn = [&slashes](const char16_t* at) {
    return _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), slashes);
  };
  while (end - p >= 32) {
    const __m128i any = _mm_or_si128(_mm_or_si128(slashIn(p), slashIn(p + 8)),
                                     _mm_or_si128(slashIn(p + 16), slashIn(p + 24)));
    if (_mm_movemask_epi8(any) != 0) break;
    p += 32;
  }
  while (end - p >= 8) {
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(lanes, slashes)) != 0) {
      for (int i = 0; i < 8; ++i) {
        if (isSeparatorAt(p + i)) return static_cast<std::size_t>(p + i - begin);
      }
    }
    p += 8;
  }
#endif
  while (end - p >= 4) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t x = word ^ 0x002F002F002F002Fu;
    if (((x - 0x0001000100010001u) & ~x & 0x8000800080008000u) != 0) {
      for (int i = 0; i < 4; ++i) {
        if (isSeparatorAt(p + i)) return static_cast<std::size_t>(p + i - begin);
      }
    }
    p += 4;
  }
  for (; p < end; ++p) {
    if (isSeparatorAt(p)) return static_cast<std::size_t>(p - begin);
  }
  return std::u16string_view::npos;
}

// The request whose line is the command's word, payload, the separator and
// key, or Malformed when that line would not read back as it.
Request Carrying(Request::Command what, std::u16string_view payload, std::u16string_view key) {
  Request request;
  // Neither word ends in a prefix of "/*/~", and the separator does not
  // overlap itself, so a line's first separator falls inside the payload
  // exactly when the payload holds one.
  const std::size_t separatorAt = CommandLength + payload.size();
  if (separatorAt >= static_cast<std::size_t>(MaxSepPos) ||
      FindKeySeparator(payload) != std::u16string_view::npos) {
    return request;
  }
  request.what = what;
  request.payload = payload;
  request.key = key;
  request.separatorAt = static_cast<std::int16_t>(separatorAt + 1);
  return request;
}

}  // namespace

Request JoinRequest(std::u16string_view name, std::u16string_view key) {
  return Carrying(Request::Command::Join, name, key);
}

Request ChatRequest(std::u16string_view text, std::u16string_view key) {
  return Carrying(Request::Command::Chat, text, key);
}

Request ParseRequest(std::u16string_view text) {
  Request request;
  const std::u16string_view head = text.substr(0, MaxSepPos - 1 + KeySeparator.size());
  const auto found = FindKeySeparator(head);
  if (found == std::u16string_view::npos) return request;
  request.separatorAt = static_cast<std::int16_t>(found + 1);
  request.key = text.substr(found + KeySeparator.size());

  const std::u16string_view command = text.substr(0, CommandLength);
  // The known words hold no "/*/~", so for them the separator follows the word.
  if (command == JoinWord) {
    request.what = Request::Command::Join;
  } else if (command == ChatWord) {
    request.what = Request::Command::Chat;
  } else if (command == FetchWord && found == CommandLength) {
    // "/Reflesh/*/~" begins its separator inside the word: not a fetch.
    request.what = Request::Command::Fetch;
    return request;
  } else {
    request.what = Request::Command::Unknown;
    return request;
  }
  request.payload = text.substr(CommandLength, found - CommandLength);
  return request;
}

}  // namespace velmor
