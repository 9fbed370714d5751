// The status line as the server writes it: every text also goes to standard
// error, one line each, so an operator without a display can follow it. The
// line never waits for standard error (see StderrQueue).
#pragma once

#include <functional>
#include <string>

#include "room/RoomPorts.h"

namespace velmor {

class StatusEcho : public StatusLine {
 public:
  using Observer = std::function<void(const std::u16string&)>;

  void SetStatusText(const std::u16string& text) override;
  // Where else the text goes, such as the window's status bar.
  void SetObserver(Observer observer) { Watcher = std::move(observer); }
  const std::u16string& Text() const { return Current; }

 private:
  std::u16string Current;
  Observer Watcher;
};

}  // namespace velmor
