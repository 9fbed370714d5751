// The status line as the server writes it: every text also goes to standard
// error, one line each, so an operator without a display can follow it. The
// line never waits for standard error (see StderrQueue).
#pragma once

#include <string>

#include "room/RoomPorts.h"

namespace velmor {

class StatusEcho : public StatusLine {
 public:
  void SetStatusText(const std::u16string& text) override;
};

}  // namespace velmor
