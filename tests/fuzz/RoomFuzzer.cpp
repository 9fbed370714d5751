// Arbitrary sequences of connects, arrivals, closes, errors and operator
// lines against the room; every rule of the tables is checked after each.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tests/fuzz/RoomDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor::testing::RoomDriver driver;
  const std::string fault =
      driver.Play(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "room rule broken: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
