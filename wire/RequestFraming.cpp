#include "wire/RequestFraming.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "room/Request.h"

namespace velmor {

namespace {

constexpr std::string_view Separator = "/*/~";
constexpr std::array<std::string_view, 3> Words = {"CanEnter?", "NormalTel", "/Reflesh/"};
constexpr std::size_t WordLength = 9;

// Whether bytes begin as a request does: with a command word, or with the
// start of one while it is shorter than a word.
bool BeginsAsARequest(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, WordLength);
  return std::any_of(Words.begin(), Words.end(),
                     [head](std::string_view word) { return word.starts_with(head); });
}

}  // namespace

bool RequestFraming::AwaitsMore(std::string_view bytes, std::string_view storedKey) {
  if (bytes.empty() || !BeginsAsARequest(bytes)) return false;
  if (separator_ == std::string_view::npos) {
    // A separator may straddle what came before and what came now.
    const std::size_t from = searchedTo_ >= Separator.size() ? searchedTo_ - 3 : 0;
    separator_ = bytes.find(Separator, from);
    searchedTo_ = bytes.size();
  }
  if (separator_ == std::string_view::npos) {
    // Each character is one or two bytes: past this many bytes no separator
    // can begin within the characters a request allows.
    return bytes.size() < 2 * std::size_t(MaxSepPos) + Separator.size();
  }
  const std::string_view word = bytes.substr(0, WordLength);
  if (word == Words[0]) return false;                              // a join's key may be anything
  if (word == Words[2] && separator_ != WordLength) return false;  // no fetch
  const std::string_view key = bytes.substr(separator_ + Separator.size());
  return key.size() < storedKey.size() && storedKey.starts_with(key);
}

}  // namespace velmor
