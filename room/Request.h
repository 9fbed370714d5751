// One client request, as it arrives on its connection:
//
//   request = command payload "/*/~" key
//   command = "CanEnter?" | "NormalTel" | "/Reflesh/"     (9 characters)
//   payload = the name (join), the chat text (chat), nothing (fetch)
//   key     = everything after the first "/*/~", later separators included
//
// There is no framing beyond the arrival: two requests merged into one
// arrival are read as one. An arrival is whole once it can be a request
// (wire/RequestFraming.h says when the reader waits for the rest).
#pragma once

#include <cstdint>
#include <string_view>

namespace velmor {

struct Request {
  enum class Command { Join, Chat, Fetch, Unknown, Malformed };
  Command what = Command::Malformed;
  // Views into the text parsed; empty where the command has none.
  std::u16string_view payload;
  std::u16string_view key;
  // Where the separator begins, counted from 1; 0 when there is none.
  std::int16_t separatorAt = 0;
};

// Only a separator that begins within the first MaxSepPos characters counts;
// one further in cannot be described by SepPos and makes the request
// malformed.
constexpr int MaxSepPos = 32767;

// The request in text. Never fails: what is not a request is Malformed (no
// separator) or Unknown (no known command word before it).
Request ParseRequest(std::u16string_view text);

// A join under name with key, or a chat line with the member's key, read by
// its connection in a form of its own (a browser's message): the request
// ParseRequest makes of the line that asks the same, without the line. A
// name or text no line could carry is Malformed: one holding the separator,
// which would end it early, or one so long that the separator after it
// would begin beyond MaxSepPos. The request views name, text and key.
Request JoinRequest(std::u16string_view name, std::u16string_view key);
Request ChatRequest(std::u16string_view text, std::u16string_view key);

}  // namespace velmor
