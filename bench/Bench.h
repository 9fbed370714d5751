// velmor-bench: a load generator that speaks the Pibbet protocol in code page
// 932, and a floor server that answers every arrival with a fixed reply of
// the same length and does nothing else. Every figure of Velmor is measured
// side by side with the floor's, alternating, and reported as a ratio to it.
//
// One thread, epoll, blocking nowhere but in epoll_wait. The servers run as
// child processes pinned to the first core, the generator on the second.
//
// Floor.cpp is the floor server, Servers.cpp starts and stops the servers,
// Clients.cpp speaks the protocol, Runners.cpp runs fetch, chat, memory and
// start-up, Churn.cpp the churn, SlowHttp.cpp the slow HTTP clients,
// WebWorkload.cpp and WatchWorkload.cpp the browser members (and the crash
// of a server holding them), Report.cpp the figures and the table.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "harness/ProcessHarness.h"

namespace velmor::bench {

using Clock = std::chrono::steady_clock;
using harness::Figures;
using harness::ProcessFigures;

constexpr std::uint16_t Port = 5000;
constexpr int LogLines = 50;
constexpr int MaxMembers = 20;

// Code page 932 words, kept as separate literals so that no hex escape runs
// into the text after it.
inline const std::string UserWord = "\x97\x98\x97\x70\x8E\xD2";          // 利用者
inline const std::string TalkWord = "\x89\xEF\x98\x62";                  // 会話
inline const std::string TestWord = "\x83\x65\x83\x58\x83\x67\x95\xB6";  // テスト文

inline std::string TwoDigits(int n) {
  return std::string(1, char('0' + n / 10 % 10)) + char('0' + n % 10);
}
inline std::string FourDigits(int n) { return TwoDigits(n / 100) + TwoDigits(n); }
inline std::string Name(int i) { return UserWord + TwoDigits(i); }
inline std::string Key(int i) { return "key" + TwoDigits(i); }
inline std::string Join(int i) { return "CanEnter?" + Name(i) + "/*/~" + Key(i); }
inline std::string Fetch(int i) { return "/Reflesh//*/~" + Key(i); }
// Fixed width, so that every reply has one length once the log is full:
// Japanese words and a number, or, given a length, that many characters:
// the number and hiragana, two bytes each, as a Japanese chat line is.
inline std::string Chat(int i, int n, int length = 0) {
  if (length >= 4) {
    std::string text = "NormalTel" + FourDigits(n);
    const char kana[] = {'\x82', static_cast<char>(0x9F + i % 0x50)};
    for (int k = 4; k < length; ++k) text.append(kana, 2);
    return text + "/*/~" + Key(i);
  }
  return "NormalTel" + TalkWord + TestWord + FourDigits(n) + "/*/~" + Key(i);
}

struct Options {
  std::string program;
  std::string workload = "all";
  int connections = 20;
  double seconds = 1;
  int repetitions = 9;
  bool window = false;
  bool json = false;
  bool requireNamespace = false;
  bool ignoreTargets = false;
  long memoryRequests = 1000000;
  int lineLength = 0;      // chat and fetch: the log's lines, 0 for short Japanese ones
  bool noHistory = false;  // the servers under test keep no history (--no-history)
};

struct Sample {
  long replies = 0;
  long errors = 0;
  double seconds = 0;
  double serverCpu = 0;
  std::size_t replyBytes = 0;
  std::vector<double> latencyUs;
  std::string lastReply;
  ProcessFigures before, after;
  std::string note;
};

// ---------------------------------------------------------------- figures

struct Summary {
  double rate = 0, cpuPerReplyUs = 0, p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
  long replies = 0, errors = 0;
  std::size_t replyBytes = 0;
};

struct Row {
  std::string workload, figure;
  double velmor = 0, floor = 0;
  std::string rule;  // ">= 0.9 x floor", "<= 300 ms", ...
  double bound = 0;
  bool ratio = true;
  bool higherIsBetter = true;
  // The median of the ratios of each repetition to the floor's run beside
  // it; 0 where the figure is not paired.
  double pairedRatio = 0;
  double Ratio() const { return pairedRatio > 0 ? pairedRatio : velmor / std::max(floor, 1e-12); }
  bool Held() const {
    const double value = ratio ? Ratio() : velmor;
    return higherIsBetter ? value >= bound : value <= bound;
  }
};

// Floor.cpp
[[noreturn]] void RunFloor(const std::string& reply);

// What the runs found: every run adds its rows to the table, and each
// summary its JSON.
struct Results {
  std::vector<Row> rows;
  std::vector<std::string> jsonParts;
  // The plain web run's figures, which the one over TLS is held to.
  double webPlainP99 = 0;
  double webPlainCpu = 0;
};

// Report.cpp
double Median(std::vector<double> values);
double Percentile(std::vector<double>& sorted, double p);
Summary Summarise(std::vector<Sample>& samples);
// The machine's speed drifts over seconds; each repetition is compared with
// the floor's run right after it, and the median of those ratios taken.
struct PairedRatios {
  double rate = 0, cpuPerReply = 0, p99 = 0;
};
PairedRatios Pair(std::vector<Sample>& velmor, std::vector<Sample>& floor);
void PrintSummary(Results& results, const std::string& workload, const std::string& server,
                  const Summary& s);
void PrintTable(const Results& results);

// Servers.cpp
enum class Kind { Velmor, VelmorWindow, Floor, VelmorWeb };
const char* KindName(Kind kind);
// A server under test, started as a child process pinned to the first core.
struct Server {
  pid_t pid = -1;
  Clock::time_point started;
  std::string runtime;
};
// environment: changes to Velmor's ("NAME=value", "NAME="). Each Velmor
// keeps its history in its own runtime folder unless environment names
// another XDG_STATE_HOME.
Server Start(Kind kind, const Options& options, const std::string& floorReply,
             const std::vector<std::string>& environment = {},
             const std::vector<std::string>& extraArguments = {});
void Stop(Server& server);
// Ends it at once with SIGKILL, as a crash would.
void Crash(Server& server);
// Connects until the chat port listens; how long that took, or nothing.
std::optional<double> WaitForListener(Clock::time_point since, std::chrono::milliseconds limit);
// Says why the run failed and exits with 2; the server under test ends with
// the bench.
[[noreturn]] void Fail(const std::string& why);

// Clients.cpp
// A non-blocking connection to the chat port, or -1.
int Connect();
// A reply is complete when the log after "/*/" holds the lines expected of
// it: the protocol has no length or terminator, but the bench knows how many
// lines it put into the room.
bool Complete(const std::string& reply, int lines);
struct Connection {
  int fd = -1;
  int index = 0;
  std::string in;
  Clock::time_point sent;
  int stage = 0;             // churn: 0 join, 1 fetch
  std::size_t streamed = 0;  // watch: how far into its stream a pipelining client is
};
// Sends all of bytes within 2 s on a non-blocking socket.
bool SendAll(int fd, const std::string& bytes);
// Reads what is there; false when the peer closed or failed.
bool ReadAvailable(Connection& c, std::vector<char>& buffer);
// Sends one request and waits for its whole reply (set-up only).
std::optional<std::string> Ask(Connection& c, const std::string& request, int lines);
std::string MustAsk(Connection& c, const std::string& request, int lines);
struct Room {
  std::vector<Connection> connections;
  int lines = 0;  // lines in the log, as far as the bench knows
  ~Room() {
    for (auto& c : connections) ::close(c.fd);
  }
};
// Joins n members, then fills the log to 50 lines with chats of member 0.
bool SetUp(Room& room, int n, int lineLength = 0);
// Every connection sends a request, waits for the whole reply, and sends the
// next, for the given time.
Sample Steady(Room& room, const std::function<std::string(int, long)>& request,
              std::size_t replySize, const std::string& exactReply, double seconds, pid_t server,
              long maxReplies = 0, const std::function<void(long)>& onReply = {});

// Runners.cpp
// lineLength: the characters of every line in the log (0: short Japanese lines).
void RunFetchOrChat(const Options& options, Results& results, const std::string& workload,
                    Kind kind, int connections, int lineLength = 0);
void RunMemory(const Options& options, Results& results);
void RunStartup(const Options& options, Results& results);
// Churn.cpp
void RunChurn(const Options& options, Results& results);
// SlowHttp.cpp
// Port 5000's tail with slow HTTP connections on the page port, against the
// same run without them.
void RunSlowHttp(const Options& options, Results& results);
// WebWorkload.cpp: browser members over the JSON protocol, pushed each line.
// Over TLS (secure) after the plain run, whose figures it is held to.
void RunWeb(const Options& options, Results& results, bool secure = false);
// A crash (SIGKILL) of a server holding a full log and browser members'
// places, and the time until a client's fetch shows that room again.
void RunCrash(const Options& options, Results& results);
// WatchWorkload.cpp: browser members that only watch while port 5000 is
// flooded; a line's time to them and the lateness of the server's timers.
void RunWatch(const Options& options, Results& results);

}  // namespace velmor::bench
