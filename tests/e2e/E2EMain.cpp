// End-to-end tests run in a network namespace of their own, entered before
// anything else starts a thread, and in a mount namespace of their own, so
// that a test may mount a small file system (a full disk, a read-only one)
// that nobody outside sees.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {
void RecordPrivateNetwork(const std::string& error);

namespace {
std::string& MountsError() {
  static std::string error = "not attempted";
  return error;
}

// Once the network namespace is entered: as root, or as root of the user
// namespace EnterPrivateNetwork made, which may own a mount namespace too.
std::string EnterPrivateMounts() {
  if (::unshare(CLONE_NEWNS) != 0)
    return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
  // Nothing mounted here reaches the mounts this namespace was copied from.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("making / private: ") + std::strerror(errno);
  return {};
}
}  // namespace

// Why the tests may not mount file systems of their own; empty when they may.
const std::string& PrivateMountsError() { return MountsError(); }
}  // namespace velmor::testing

int main(int argc, char** argv) {
  velmor::testing::RecordPrivateNetwork(velmor::testing::EnterPrivateNetwork());
  if (velmor::testing::PrivateNetworkError().empty())
    velmor::testing::MountsError() = velmor::testing::EnterPrivateMounts();
  // The browser members' tests use Qt's WebSocket client and its event loop.
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
