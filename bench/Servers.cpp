// The servers under test as child processes: Velmor in its three ways of
// running, and the floor.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

// Connects until the server listens; returns how long that took, or nothing.
std::optional<double> WaitForListener(Clock::time_point since, std::chrono::milliseconds limit) {
  while (Clock::now() - since < limit) {
    const int fd = Connect();
    if (fd >= 0) {
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
      ::close(fd);
      return ms;
    }
    std::this_thread::sleep_for(500us);
  }
  return std::nullopt;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Floor:
      return "floor";
    case Kind::Velmor:
      return "velmor";
    case Kind::VelmorWeb:
      return "velmor --web";
    case Kind::VelmorWindow:
      break;
  }
  return "velmor+window";
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "velmor-bench: %s\n", why.c_str());
  std::exit(2);
}

Server Start(Kind kind, const Options& options, const std::string& floorReply,
             const std::vector<std::string>& environment,
             const std::vector<std::string>& extraArguments) {
  Server server;
  if (kind != Kind::Floor) {
    char pattern[] = "/tmp/velmor-bench-XXXXXX";
    server.runtime = ::mkdtemp(pattern);
  }
  // The server under test never outlives the bench, however it ends.
  harness::ChildSetup setup;
  setup.core = 0;
  setup.endsWithParent = true;
  server.started = Clock::now();
  if (kind == Kind::Floor) {
    server.pid = harness::StartChild(setup, [&] { RunFloor(floorReply); });
    return server;
  }
  std::vector<std::string> arguments;
  if (kind != Kind::VelmorWindow) arguments.push_back("--no-window");
  if (kind == Kind::VelmorWeb) arguments.push_back("--web");
  if (options.noHistory) arguments.push_back("--no-history");
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  // The room's history in the run's own folder, gone with it, unless the
  // caller keeps one across a restart: never the user's own room.
  std::vector<std::string> changes{"XDG_RUNTIME_DIR=" + server.runtime,
                                   "XDG_STATE_HOME=" + server.runtime + "/state",
                                   "QT_QPA_PLATFORM=offscreen"};
  changes.insert(changes.end(), environment.begin(), environment.end());
  server.pid = harness::StartProgram(options.program, arguments, changes, setup);
  return server;
}

void Stop(Server& server) {
  if (server.pid <= 0) return;
  harness::StopProcess(server.pid, 5000);
  server.pid = -1;
  if (!server.runtime.empty()) std::filesystem::remove_all(server.runtime);
}

void Crash(Server& server) {
  if (server.pid <= 0) return;
  ::kill(server.pid, SIGKILL);
  ::waitpid(server.pid, nullptr, 0);
  server.pid = -1;
  if (!server.runtime.empty()) std::filesystem::remove_all(server.runtime);
}

}  // namespace velmor::bench
