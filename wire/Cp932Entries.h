// The layout of the converter's table entries, shared by the code that builds
// the tables and the runs that read them.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Eight table entries can be looked up at once where the processor has AVX2;
// whether it has is asked when the tables are built.
#define VELMOR_EIGHT_LOOKUPS 1
#endif

namespace velmor::cp932 {

// In both tables, the mark of an entry that is two bytes long.
constexpr std::uint32_t TwoBytes = 2u << 16;
// In the decoder's table, the mark of bytes that encoding their character
// gives back: not a replacement, not one of several forms of a character.
constexpr std::uint32_t ExactBytes = 1u << 18;

}  // namespace velmor::cp932
