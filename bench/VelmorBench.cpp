// velmor-bench: a load generator that speaks the Pibbet protocol in code page
// 932, and a floor server that answers every arrival with a fixed reply of
// the same length and does nothing else. Every figure of Velmor is measured
// side by side with the floor's, alternating, and reported as a ratio to it.
//
// One thread, epoll, blocking nowhere but in epoll_wait. The servers run as
// child processes pinned to the first core, the generator on the second.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t Port = 5000;
constexpr int LogLines = 50;
constexpr int MaxMembers = 20;

// Code page 932 words, kept as separate literals so that no hex escape runs
// into the text after it.
const std::string UserWord = "\x97\x98\x97\x70\x8E\xD2";          // 利用者
const std::string TalkWord = "\x89\xEF\x98\x62";                  // 会話
const std::string TestWord = "\x83\x65\x83\x58\x83\x67\x95\xB6";  // テスト文

std::string TwoDigits(int n) {
  return std::string(1, char('0' + n / 10 % 10)) + char('0' + n % 10);
}
std::string FourDigits(int n) { return TwoDigits(n / 100) + TwoDigits(n); }
std::string Name(int i) { return UserWord + TwoDigits(i); }
std::string Key(int i) { return "key" + TwoDigits(i); }
std::string Join(int i) { return "CanEnter?" + Name(i) + "/*/~" + Key(i); }
std::string Fetch(int i) { return "/Reflesh//*/~" + Key(i); }
// Fixed width, so that every reply has one length once the log is full.
std::string Chat(int i, int n) {
  return "NormalTel" + TalkWord + TestWord + FourDigits(n) + "/*/~" + Key(i);
}

// ---------------------------------------------------------------- processes

void PinTo(int core) {
  if (std::thread::hardware_concurrency() < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// A network namespace of our own with loopback up, so port 5000 is ours.
std::string EnterPrivateNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + std::strerror(errno);
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  if (fd >= 0) ::close(fd);
  return up ? std::string() : "cannot bring loopback up";
}

struct ProcessFigures {
  double cpuSeconds = 0;
  long residentKiB = 0;
  int descriptors = 0;
};

ProcessFigures Figures(pid_t pid) {
  ProcessFigures figures;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stol(field);
    }
    figures.cpuSeconds = double(ticks) / double(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) figures.residentKiB = std::stol(line.substr(6));
  }
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++figures.descriptors;
  }
  return figures;
}

int Connect() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

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

// The floor: accept, and answer every arrival with the fixed reply.
[[noreturn]] void RunFloor(const std::string& reply) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Port);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 128) != 0) {
    std::perror("floor server");
    ::_exit(1);
  }
  const int poll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{EPOLLIN, {.fd = listener}};
  ::epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event);
  struct Peer {
    std::size_t unsent = 0;  // bytes of replies still to write
    bool watchingOut = false;
  };
  std::map<int, Peer> peers;
  std::vector<char> buffer(1 << 16);
  epoll_event ready[64];
  for (;;) {
    const int n = ::epoll_wait(poll, ready, 64, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener) {
        for (int client;
             (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
          ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          epoll_event watch{EPOLLIN, {.fd = client}};
          ::epoll_ctl(poll, EPOLL_CTL_ADD, client, &watch);
        }
        continue;
      }
      // One read takes the arrival unless it fills the buffer, as in Velmor.
      bool arrived = false, closed = false;
      for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0) arrived = true;
        if (got == 0 || (got < 0 && errno != EAGAIN)) closed = true;
        if (got <= 0 || std::size_t(got) < buffer.size()) break;
      }
      if (closed) {
        peers.erase(fd);
        ::close(fd);
        continue;
      }
      Peer& peer = peers[fd];
      std::size_t& left = peer.unsent;
      if (arrived) left += reply.size();
      while (left > 0) {
        const std::size_t from = reply.size() - (left - 1) % reply.size() - 1;
        const ssize_t sent = ::send(fd, reply.data() + from, reply.size() - from, MSG_NOSIGNAL);
        if (sent <= 0) break;
        left -= std::size_t(sent);
      }
      // The watch changes only when a reply is left over, as Velmor's does.
      if ((left > 0) != peer.watchingOut) {
        peer.watchingOut = left > 0;
        epoll_event watch{std::uint32_t(left > 0 ? EPOLLIN | EPOLLOUT : EPOLLIN), {.fd = fd}};
        ::epoll_ctl(poll, EPOLL_CTL_MOD, fd, &watch);
      }
    }
  }
}

struct Server {
  pid_t pid = -1;
  Clock::time_point started;
  std::string runtime;
};

enum class Kind { Velmor, VelmorWindow, Floor };
const char* KindName(Kind kind) {
  return kind == Kind::Floor ? "floor" : kind == Kind::Velmor ? "velmor" : "velmor+window";
}

// The server running now, ended by Fail on the way out.
pid_t Running = -1;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "velmor-bench: %s\n", why.c_str());
  if (Running > 0) {
    ::kill(Running, SIGKILL);
    ::waitpid(Running, nullptr, 0);
  }
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
    } else {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  Running = server.pid;
  return server;
}

void Stop(Server& server) {
  if (server.pid <= 0) return;
  ::kill(server.pid, SIGTERM);
  const auto deadline = Clock::now() + 5s;
  while (::waitpid(server.pid, nullptr, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(server.pid, SIGKILL);
      ::waitpid(server.pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  server.pid = -1;
  Running = -1;
  if (!server.runtime.empty()) std::filesystem::remove_all(server.runtime);
}

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

struct Room {
  std::vector<Connection> connections;
  int lines = 0;  // lines in the log, as far as the bench knows
  ~Room() {
    for (auto& c : connections) ::close(c.fd);
  }
};

// Joins n members, then fills the log to 50 lines with chats of member 0.
bool SetUp(Room& room, int n) {
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
    if (!Ask(room.connections[0], Chat(0, k), room.lines)) return false;
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

// ---------------------------------------------------------------- figures

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const std::size_t at =
      std::min(sorted.size() - 1, std::size_t(p / 100.0 * double(sorted.size())));
  return sorted[at];
}

struct Summary {
  double rate = 0, cpuPerReplyUs = 0, p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
  long replies = 0, errors = 0;
  std::size_t replyBytes = 0;
};

Summary Summarise(std::vector<Sample>& samples) {
  Summary s;
  std::vector<double> rates, cpus, p50, p90, p99, p999, max;
  for (auto& sample : samples) {
    std::sort(sample.latencyUs.begin(), sample.latencyUs.end());
    rates.push_back(double(sample.replies) / std::max(sample.seconds, 1e-9));
    cpus.push_back(sample.serverCpu * 1e6 / double(std::max(sample.replies, 1L)));
    p50.push_back(Percentile(sample.latencyUs, 50));
    p90.push_back(Percentile(sample.latencyUs, 90));
    p99.push_back(Percentile(sample.latencyUs, 99));
    p999.push_back(Percentile(sample.latencyUs, 99.9));
    max.push_back(sample.latencyUs.empty() ? 0 : sample.latencyUs.back());
    s.replies += sample.replies;
    s.errors += sample.errors;
    s.replyBytes = std::max(s.replyBytes, sample.replyBytes);
  }
  s.rate = Median(rates);
  s.cpuPerReplyUs = Median(cpus);
  s.p50 = Median(p50);
  s.p90 = Median(p90);
  s.p99 = Median(p99);
  s.p999 = Median(p999);
  s.max = Median(max);
  return s;
}

struct Options {
  std::string program;
  std::string workload = "all";
  int connections = 20;
  double seconds = 2;
  int repetitions = 5;
  bool window = false;
  bool json = false;
  bool requireNamespace = false;
  long memoryRequests = 1000000;
};

struct Row {
  std::string workload, figure;
  double velmor = 0, floor = 0;
  std::string rule;  // ">= 0.9 x floor", "<= 300 ms", ...
  double bound = 0;
  bool ratio = true;
  bool higherIsBetter = true;
  bool Held() const {
    const double value = ratio ? velmor / std::max(floor, 1e-12) : velmor;
    return higherIsBetter ? value >= bound : value <= bound;
  }
};

std::vector<Row> Rows;
std::vector<std::string> JsonParts;

std::string Json(const std::string& workload, const std::string& server, const Summary& s) {
  char text[512];
  std::snprintf(
      text, sizeof text,
      "{\"workload\":\"%s\",\"server\":\"%s\",\"requests_per_s\":%.1f,\"p50_us\":%.1f,"
      "\"p90_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,\"max_us\":%.1f,"
      "\"server_cpu_us_per_reply\":%.2f,\"errors\":%ld,\"bytes_per_reply\":%zu,\"replies\":%ld}",
      workload.c_str(), server.c_str(), s.rate, s.p50, s.p90, s.p99, s.p999, s.max, s.cpuPerReplyUs,
      s.errors, s.replyBytes, s.replies);
  return text;
}

void PrintSummary(const std::string& workload, const std::string& server, const Summary& s) {
  std::fprintf(
      stderr,
      "  %-22s %-14s %9.0f req/s  p50 %7.1f  p90 %7.1f  p99 %7.1f  p99.9 %7.1f  max %8.1f us  "
      "cpu %6.2f us/reply  %zu B/reply  errors %ld\n",
      workload.c_str(), server.c_str(), s.rate, s.p50, s.p90, s.p99, s.p999, s.max, s.cpuPerReplyUs,
      s.replyBytes, s.errors);
  JsonParts.push_back(Json(workload, server, s));
}

// fetch or chat: alternating repetitions of Velmor and the floor.
std::pair<Summary, Summary> Compare(const Options& options, const std::string& workload, Kind kind,
                                    int connections) {
  std::vector<Sample> velmorSamples, floorSamples;
  std::string floorReply;
  std::size_t replySize = 0;
  const bool chat = workload == "chat";
  const auto request = [chat](int i, long n) { return chat ? Chat(i, int(n % 10000)) : Fetch(i); };
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (Kind server : {kind, Kind::Floor}) {
      Server process = Start(server, options.program, floorReply);
      if (!WaitForListener(process.started, 10s))
        Fail(std::string(KindName(server)) + " did not listen on port 5000");
      Sample sample;
      {
        Room room;
        if (!SetUp(room, connections))
          Fail(std::string("the set-up against ") + KindName(server) + " failed");
        if (server != Kind::Floor && floorReply.empty()) {
          // The reply every later request gets, and so the floor's reply.
          floorReply = MustAsk(room.connections[0], chat ? Chat(0, 9999) : Fetch(0), LogLines);
          replySize = floorReply.size();
        }
        const std::string exact = chat ? std::string() : floorReply;
        sample = Steady(room, request, replySize, exact, options.seconds, process.pid);
      }
      Stop(process);
      (server == Kind::Floor ? floorSamples : velmorSamples).push_back(std::move(sample));
    }
  }
  return {Summarise(velmorSamples), Summarise(floorSamples)};
}

void RunFetchOrChat(const Options& options, const std::string& workload, Kind kind,
                    int connections) {
  const std::string label =
      workload + " " + std::to_string(connections) + (kind == Kind::VelmorWindow ? " +window" : "");
  const auto [velmor, floor] = Compare(options, workload, kind, connections);
  PrintSummary(label, KindName(kind), velmor);
  PrintSummary(label, "floor", floor);
  if (connections == 1) {
    Rows.push_back(
        {label, "median latency (us)", velmor.p50, floor.p50, "<= 1.2 x floor", 1.2, true, false});
    return;
  }
  const double wanted = workload == "chat" ? 0.8 : kind == Kind::VelmorWindow ? 0.8 : 0.9;
  char rule[32];
  std::snprintf(rule, sizeof rule, ">= %.1f x floor", wanted);
  Rows.push_back({label, "requests per second", velmor.rate, floor.rate, rule, wanted, true, true});
  if (workload == "fetch" && kind == Kind::Velmor) {
    Rows.push_back({label, "server CPU per reply (us)", velmor.cpuPerReplyUs, floor.cpuPerReplyUs,
                    "<= 1.2 x floor", 1.2, true, false});
  }
  if (velmor.errors > 0)
    Rows.push_back({label, "errors", double(velmor.errors), 0, "= 0", 0, false, false});
}

void RunChurn(const Options& options) {
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
  PrintSummary("churn 4", "velmor", velmor);
  PrintSummary("churn 4", "floor", floor);
  for (const auto& line : leftovers) std::fprintf(stderr, "    %s\n", line.c_str());
  Rows.push_back(
      {"churn 4", "cycles per second", velmor.rate, floor.rate, ">= 2000", 2000, false, true});
  Rows.push_back(
      {"churn 4", "errors and leftovers", double(velmor.errors), 0, "= 0", 0, false, false});
}

void RunMemory(const Options& options) {
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
  Rows.push_back({"memory +window",
                  "resident MB after " + std::to_string(sample.replies) + " requests",
                  double(atEnd) / 1024, 0, "<= 60", 60, false, false});
  Rows.push_back({"memory +window", "growth KiB from 1/10 to the end", double(atEnd - atTenth), 0,
                  "<= 256", 256, false, false});
  char json[256];
  std::snprintf(json, sizeof json,
                "{\"workload\":\"memory\",\"server\":\"velmor+window\",\"requests\":%ld,\"resident_"
                "kib_at_tenth\":%ld,"
                "\"resident_kib_at_end\":%ld}",
                sample.replies, atTenth, atEnd);
  JsonParts.push_back(json);
}

void RunStartup(const Options& options) {
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
  Rows.push_back({"start-up +window", "ms to listening", Median(velmor), Median(floor), "<= 300",
                  300, false, false});
  char json[160];
  std::snprintf(
      json, sizeof json,
      "{\"workload\":\"startup\",\"server\":\"velmor+window\",\"ms\":%.1f,\"floor_ms\":%.1f}",
      Median(velmor), Median(floor));
  JsonParts.push_back(json);
}

void PrintTable() {
  std::printf(
      "\n| workload | figure | velmor | floor | ratio | target | held "
      "|\n|---|---|---:|---:|---:|---|---|\n");
  int held = 0;
  for (const auto& row : Rows) {
    char ratio[32] = "";
    if (row.ratio)
      std::snprintf(ratio, sizeof ratio, "%.2f", row.velmor / std::max(row.floor, 1e-12));
    char floor[32] = "";
    if (row.ratio || row.floor > 0) std::snprintf(floor, sizeof floor, "%.1f", row.floor);
    std::printf("| %s | %s | %.1f | %s | %s | %s | %s |\n", row.workload.c_str(),
                row.figure.c_str(), row.velmor, floor, ratio, row.rule.c_str(),
                row.Held() ? "yes" : "NO");
    held += row.Held() ? 1 : 0;
  }
  std::printf("\n%d of %zu targets held.\n", held, Rows.size());
}

void Usage() {
  std::fputs(
      "usage: velmor-bench --program PATH [--workload all|fetch|chat|churn|memory|startup]\n"
      "                    [--connections N] [--seconds S] [--repetitions R] [--window]\n"
      "                    [--memory-requests N] [--json] [--require-namespace]\n"
      "Runs PATH (the velmor program) and a floor server in turn on port 5000, in a\n"
      "network namespace of its own where it may make one, and compares them.\n",
      stderr);
}

}  // namespace

int main(int argc, char* argv[]) {
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
    else if (arg == "--window")
      options.window = true;
    else if (arg == "--json")
      options.json = true;
    else if (arg == "--require-namespace")
      options.requireNamespace = true;
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
  const std::string network = EnterPrivateNetwork();
  if (!network.empty() && options.requireNamespace) {
    std::fprintf(stderr, "velmor-bench: no network namespace of its own (%s)\n", network.c_str());
    return 3;
  }
  PinTo(1);
  utsname machine{};
  ::uname(&machine);
  std::fprintf(
      stderr, "velmor-bench: %s %s, %u cores; %s; %d repetitions of %.1f s each, alternating\n",
      machine.sysname, machine.release, std::thread::hardware_concurrency(),
      network.empty() ? "own network namespace" : ("host loopback (" + network + ")").c_str(),
      options.repetitions, options.seconds);

  const std::string& w = options.workload;
  const Kind kind = options.window ? Kind::VelmorWindow : Kind::Velmor;
  if (w == "fetch" || w == "chat") RunFetchOrChat(options, w, kind, options.connections);
  if (w == "churn") RunChurn(options);
  if (w == "memory") RunMemory(options);
  if (w == "startup") RunStartup(options);
  if (w == "all") {
    RunFetchOrChat(options, "fetch", Kind::Velmor, MaxMembers);
    RunFetchOrChat(options, "fetch", Kind::VelmorWindow, MaxMembers);
    RunFetchOrChat(options, "fetch", Kind::Velmor, 1);
    RunFetchOrChat(options, "chat", Kind::Velmor, MaxMembers);
    RunChurn(options);
    RunMemory(options);
    RunStartup(options);
  }
  if (Rows.empty() && JsonParts.empty()) {
    Usage();
    return 2;
  }
  if (options.json) {
    std::string line = "{\"results\":[";
    for (std::size_t i = 0; i < JsonParts.size(); ++i) line += (i ? "," : "") + JsonParts[i];
    std::printf("%s]}\n", line.c_str());
  } else {
    PrintTable();
  }
  return 0;
}
