#include "room/Request.h"

namespace velmor {

namespace {

constexpr std::u16string_view KeySeparator = u"/*/~";
constexpr std::u16string_view JoinWord = u"CanEnter?";
constexpr std::u16string_view ChatWord = u"NormalTel";
constexpr std::u16string_view FetchWord = u"/Reflesh/";
constexpr std::size_t CommandLength = 9;

}  // namespace

Request ParseRequest(std::u16string_view text) {
  Request request;
  const std::u16string_view head = text.substr(0, MaxSepPos - 1 + KeySeparator.size());
  const auto found = head.find(KeySeparator);
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
