// A test fixture with the real program running in the test's own network
// namespace; the test fails if the program does not end cleanly afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {

inline const std::string WaitingStatus = "待機中・・・";

class RunningServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
    server = std::make_unique<VelmorProcess>();
    ASSERT_TRUE(server->WaitForStatus(WaitingStatus)) << server->Stderr();
    // The room's history is opened just after the port: started once both
    // are, so that what a test counts of the server's files holds still.
    ASSERT_TRUE(server->WaitForStderr("the room is kept in")) << server->Stderr();
  }
  void TearDown() override {
    if (!server) return;
    const int status = server->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server ended badly:\n"
                                                               << server->Stderr().substr(0, 4000);
  }

  std::unique_ptr<VelmorProcess> server;
};

}  // namespace velmor::testing
