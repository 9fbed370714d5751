// GoogleTest main for tests that need a Qt event loop without widgets. The
// main thread runs the server's own event loop, as `velmor --no-window`
// does, so that every suite built on it exercises that loop.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "loop/EpollEventLoop.h"

int main(int argc, char** argv) {
  QCoreApplication::setEventDispatcher(new velmor::EpollEventLoop);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
