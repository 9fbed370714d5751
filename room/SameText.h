// Equality of two 16-bit texts at the speed of memcmp. The standard library
// compares char16_t strings one character at a time, which shows up when the
// whole room is compared with what was last sent or shown on every request.
#pragma once

#include <cstring>
#include <string_view>

namespace velmor {

inline bool SameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

}  // namespace velmor
