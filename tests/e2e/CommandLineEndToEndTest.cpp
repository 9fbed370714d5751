// The program as a service runs it: a command line that answers without
// serving, and status lines that never hold the clients up.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "harness/ProcessHarness.h"
#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome RunVelmor(const std::string& arguments, const std::string& runtime) {
  const std::string errPath = runtime + "/err";
  const std::string command = "XDG_RUNTIME_DIR=" + runtime + " QT_QPA_PLATFORM=offscreen " +
                              VELMOR_BINARY + " " + arguments + " 2>" + errPath;
  Outcome run;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.out.append(buffer, n);
  run.status = pipe ? ::pclose(pipe) : -1;
  FILE* err = std::fopen(errPath.c_str(), "r");
  for (std::size_t n; err && (n = std::fread(buffer, 1, sizeof buffer, err)) > 0;)
    run.err.append(buffer, n);
  if (err) std::fclose(err);
  return run;
}

TEST(CommandLine, HelpVersionAndBogusAnswerWithoutServing) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  const std::string runtime = harness::MakeTempDir("velmor-cli");
  const Outcome help = RunVelmor("--help", runtime);
  EXPECT_TRUE(WIFEXITED(help.status) && WEXITSTATUS(help.status) == 0) << help.err;
  EXPECT_NE(help.out.find("--no-window"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("README"), std::string::npos) << help.out;
  // Every option with its argument, and descriptions wrapped by Qt into
  // lines that each start in the descriptions' column.
  EXPECT_NE(help.out.find("  --web [<PORT>]  "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("  --web-origin <NAME>  "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("  --web-cert <FILE>  "), std::string::npos) << help.out;
  const std::size_t options = help.out.find("\nOptions:\n");
  ASSERT_NE(options, std::string::npos) << help.out;
  const std::size_t column =
      help.out.find("Show this help") - help.out.rfind('\n', help.out.find("Show this help")) - 1;
  std::istringstream lines(help.out.substr(options + 10));
  for (std::string line; std::getline(lines, line) && line.starts_with("  ");) {
    const std::size_t text =
        line.find_first_not_of(' ', line.starts_with("  -") ? line.find("  ", 2) : 0);
    EXPECT_EQ(text, column) << "a ragged line: " << line;
  }

  const Outcome version = RunVelmor("--version", runtime);
  EXPECT_TRUE(WIFEXITED(version.status) && WEXITSTATUS(version.status) == 0);
  EXPECT_EQ(version.out, std::string("velmor ") + VELMOR_VERSION + "\n");

  const std::pair<std::string, std::string> refusals[] = {
      {"--bogus", "bogus"},
      {"stray", "stray"},
      {"--no-window --bogus", "bogus"},
      {"--web --web-grace soon", "soon"},
      {"--web-grace -1", "-1"},
      {"--web-cert c.pem", "--web-key"},
      {"--web-key k.pem", "--web-key"},
      {"--web-tls --web-cert c --web-key k", "--web-tls"}};
  for (const auto& [arguments, named] : refusals) {
    const Outcome refused = RunVelmor(arguments, runtime);
    EXPECT_TRUE(WIFEXITED(refused.status) && WEXITSTATUS(refused.status) == 2) << arguments;
    EXPECT_TRUE(refused.err.starts_with("velmor: ")) << refused.err;
    EXPECT_NE(refused.err.substr(0, refused.err.find('\n')).find(named), std::string::npos)
        << "names what it refused: " << refused.err;
    EXPECT_NE(refused.err.find("Usage: velmor"), std::string::npos);
    EXPECT_TRUE(refused.out.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(runtime + "/velmor.lock")) << "no lock was taken";
  EXPECT_LT(harness::ConnectLoopback(5000, false), 0) << "nothing listens on port 5000";
  std::filesystem::remove_all(runtime);
}

TEST(CommandLine, QtOwnOptionsStillWork) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {"QT_QPA_PLATFORM="}, {"-platform", "offscreen"});
  ASSERT_TRUE(server.WaitForStatus(WaitingStatus)) << server.Stderr();
}

class UnreadStderr : public ::testing::TestWithParam<bool> {
 protected:
  std::vector<std::string> Arguments() const {
    return GetParam() ? std::vector<std::string>{} : std::vector<std::string>{"--no-window"};
  }
};

std::string Ending(int status) {
  if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

// A member joins and is answered, the server then idles, and it ends
// cleanly when asked.
void ExpectServesIdlesAndEnds(VelmorProcess& server, const std::string& when) {
  if (Client member; !member.Connected()) {
    ADD_FAILURE() << "nothing serves port 5000 " << when;
  } else {
    member.Send(Wire("CanEnter?name/*/~key"));
    const std::string expected = Wire("name\r\n/*/【お知らせ！】nameさんが参加しました\r\n");
    EXPECT_EQ(member.Receive(expected.size()), expected) << when;
    // A descriptor that only reports an error must not keep the loop turning.
    const double before = server.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(server.CpuSeconds() - before, 0.1) << "CPU seconds in a second of idleness " << when;
  }
  const int status = server.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Ending(status) << " " << when;
}

TEST_P(UnreadStderr, NeverHoldsTheClientsUpAndCountsWhatItDropped) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {}, Arguments(), VelmorProcess::StandardError::SlowPipe);
  // Each cycle writes two status lines (accepted, malformed), about 120 bytes,
  // far more in all than the pipe and the queue hold together.
  for (int i = 0; i < 3000; ++i) {
    Client client;
    ASSERT_TRUE(client.Connected()) << "cycle " << i;
    client.Send("x");
    ASSERT_TRUE(client.ClosedByServer()) << "cycle " << i;
  }
  Client member;
  member.Send(Wire("CanEnter?n/*/~k"));
  const std::string expected = Wire("n\r\n/*/【お知らせ！】nさんが参加しました\r\n");
  EXPECT_EQ(member.Receive(expected.size()), expected);

  const std::string read = server.ReadStderrPipe("status lines were dropped");
  EXPECT_NE(read.find("status lines were dropped while standard error could not take them"),
            std::string::npos)
      << read.substr(read.size() > 2000 ? read.size() - 2000 : 0);
  EXPECT_NE(read.find("velmor: status: 待機中・・・"), std::string::npos)
      << "the first lines went out";
}

// As `velmor 2>&1 | head -n 3` runs: three lines are read, then the reader
// is gone, and the lines that follow have no one to go to.
TEST_P(UnreadStderr, AReaderThatWentAwayNeitherEndsNorBusiesTheServer) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {}, Arguments(), VelmorProcess::StandardError::SlowPipe);
  {
    Client client;  // its two status lines follow the first
    ASSERT_TRUE(client.Connected());
    client.Send("x");
    ASSERT_TRUE(client.ClosedByServer());
  }
  const std::string read = server.ReadStderrPipe("無効接続により一部閉じました\n");
  ASSERT_GE(std::count(read.begin(), read.end(), '\n'), 3) << read;
  server.CloseStderrPipe();
  ExpectServesIdlesAndEnds(server, "after the reader went away");
}

TEST_P(UnreadStderr, ServesWhenTheReaderWasGoneBeforeItStarted) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {}, Arguments(), VelmorProcess::StandardError::PipeWithoutReader);
  ExpectServesIdlesAndEnds(server, "with no reader from the start");
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWindow, UnreadStderr, ::testing::Bool());

}  // namespace
}  // namespace velmor::testing
