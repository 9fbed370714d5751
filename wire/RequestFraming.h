// Where a request on port 5000 ends. A request has no length and no end mark
// of its own: everything received and not yet read is one request. On a
// real network a long request comes in parts (a segment is about 1,450
// bytes), and the first part can be all that has come when the server
// reads. So an arrival the socket has run dry on is taken as a request only
// once it could be one: it is held for the rest while it begins as a
// request does and its separator "/*/~" has not come yet, or while it is a
// chat or fetch request whose key so far is a strict prefix of the key the
// member joined with. Whatever else arrives is a request at once, as before,
// well-formed or not. How long and how much is held is the reader's bound.
//
// The bytes are code page 932, where "/", "*" and "~" after "/" are never
// part of a double-byte character, so the separator is found in the bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmor {

class RequestFraming {
 public:
  // Takes bytes, the arrival so far, which grows between calls until
  // Reset; only what was added since the last call is searched.
  // storedKey: the member's key in code page 932, empty before its join.
  bool AwaitsMore(std::string_view bytes, std::string_view storedKey);
  void Reset() { searchedTo_ = 0, separator_ = std::string_view::npos; }

 private:
  std::size_t searchedTo_ = 0;
  std::size_t separator_ = std::string_view::npos;
};

}  // namespace velmor
