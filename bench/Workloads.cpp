#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

namespace {

int Connect() { return harness::ConnectLoopback(Port, true); }

}  // namespace

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

namespace {

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

}  // namespace

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "velmor-bench: %s\n", why.c_str());
  std::exit(2);
}

Server Start(Kind kind, const std::string& program, const std::string& floorReply) {
  Server server;
  if (kind != Kind::Floor) {
    char pattern[] = "/tmp/velmor-bench-XXXXXX";
    server.runtime = ::mkdtemp(pattern);
  }
  server.started = Clock::now();
  server.pid = ::fork();
  if (server.pid == 0) {
    // The server under test never outlives the bench, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    PinTo(0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (kind == Kind::Floor) RunFloor(floorReply);
    ::setenv("XDG_RUNTIME_DIR", server.runtime.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (kind == Kind::Velmor) {
      ::execl(program.c_str(), program.c_str(), "--no-window", static_cast<char*>(nullptr));
    } else if (kind == Kind::VelmorWeb) {
      ::execl(program.c_str(), program.c_str(), "--no-window", "--web",
              static_cast<char*>(nullptr));
    } else {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  return server;
}

void Stop(Server& server) {
  if (server.pid <= 0) return;
  harness::StopProcess(server.pid, 5000);
  server.pid = -1;
  if (!server.runtime.empty()) std::filesystem::remove_all(server.runtime);
}

namespace {

// ---------------------------------------------------------------- clients

// A reply is complete when the log after "/*/" holds the lines expected of
// it: the protocol has no length or terminator, but the bench knows how many
// lines it put into the room.
bool Complete(const std::string& reply, int lines) {
  const auto separator = reply.find("/*/");
  if (separator == std::string::npos) return false;
  int found = 0;
  for (auto at = reply.find("\r\n", separator); at != std::string::npos;
       at = reply.find("\r\n", at + 2)) {
    ++found;
  }
  return found >= lines;
}

struct Connection {
  int fd = -1;
  int index = 0;
  std::string in;
  Clock::time_point sent;
  int stage = 0;  // churn: 0 join, 1 fetch
};

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  const auto deadline = Clock::now() + 2s;
  while (done < bytes.size() && Clock::now() < deadline) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += std::size_t(sent);
    } else if (sent < 0 && errno != EAGAIN) {
      return false;
    }
  }
  return done == bytes.size();
}

// Reads what is there; false when the peer closed or failed.
bool ReadAvailable(Connection& c, std::vector<char>& buffer) {
  for (;;) {
    const ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
    if (got > 0) {
      c.in.append(buffer.data(), std::size_t(got));
      continue;
    }
    return got < 0 && errno == EAGAIN;
  }
}

// Sends one request and waits for its whole reply (set-up only).
std::optional<std::string> Ask(Connection& c, const std::string& request, int lines) {
  c.in.clear();
  if (!SendAll(c.fd, request)) return std::nullopt;
  std::vector<char> buffer(1 << 16);
  const auto deadline = Clock::now() + 5s;
  while (!Complete(c.in, lines)) {
    if (Clock::now() > deadline || !ReadAvailable(c, buffer)) {
      std::fprintf(stderr,
                   "velmor-bench: no whole reply (%zu bytes so far) to a request of %zu bytes\n",
                   c.in.size(), request.size());
      return std::nullopt;
    }
    if (!Complete(c.in, lines)) std::this_thread::sleep_for(50us);
  }
  return c.in;
}

std::string MustAsk(Connection& c, const std::string& request, int lines) {
  auto reply = Ask(c, request, lines);
  if (!reply) Fail("a request of the set-up got no whole reply");
  return *reply;
}

struct Room {
  std::vector<Connection> connections;
  int lines = 0;  // lines in the log, as far as the bench knows
  ~Room() {
    for (auto& c : connections) ::close(c.fd);
  }
};

// Joins n members, then fills the log to 50 lines with chats of member 0.
bool SetUp(Room& room, int n, int lineLength = 0) {
  for (int i = 0; i < n; ++i) {
    Connection c;
    c.fd = Connect();
    c.index = i;
    if (c.fd < 0) return false;
    room.connections.push_back(std::move(c));
    room.lines = std::min(room.lines + 1, LogLines);
    if (!Ask(room.connections.back(), Join(i), room.lines)) return false;
  }
  for (int k = 0; k < LogLines; ++k) {
    room.lines = std::min(room.lines + 1, LogLines);
    if (!Ask(room.connections[0], Chat(0, k, lineLength), room.lines)) return false;
  }
  return true;
}

// Every connection sends a request, waits for the whole reply, and sends the
// next, for the given time.
Sample Steady(Room& room, const std::function<std::string(int, long)>& request,
              std::size_t replySize, const std::string& exactReply, double seconds, pid_t server,
              long maxReplies = 0, const std::function<void(long)>& onReply = {}) {
  Sample sample;
  const int poll = ::epoll_create1(EPOLL_CLOEXEC);
  for (auto& c : room.connections) {
    epoll_event event{EPOLLIN, {.ptr = &c}};
    ::epoll_ctl(poll, EPOLL_CTL_ADD, c.fd, &event);
  }
  std::vector<char> buffer(1 << 16);
  sample.latencyUs.reserve(1 << 20);
  long sentCount = 0;
  const auto start = Clock::now();
  sample.before = Figures(server);
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  int outstanding = 0;
  for (auto& c : room.connections) {
    c.in.clear();
    c.sent = Clock::now();
    if (SendAll(c.fd, request(c.index, sentCount++))) ++outstanding;
  }
  epoll_event ready[64];
  while (outstanding > 0) {
    const auto now = Clock::now();
    if (now > deadline + 5s) {
      sample.errors += outstanding;
      sample.note = "replies stopped coming";
      break;
    }
    const int n = ::epoll_wait(poll, ready, 64, 100);
    for (int i = 0; i < n; ++i) {
      auto& c = *static_cast<Connection*>(ready[i].data.ptr);
      if (!ReadAvailable(c, buffer)) {
        ++sample.errors;
        --outstanding;
        ::epoll_ctl(poll, EPOLL_CTL_DEL, c.fd, nullptr);
        continue;
      }
      if (c.in.size() < replySize) continue;
      const auto done = Clock::now();
      --outstanding;
      if (c.in.size() != replySize || (!exactReply.empty() && c.in != exactReply)) ++sample.errors;
      if (done <= deadline) {
        ++sample.replies;
        sample.latencyUs.push_back(
            std::chrono::duration<double, std::micro>(done - c.sent).count());
        if (onReply) onReply(sample.replies);
      }
      sample.lastReply.swap(c.in);
      c.in.clear();
      if (done < deadline && (maxReplies == 0 || sentCount < maxReplies)) {
        c.sent = Clock::now();
        if (SendAll(c.fd, request(c.index, sentCount++)))
          ++outstanding;
        else
          ++sample.errors;
      }
    }
  }
  const auto end = std::min(Clock::now(), deadline);
  sample.after = Figures(server);
  sample.seconds = std::chrono::duration<double>(end - start).count();
  sample.serverCpu = sample.after.cpuSeconds - sample.before.cpuSeconds;
  sample.replyBytes = replySize;
  ::close(poll);
  return sample;
}

// Connect, join, fetch, close, by several clients at once, for the given time.
Sample Churn(int clients, double seconds, pid_t server) {
  Sample sample;
  std::vector<char> buffer(1 << 16);
  const auto start = Clock::now();
  sample.before = Figures(server);
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const int poll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<Connection> churners(clients);
  long cycle = 0;
  const auto begin = [&](Connection& c) {
    c.fd = Connect();
    c.in.clear();
    c.stage = 0;
    c.index = int(cycle++ % 100);
    c.sent = Clock::now();
    if (c.fd < 0 || !SendAll(c.fd, "CanEnter?c" + TwoDigits(c.index) + "/*/~k")) return false;
    epoll_event event{EPOLLIN, {.ptr = &c}};
    ::epoll_ctl(poll, EPOLL_CTL_ADD, c.fd, &event);
    return true;
  };
  int active = 0;
  for (auto& c : churners) active += begin(c) ? 1 : (++sample.errors, 0);
  epoll_event ready[64];
  while (active > 0 && Clock::now() < deadline + 5s) {
    const int n = ::epoll_wait(poll, ready, 64, 100);
    for (int i = 0; i < n; ++i) {
      auto& c = *static_cast<Connection*>(ready[i].data.ptr);
      const bool open = ReadAvailable(c, buffer);
      if (open && !Complete(c.in, LogLines)) continue;
      if (open && c.stage == 0) {
        c.stage = 1;
        c.in.clear();
        if (SendAll(c.fd, "/Reflesh//*/~k")) continue;
      }
      if (!open || c.stage != 1) ++sample.errors;
      const auto done = Clock::now();
      if (open && done <= deadline) {
        ++sample.replies;
        sample.latencyUs.push_back(
            std::chrono::duration<double, std::micro>(done - c.sent).count());
        sample.replyBytes = c.in.size();
      }
      ::epoll_ctl(poll, EPOLL_CTL_DEL, c.fd, nullptr);
      ::close(c.fd);
      --active;
      if (done < deadline) {
        if (begin(c))
          ++active;
        else
          ++sample.errors;
      }
    }
  }
  for (auto& c : churners) {
    if (c.fd >= 0) ::close(c.fd);
  }
  ::close(poll);
  sample.seconds = std::chrono::duration<double>(std::min(Clock::now(), deadline) - start).count();
  sample.after = Figures(server);
  sample.serverCpu = sample.after.cpuSeconds - sample.before.cpuSeconds;
  return sample;
}

}  // namespace

void PinTo(int core) {
  if (std::thread::hardware_concurrency() < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// fetch or chat: alternating repetitions of Velmor and the floor.
struct Comparison {
  Summary velmor, floor;
  PairedRatios paired;
};

Comparison Compare(const Options& options, const std::string& workload, Kind kind, int connections,
                   int lineLength) {
  std::vector<Sample> velmorSamples, floorSamples;
  std::string floorReply;
  std::size_t replySize = 0;
  const bool chat = workload == "chat";
  const auto request = [chat, lineLength](int i, long n) {
    return chat ? Chat(i, int(n % 10000), lineLength) : Fetch(i);
  };
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (Kind server : {kind, Kind::Floor}) {
      Server process = Start(server, options.program, floorReply);
      if (!WaitForListener(process.started, 10s))
        Fail(std::string(KindName(server)) + " did not listen on port 5000");
      Sample sample;
      {
        Room room;
        if (!SetUp(room, connections, lineLength))
          Fail(std::string("the set-up against ") + KindName(server) + " failed");
        if (server != Kind::Floor && floorReply.empty()) {
          // The reply every later request gets, and so the floor's reply.
          floorReply =
              MustAsk(room.connections[0], chat ? Chat(0, 9999, lineLength) : Fetch(0), LogLines);
          replySize = floorReply.size();
        }
        const std::string exact = chat ? std::string() : floorReply;
        sample = Steady(room, request, replySize, exact, options.seconds, process.pid);
      }
      Stop(process);
      (server == Kind::Floor ? floorSamples : velmorSamples).push_back(std::move(sample));
    }
  }
  const PairedRatios paired = Pair(velmorSamples, floorSamples);
  return {Summarise(velmorSamples), Summarise(floorSamples), paired};
}

void RunFetchOrChat(const Options& options, Results& results, const std::string& workload,
                    Kind kind, int connections, int lineLength) {
  const std::string label = workload + " " + std::to_string(connections) +
                            (kind == Kind::VelmorWindow ? " +window" : "") +
                            (lineLength > 0 ? ", lines of " + std::to_string(lineLength) : "");
  const auto [velmor, floor, paired] = Compare(options, workload, kind, connections, lineLength);
  PrintSummary(results, label, KindName(kind), velmor);
  PrintSummary(results, label, "floor", floor);
  if (connections == 1) {
    results.rows.push_back(
        {label, "median latency (us)", velmor.p50, floor.p50, "<= 1.2 x floor", 1.2, true, false});
    return;
  }
  // The window must cost the clients next to nothing: with it, throughput
  // near the floor's and no worse tail; without it, as little CPU per reply
  // as the floor spends.
  const bool window = kind == Kind::VelmorWindow;
  const bool chat = workload == "chat";
  // Long lines: the rate that a chat line costing its own size must keep.
  const double wanted = lineLength > 0 ? 0.9 : window ? (chat ? 0.9 : 0.95) : (chat ? 0.95 : 0.9);
  char rule[32];
  std::snprintf(rule, sizeof rule, ">= %.2f x floor", wanted);
  results.rows.push_back(
      {label, "requests per second", velmor.rate, floor.rate, rule, wanted, true, true});
  if (window) {
    results.rows.push_back(
        {label, "p99 latency (us)", velmor.p99, floor.p99, "<= 1.5 x floor", 1.5, true, false});
  } else {
    results.rows.push_back({label, "server CPU per reply (us)", velmor.cpuPerReplyUs,
                            floor.cpuPerReplyUs, "<= 1.1 x floor", 1.1, true, false});
  }
  if (velmor.errors > 0)
    results.rows.push_back({label, "errors", double(velmor.errors), 0, "= 0", 0, false, false});
}

void RunChurn(const Options& options, Results& results) {
  const int clients = 4;
  std::vector<Sample> velmorSamples, floorSamples;
  std::string floorReply;
  std::vector<std::string> leftovers;
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (Kind server : {Kind::Velmor, Kind::Floor}) {
      Server process = Start(server, options.program, floorReply);
      if (!WaitForListener(process.started, 10s)) Fail("the server did not listen on port 5000");
      {
        Room room;
        if (!SetUp(room, 1)) Fail("the set-up of the churn failed");
        if (floorReply.empty()) floorReply = MustAsk(room.connections[0], Fetch(0), LogLines);
      }
      std::this_thread::sleep_for(50ms);
      Sample sample = Churn(clients, options.seconds, process.pid);
      if (server != Kind::Floor) {
        // Everyone has gone: no member, no extra descriptor, no memory kept.
        std::this_thread::sleep_for(300ms);
        Connection probe;
        probe.fd = Connect();
        const auto reply = Ask(probe, "/Reflesh//*/~", LogLines);
        ::close(probe.fd);
        std::this_thread::sleep_for(100ms);
        const ProcessFigures after = Figures(process.pid);
        char text[200];
        std::snprintf(
            text, sizeof text, "members after: %s; descriptors %d -> %d; resident %ld -> %ld KiB",
            reply && reply->starts_with("/*/") ? "none" : "SOME LEFT", sample.before.descriptors,
            after.descriptors, sample.before.residentKiB, after.residentKiB);
        leftovers.push_back(text);
        if (!(reply && reply->starts_with("/*/")) || after.descriptors > sample.before.descriptors)
          ++sample.errors;
      }
      Stop(process);
      (server == Kind::Floor ? floorSamples : velmorSamples).push_back(std::move(sample));
    }
  }
  const Summary velmor = Summarise(velmorSamples), floor = Summarise(floorSamples);
  PrintSummary(results, "churn 4", "velmor", velmor);
  PrintSummary(results, "churn 4", "floor", floor);
  for (const auto& line : leftovers) std::fprintf(stderr, "    %s\n", line.c_str());
  results.rows.push_back(
      {"churn 4", "cycles per second", velmor.rate, floor.rate, ">= 2000", 2000, false, true});
  results.rows.push_back(
      {"churn 4", "errors and leftovers", double(velmor.errors), 0, "= 0", 0, false, false});
}

void RunMemory(const Options& options, Results& results) {
  Server process = Start(Kind::VelmorWindow, options.program, {});
  if (!WaitForListener(process.started, 10s)) Fail("velmor did not listen on port 5000");
  long atTenth = 0, atEnd = 0;
  Sample sample;
  {
    Room room;
    if (!SetUp(room, MaxMembers)) Fail("the set-up of the memory run failed");
    const std::string reply = MustAsk(room.connections[0], Fetch(0), LogLines);
    const long tenth = options.memoryRequests / 10;
    sample = Steady(
        room, [](int i, long) { return Fetch(i); }, reply.size(), reply, 600, process.pid,
        options.memoryRequests,
        [&](long replies) {
          if (replies == tenth) atTenth = Figures(process.pid).residentKiB;
        });
    atEnd = Figures(process.pid).residentKiB;
  }
  Stop(process);
  std::fprintf(stderr,
               "  memory: %ld requests with the window in %.1f s; resident %ld KiB at %ld, %ld KiB "
               "at the end\n",
               sample.replies, sample.seconds, atTenth, options.memoryRequests / 10, atEnd);
  results.rows.push_back({"memory +window",
                          "resident MB after " + std::to_string(sample.replies) + " requests",
                          double(atEnd) / 1024, 0, "<= 60", 60, false, false});
  results.rows.push_back({"memory +window", "growth KiB from 1/10 to the end",
                          double(atEnd - atTenth), 0, "<= 256", 256, false, false});
  char json[256];
  std::snprintf(json, sizeof json,
                "{\"workload\":\"memory\",\"server\":\"velmor+window\",\"requests\":%ld,\"resident_"
                "kib_at_tenth\":%ld,"
                "\"resident_kib_at_end\":%ld}",
                sample.replies, atTenth, atEnd);
  results.jsonParts.push_back(json);
}

void RunStartup(const Options& options, Results& results) {
  std::vector<double> velmor, floor;
  for (int rep = 0; rep < std::max(options.repetitions, 5); ++rep) {
    for (Kind kind : {Kind::VelmorWindow, Kind::Floor}) {
      Server process = Start(kind, options.program, "/*/");
      const auto ms = WaitForListener(process.started, 10s);
      (kind == Kind::Floor ? floor : velmor).push_back(ms.value_or(1e9));
      Stop(process);
    }
  }
  std::fprintf(stderr, "  start-up with the window: median %.1f ms (floor %.1f ms)\n",
               Median(velmor), Median(floor));
  results.rows.push_back({"start-up +window", "ms to listening", Median(velmor), Median(floor),
                          "<= 300", 300, false, false});
  char json[160];
  std::snprintf(
      json, sizeof json,
      "{\"workload\":\"startup\",\"server\":\"velmor+window\",\"ms\":%.1f,\"floor_ms\":%.1f}",
      Median(velmor), Median(floor));
  results.jsonParts.push_back(json);
}

namespace {

// Slow HTTP clients (slowloris): each connection sends one byte of an endless
// request head every second, and is opened again once the server closed it.
class SlowHttpClients {
 public:
  explicit SlowHttpClients(int count) : fds_(count, -1), worker_([this] { Run(); }) {}
  ~SlowHttpClients() {
    stopping_ = true;
    worker_.join();
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }

 private:
  void Run() {
    PinTo(1);
    const std::string head = "GET / HTTP/1.1\r\nX-Slow: ";
    for (int tick = 0; !stopping_ && tick < 100000; ++tick) {
      for (int& fd : fds_) {
        char sink[256];
        if (fd >= 0 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0) {
          ::close(fd);
          fd = -1;
        }
        if (fd < 0) fd = harness::ConnectLoopback(5080, true);
        if (fd < 0) continue;
        const char byte = tick < int(head.size()) ? head[tick] : 'x';
        if (::send(fd, &byte, 1, MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
          ::close(fd);
          fd = -1;
        }
      }
      for (int i = 0; i < 10 && !stopping_; ++i) std::this_thread::sleep_for(100ms);
    }
  }

  std::vector<int> fds_;
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace

void RunSlowHttp(const Options& options, Results& results) {
  constexpr int Slow = 500;
  std::vector<Sample> quiet, loaded;
  const auto request = [](int i, long) { return Fetch(i); };
  for (int rep = 0; rep < options.repetitions; ++rep) {
    Server process = Start(Kind::VelmorWeb, options.program, {});
    if (!WaitForListener(process.started, 10s)) Fail("velmor --web did not listen on port 5000");
    {
      Room room;
      if (!SetUp(room, MaxMembers)) Fail("the set-up of the slow HTTP run failed");
      const std::string reply = MustAsk(room.connections[0], Fetch(0), LogLines);
      quiet.push_back(Steady(room, request, reply.size(), reply, options.seconds, process.pid));
      SlowHttpClients slow(Slow);
      std::this_thread::sleep_for(1s);  // all of them connected and trickling
      loaded.push_back(Steady(room, request, reply.size(), reply, options.seconds, process.pid));
    }
    Stop(process);
  }
  std::vector<double> ratios;
  for (std::size_t i = 0; i < quiet.size(); ++i) {
    std::vector<Sample> one{quiet[i]}, other{loaded[i]};
    ratios.push_back(Summarise(other).p99 / std::max(Summarise(one).p99, 1e-9));
  }
  const Summary q = Summarise(quiet), l = Summarise(loaded);
  PrintSummary(results, "fetch 20, page port quiet", "velmor --web", q);
  PrintSummary(results, "fetch 20, 500 slow HTTP", "velmor --web", l);
  Row row{"fetch 20 +500 slow HTTP",
          "p99 latency (us), vs. none",
          l.p99,
          q.p99,
          "<= 1.5 x none",
          1.5,
          true,
          false};
  row.pairedRatio = Median(ratios);
  results.rows.push_back(row);
}

}  // namespace velmor::bench
