// End-to-end tests run in a network namespace of their own, entered before
// anything else starts a thread.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {
void RecordPrivateNetwork(const std::string& error);
}

int main(int argc, char** argv) {
  velmor::testing::RecordPrivateNetwork(velmor::testing::EnterPrivateNetwork());
  // The browser members' tests use Qt's WebSocket client and its event loop.
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
