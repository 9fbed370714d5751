#pragma once

#include <vector>

#include "ui/Desktop.h"

namespace velmor::testing {

// The system's desktop, with what it would hand to the desktop's opener
// recorded instead.
struct RecordingSystemDesktop : SystemDesktop {
  std::vector<QString> opened;
  void Launch(const QString& path) override { opened.push_back(path); }
};

}  // namespace velmor::testing
