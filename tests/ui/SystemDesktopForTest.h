#pragma once

#include <vector>

#include "ui/Desktop.h"

namespace velmor::testing {

// The system's message box, with opening documents recorded instead of done.
struct RecordingSystemDesktop : SystemDesktop {
  std::vector<QString> Opened;
  void OpenDocument(const QString& path) override { Opened.push_back(path); }
};

}  // namespace velmor::testing
