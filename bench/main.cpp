#include <signal.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

namespace {

void Usage() {
  std::fputs(
      "usage: velmor-bench --program PATH [--workload "
      "all|fetch|chat|churn|memory|startup|web|crash|watch|slow-http]\n"
      "                    [--connections N] [--line-length N] [--seconds S] [--repetitions R]\n"
      "                    [--window] [--no-history]\n"
      "                    [--memory-requests N] [--json] [--require-namespace]\n"
      "                    [--ignore-targets]\n"
      "Runs PATH (the velmor program) and a floor server in turn on port 5000, in a\n"
      "network namespace of its own where it may make one, and compares them.\n"
      "Exits with status 1 when a target is missed (unless --ignore-targets), 2 on a\n"
      "failed run, 3 when --require-namespace cannot be met. Each run of Velmor keeps\n"
      "its room's history in a folder of its own; --no-history runs it without.\n",
      stderr);
}

// The congestion control the runs use. A namespace of the bench's own gets
// cubic, the kernel's and Debian's default, whatever the host has chosen: with
// BBR and no fq queue discipline the kernel paces each connection with a timer
// per segment, at a rate it learns from that connection's own history, and on
// such a host that weighed on Velmor's connections and not on the floor's;
// under cubic the two differ by what the servers themselves do (measurements
// in docs/performance.md). Where the host does not allow cubic to other
// namespaces (tcp_allowed_congestion_control), reno, which paces no more
// than cubic does, and which every kernel allows.
std::string CongestionControl(bool ownNamespace) {
  const char* path = "/proc/sys/net/ipv4/tcp_congestion_control";
  const auto current = [path] {
    std::string name;
    std::ifstream(path) >> name;
    return name;
  };
  for (const char* wanted : {"cubic", "reno"}) {
    if (!ownNamespace) break;
    std::ofstream(path) << wanted << "\n";
    if (current() == wanted) break;
  }
  const std::string name = current();
  return name.empty() ? "unknown" : name;
}

}  // namespace

int Main(int argc, char* argv[]) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--program")
      options.program = value();
    else if (arg == "--workload")
      options.workload = value();
    else if (arg == "--connections")
      options.connections = std::clamp(std::stoi(value()), 1, MaxMembers);
    else if (arg == "--seconds")
      options.seconds = std::clamp(std::stod(value()), 0.1, 600.0);
    else if (arg == "--repetitions")
      options.repetitions = std::clamp(std::stoi(value()), 1, 100);
    else if (arg == "--memory-requests")
      options.memoryRequests = std::clamp(std::stol(value()), 10L, 100000000L);
    else if (arg == "--line-length")
      options.lineLength = std::clamp(std::stoi(value()), 0, 30000);
    else if (arg == "--window")
      options.window = true;
    else if (arg == "--no-history")
      options.noHistory = true;
    else if (arg == "--json")
      options.json = true;
    else if (arg == "--require-namespace")
      options.requireNamespace = true;
    else if (arg == "--ignore-targets")
      options.ignoreTargets = true;
    else {
      Usage();
      return arg == "--help" ? 0 : 2;
    }
  }
  if (options.program.empty()) {
    Usage();
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const std::string network = velmor::harness::EnterPrivateNetwork();
  if (!network.empty() && options.requireNamespace) {
    std::fprintf(stderr, "velmor-bench: no network namespace of its own (%s)\n", network.c_str());
    return 3;
  }
  const std::string congestion = CongestionControl(network.empty());
  velmor::harness::PinToCore(1);
  utsname machine{};
  ::uname(&machine);
  std::fprintf(
      stderr,
      "velmor-bench: %s %s, %u cores; %s, TCP %s; %d repetitions of %.1f s each, "
      "alternating\n",
      machine.sysname, machine.release, std::thread::hardware_concurrency(),
      network.empty() ? "own network namespace" : ("host loopback (" + network + ")").c_str(),
      congestion.c_str(), options.repetitions, options.seconds);

  Results results;
  const std::string& w = options.workload;
  const Kind kind = options.window ? Kind::VelmorWindow : Kind::Velmor;
  if (w == "fetch" || w == "chat")
    RunFetchOrChat(options, results, w, kind, options.connections, options.lineLength);
  if (w == "churn") RunChurn(options, results);
  if (w == "memory") RunMemory(options, results);
  if (w == "startup") RunStartup(options, results);
  if (w == "slow-http") RunSlowHttp(options, results);
  if (w == "web") {
    RunWeb(options, results);
    RunWeb(options, results, true);
  }
  if (w == "crash") RunCrash(options, results);
  if (w == "watch") RunWatch(options, results);
  if (w == "all") {
    RunFetchOrChat(options, results, "fetch", Kind::Velmor, MaxMembers);
    RunFetchOrChat(options, results, "fetch", Kind::VelmorWindow, MaxMembers);
    RunFetchOrChat(options, results, "fetch", Kind::Velmor, 1);
    RunFetchOrChat(options, results, "chat", Kind::Velmor, MaxMembers);
    RunFetchOrChat(options, results, "chat", Kind::VelmorWindow, MaxMembers);
    // A chat line must cost its own size, however much the room holds.
    for (const int length : {30, 200, 2000}) {
      RunFetchOrChat(options, results, "chat", Kind::Velmor, MaxMembers, length);
      RunFetchOrChat(options, results, "fetch", Kind::Velmor, MaxMembers, length);
    }
    RunChurn(options, results);
    RunMemory(options, results);
    RunStartup(options, results);
    RunWeb(options, results);
    RunWeb(options, results, true);
    RunCrash(options, results);
    RunWatch(options, results);
  }
  if (results.rows.empty() && results.jsonParts.empty()) {
    Usage();
    return 2;
  }
  bool held = true;
  for (const auto& row : results.rows) held = held && row.Held();
  if (options.json) {
    std::string line = "{\"results\":[";
    for (std::size_t i = 0; i < results.jsonParts.size(); ++i)
      line += (i ? "," : "") + results.jsonParts[i];
    std::printf("%s]}\n", line.c_str());
  } else {
    PrintTable(results);
  }
  return held || options.ignoreTargets ? 0 : 1;
}

}  // namespace velmor::bench

int main(int argc, char* argv[]) { return velmor::bench::Main(argc, argv); }
