// Any bytes decode, and what they decode to survives encoding and decoding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <string>
#include "tests/fuzz/Cp932Rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fault = velmor::testing::CheckCp932RoundTrip(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "code page 932 rule broken: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
