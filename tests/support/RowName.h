// A table row's description as a GoogleTest name: letters and digits kept,
// everything else an underscore.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace velmor::testing {

inline std::string RowName(std::string_view description) {
  std::string name(description);
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

}  // namespace velmor::testing
