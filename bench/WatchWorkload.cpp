// The watch workload: browsers that only watch while port 5000 is flooded.
// Nine Pibbet clients fetch back to back, a tenth posts a numbered line every
// 2 ms, and ten browser members over the JSON protocol send nothing after
// their join. The same run with the nine idle comes first, as the
// reference of what the machine allows. A third span makes the nine
// hostile: each streams fetches back to back without waiting for a reply,
// as fast as its socket takes them, and connects again each time the
// server drops it for the arrival that holds them all. Measured:
// - each line's time from its request on port 5000 to its arrival at every
//   watcher (a frame of news at most, plus how late that frame ran);
// - how late the server's news timer runs on its thread. The server sends a
//   browser at most one update a frame (8 ms) and starts the frame again
//   with each update; with a line every 2 ms news is always waiting when a
//   frame ends, so a watcher's updates come one frame plus the timer's
//   lateness apart.
// The watchers are plain WebSocket clients on the bench's own epoll loop,
// beside the Pibbet clients, so that every arrival is timed where it is read
// and the bench's second core runs one thread. Their sockets acknowledge as
// the kernel decides, as a browser's do. Four short lines keep an update
// under 536 bytes, below which Linux acknowledges at once, so that the row
// also measures a server that holds an update back until the last one is
// acknowledged (Nagle's rule, which Velmor's browser sockets no longer
// follow) by its timer and not by the receiver's delayed acknowledgement.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

namespace {

constexpr int Fetchers = 9;
constexpr int Watchers = MaxMembers - Fetchers - 1;  // the poster is the tenth client
constexpr auto PostEvery = 2ms;   // four lines a frame, of the 50 an update may hold
constexpr auto FrameUs = 8000.0;  // the server's news interval
constexpr auto WarmUp = 200ms;
constexpr std::uint16_t SocketPort = 5080;  // the page's, which its WebSocket shares
const std::string LineMark = "watched ";

std::string Post(long n) {
  std::string number = std::to_string(n);
  number.insert(0, 6 - std::min<std::size_t>(6, number.size()), '0');
  return "NormalTel" + LineMark + number + " " + std::string(30, 'x') + "/*/~" + Key(Fetchers);
}

// ------------------------------------------------------- a plain WebSocket

enum Opcode : unsigned char { Continuation = 0, Text = 1, Close = 8, Ping = 9, Pong = 10 };

// A client's frame: final, masked (as every client frame must be).
std::string ClientFrame(Opcode opcode, std::string_view payload) {
  std::string frame(1, static_cast<char>(0x80 | opcode));
  const std::size_t size = payload.size();
  if (size < 126) {
    frame += static_cast<char>(0x80 | size);
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(size >> 8 & 0xFF);
    frame += static_cast<char>(size & 0xFF);
  }
  const char mask[4] = {'\x5A', '\x0F', '\x3C', '\x71'};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < size; ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

struct Watcher {
  Connection link;
  std::string message;  // a text message still in fragments
  bool inRoom = false;
  bool closed = false;
  std::vector<Clock::time_point> updates;  // arrivals of updates
  std::vector<bool> seen;                  // by line number
};

// Takes the whole frames read so far; text messages go to onText, pings
// are answered. False once the server closed or broke the protocol.
bool TakeFrames(Watcher& w, const std::function<void(std::string_view)>& onText) {
  std::string& in = w.link.in;
  std::size_t at = 0;
  for (;;) {
    if (in.size() - at < 2) break;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[at + k]); };
    const bool final = byte(0) & 0x80;
    const auto opcode = static_cast<Opcode>(byte(0) & 0x0F);
    if (byte(1) & 0x80) return false;  // a server never masks
    std::size_t size = byte(1) & 0x7F, head = 2;
    if (size >= 126) {
      head += size == 126 ? 2 : 8;
      if (in.size() - at < head) break;
      size = 0;
      for (std::size_t k = 2; k < head; ++k) size = size << 8 | byte(k);
    }
    if (in.size() - at < head + size) break;
    const std::string_view payload(in.data() + at + head, size);
    at += head + size;
    if (opcode == Close) return false;
    if (opcode == Ping) {
      if (!SendAll(w.link.fd, ClientFrame(Pong, payload))) return false;
    } else if (opcode == Text || opcode == Continuation) {
      w.message.append(payload);
      if (final) {
        onText(w.message);
        w.message.clear();
      }
    }
  }
  in.erase(0, at);
  return true;
}

// Reads into the watcher until done() or the time is up.
bool ReadUntil(Watcher& w, const std::function<bool()>& done) {
  std::vector<char> buffer(1 << 16);
  const auto deadline = Clock::now() + 5s;
  while (!done()) {
    if (Clock::now() > deadline || !ReadAvailable(w.link, buffer)) return false;
    if (!done()) std::this_thread::sleep_for(100us);
  }
  return true;
}

bool Joined(std::string_view text) { return text.find("\"type\":\"room\"") != text.npos; }

// Connects, shakes hands as the page does, joins, and waits for the room.
bool OpenWatcher(Watcher& w, int i) {
  // The WebSocket port opens just after the chat port.
  for (int tries = 0; tries < 100 && w.link.fd < 0; ++tries) {
    w.link.fd = harness::ConnectLoopback(SocketPort, true);
    if (w.link.fd < 0) std::this_thread::sleep_for(20ms);
  }
  if (w.link.fd < 0) return false;
  const std::string handshake =
      "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:5080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
      "Origin: http://127.0.0.1:5080\r\n\r\n";
  if (!SendAll(w.link.fd, handshake) ||
      !ReadUntil(w, [&] { return w.link.in.find("\r\n\r\n") != std::string::npos; }) ||
      !w.link.in.starts_with("HTTP/1.1 101"))
    return false;
  w.link.in.erase(0, w.link.in.find("\r\n\r\n") + 4);
  const std::string join = "{\"v\":1,\"type\":\"join\",\"name\":\"look" + TwoDigits(i) +
                           "\",\"key\":\"lookkey" + TwoDigits(i) + "\"}";
  if (!SendAll(w.link.fd, ClientFrame(Text, join))) return false;
  const auto joined = [&] {
    w.closed = !TakeFrames(w, [&](std::string_view text) { w.inRoom = w.inRoom || Joined(text); });
    return w.closed || w.inRoom;
  };
  return ReadUntil(w, joined) && w.inRoom;
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// What one span of the run found; the figures sorted.
struct Phase {
  std::vector<double> lineUs, lateUs;
  long replies = 0, errors = 0, lines = 0, reconnects = 0;
  double seconds = 0, serverCpu = 0;
  // The longest the bench itself went without looking at its sockets: a
  // lateness near it may be the bench's, not the server's.
  double longestStallUs = 0;
};

// The Pibbet clients and the watchers of one server, on one epoll set.
class WatchRun {
 public:
  WatchRun(pid_t server, Clock::duration span) : server_(server), span_(span) {
    if (!SetUp(room_, Fetchers + 1)) Fail("the set-up of the watch run failed");
    for (int i = 0; i < Watchers; ++i)
      if (!OpenWatcher(watchers_[std::size_t(i)], i)) Fail("a watching browser did not join");
    // Room for the lines of two spans.
    const auto capacity = std::size_t(2 * (span + WarmUp) / PostEvery + 1000);
    for (auto& w : watchers_) w.seen.assign(capacity, false);
    sentAt_.resize(capacity);
    for (std::size_t k = 0; k < room_.connections.size(); ++k) {
      epoll_event event{EPOLLIN, {.u64 = k}};
      ::epoll_ctl(poll_, EPOLL_CTL_ADD, room_.connections[k].fd, &event);
    }
    for (std::size_t k = 0; k < watchers_.size(); ++k) {
      epoll_event event{EPOLLIN, {.u64 = room_.connections.size() + k}};
      ::epoll_ctl(poll_, EPOLL_CTL_ADD, watchers_[k].link.fd, &event);
    }
  }
  ~WatchRun() {
    ::close(poll_);
    for (auto& w : watchers_) ::close(w.link.fd);
  }
  WatchRun(const WatchRun&) = delete;
  WatchRun& operator=(const WatchRun&) = delete;

  enum class Load { Quiet, Flood, Pipelining };
  // Lines posted for the span after a warm-up, with the fetchers' load.
  Phase Measure(Load load);

 private:
  // A pipelining fetcher's turn: as much of the stream as its socket takes
  // in one send, what came back thrown away, a new connection once dropped.
  void Pipeline(Connection& c, std::size_t k, std::uint32_t events, Phase& phase);
  void OnWatcher(Watcher& w, Clock::time_point arrived, Phase& phase);
  bool AllArrived() const {
    for (const auto& w : watchers_)
      if (!w.closed && std::count(w.seen.begin(), w.seen.begin() + posted_, true) < posted_)
        return false;
    return true;
  }

  pid_t server_;
  Clock::duration span_;
  Room room_;
  std::vector<Watcher> watchers_ = std::vector<Watcher>(Watchers);
  std::vector<Clock::time_point> sentAt_;  // by line number
  long posted_ = 0;
  bool posterGone_ = false;
  Clock::time_point from_, until_;  // the span measured
  int poll_ = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  std::string stream_;  // fetches back to back, for the pipelining span
};

void WatchRun::Pipeline(Connection& c, std::size_t k, std::uint32_t events, Phase& phase) {
  bool open = !(events & (EPOLLHUP | EPOLLERR));
  if (open && (events & EPOLLIN)) {
    open = ReadAvailable(c, buffer_);
    c.in.clear();
  }
  if (open && (events & EPOLLOUT)) {
    const std::size_t from = c.streamed;
    const ssize_t sent =
        ::send(c.fd, stream_.data() + from, stream_.size() - from, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) c.streamed = (from + std::size_t(sent)) % stream_.size();
    open = sent >= 0 || errno == EAGAIN;
  }
  if (open) return;
  ::epoll_ctl(poll_, EPOLL_CTL_DEL, c.fd, nullptr);
  ::close(c.fd);
  ++phase.reconnects;
  c.streamed = 0;
  c.fd = Connect();
  if (c.fd < 0) return;
  epoll_event event{EPOLLIN | EPOLLOUT, {.u64 = k}};
  ::epoll_ctl(poll_, EPOLL_CTL_ADD, c.fd, &event);
}

void WatchRun::OnWatcher(Watcher& w, Clock::time_point arrived, Phase& phase) {
  const bool open =
      ReadAvailable(w.link, buffer_) && TakeFrames(w, [&](std::string_view text) {
        if (text.find("\"type\":\"update\"") == text.npos) return;
        if (arrived >= from_ && arrived < until_) w.updates.push_back(arrived);
        for (auto at = text.find(LineMark); at != text.npos; at = text.find(LineMark, at + 1)) {
          const long line = std::atol(std::string(text.substr(at + LineMark.size(), 6)).c_str());
          if (line < 0 || line >= posted_ || w.seen[std::size_t(line)]) continue;
          w.seen[std::size_t(line)] = true;
          const auto sent = sentAt_[std::size_t(line)];
          if (sent >= from_ && sent < until_) phase.lineUs.push_back(Us(arrived - sent));
        }
      });
  if (!open && !w.closed) {
    w.closed = true;
    ++phase.errors;
    ::epoll_ctl(poll_, EPOLL_CTL_DEL, w.link.fd, nullptr);
  }
}

Phase WatchRun::Measure(Load load) {
  const bool flood = load == Load::Flood;
  const bool pipelining = load == Load::Pipelining;
  Phase phase;
  for (auto& w : watchers_) w.updates.clear();
  Connection& poster = room_.connections[Fetchers];
  int outstanding = 0;
  bool posterWaiting = false;
  const auto start = Clock::now();
  from_ = start + WarmUp;
  until_ = from_ + span_;
  const ProcessFigures before = Figures(server_);
  for (int k = 0; k < Fetchers && flood; ++k) {
    Connection& c = room_.connections[std::size_t(k)];
    c.in.clear();
    if (SendAll(c.fd, Fetch(c.index))) ++outstanding;
  }
  if (pipelining) {
    for (int i = 0; i < 4096; ++i) stream_ += Fetch(0);
    for (int k = 0; k < Fetchers; ++k) {
      epoll_event event{EPOLLIN | EPOLLOUT, {.u64 = std::uint64_t(k)}};
      ::epoll_ctl(poll_, EPOLL_CTL_MOD, room_.connections[std::size_t(k)].fd, &event);
    }
  }
  const long firstLine = posted_;
  auto nextPost = start, lastLook = start;
  for (;;) {
    const auto now = Clock::now();
    if (now >= from_ && now < until_)
      phase.longestStallUs = std::max(phase.longestStallUs, Us(now - lastLook));
    lastLook = now;
    if (now < until_ && !posterWaiting && !posterGone_ && now >= nextPost &&
        std::size_t(posted_) < sentAt_.size()) {
      poster.in.clear();
      sentAt_[std::size_t(posted_)] = Clock::now();
      if (SendAll(poster.fd, Post(posted_))) {
        posterWaiting = true;
        ++posted_;
      } else {
        ++phase.errors;
      }
      // A line held up is not made up for by a burst.
      nextPost = std::max(nextPost + PostEvery, now);
    }
    if (now >= until_ && outstanding == 0 && !posterWaiting && AllArrived()) break;
    if (now > until_ + 5s) {
      phase.errors += outstanding + (AllArrived() ? 0 : 1);
      break;
    }
    epoll_event ready[64];
    const int n = ::epoll_wait(poll_, ready, 64, 1);
    for (int i = 0; i < n; ++i) {
      const std::size_t k = ready[i].data.u64;
      const auto arrived = Clock::now();
      if (k >= room_.connections.size()) {
        OnWatcher(watchers_[k - room_.connections.size()], arrived, phase);
        continue;
      }
      Connection& c = room_.connections[k];
      if (pipelining && k < std::size_t(Fetchers)) {
        if (arrived < until_) Pipeline(c, k, ready[i].events, phase);
        continue;
      }
      if (!ReadAvailable(c, buffer_)) {
        ++phase.errors;
        if (&c == &poster)
          posterWaiting = false, posterGone_ = true;
        else
          --outstanding;
        ::epoll_ctl(poll_, EPOLL_CTL_DEL, c.fd, nullptr);
        continue;
      }
      if (!Complete(c.in, LogLines)) continue;
      if (&c == &poster) {
        posterWaiting = false;
        continue;
      }
      --outstanding;
      if (arrived < until_) {
        ++phase.replies;
        c.in.clear();
        if (SendAll(c.fd, Fetch(c.index)))
          ++outstanding;
        else
          ++phase.errors;
      }
    }
  }
  if (pipelining) {
    for (int k = 0; k < Fetchers; ++k) {
      Connection& c = room_.connections[std::size_t(k)];
      ::epoll_ctl(poll_, EPOLL_CTL_DEL, c.fd, nullptr);
      ::close(c.fd);
      c.fd = -1;
    }
  }
  phase.serverCpu = Figures(server_).cpuSeconds - before.cpuSeconds;
  phase.seconds = std::chrono::duration<double>(until_ - start).count();
  phase.lines = posted_ - firstLine;
  for (const auto& w : watchers_)
    for (std::size_t i = 1; i < w.updates.size(); ++i)
      phase.lateUs.push_back(Us(w.updates[i] - w.updates[i - 1]) - FrameUs);
  // Nothing measured is a failed run, not a fast one.
  if (phase.lineUs.empty() || phase.lateUs.empty()) ++phase.errors;
  std::sort(phase.lineUs.begin(), phase.lineUs.end());
  std::sort(phase.lateUs.begin(), phase.lateUs.end());
  return phase;
}

void Print(const char* name, Phase& p) {
  std::fprintf(stderr,
               "  watch %d, %s: %ld fetches (%.0f a second) and %ld lines, server CPU %.2f s in "
               "%.1f s; line to watcher p50 %.0f us, p99 %.0f us (%zu arrivals); news timer late "
               "p50 %.0f us, p99 %.0f us, max %.0f us (%zu gaps); the bench's longest stall %.0f "
               "us; %ld reconnections; errors %ld\n",
               Watchers, name, p.replies, double(p.replies) / p.seconds, p.lines, p.serverCpu,
               p.seconds, Percentile(p.lineUs, 50), Percentile(p.lineUs, 99), p.lineUs.size(),
               Percentile(p.lateUs, 50), Percentile(p.lateUs, 99), Percentile(p.lateUs, 100),
               p.lateUs.size(), p.longestStallUs, p.reconnects, p.errors);
}

}  // namespace

void RunWatch(const Options& options, Results& results) {
  Server process = Start(Kind::VelmorWeb, options, {});
  if (!WaitForListener(process.started, 10s)) Fail("velmor --web did not listen on port 5000");
  Phase quiet, flooded, pipelined;
  {
    WatchRun run(process.pid, std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(std::max(options.seconds, 2.0))));
    quiet = run.Measure(WatchRun::Load::Quiet);
    flooded = run.Measure(WatchRun::Load::Flood);
    pipelined = run.Measure(WatchRun::Load::Pipelining);
  }
  Stop(process);
  Print("port 5000 quiet", quiet);
  Print("flood on port 5000", flooded);
  Print("pipelining on port 5000", pipelined);
  // The quiet span in the floor column: what the machine and the bench
  // allow without the flood.
  const std::string label = "watch " + std::to_string(Watchers) + ", flood on port 5000";
  results.rows.push_back({label, "line to watcher p99 (us)", Percentile(flooded.lineUs, 99),
                          Percentile(quiet.lineUs, 99), "<= 10,000", 10000, false, false});
  results.rows.push_back({label, "news timer lateness p99 (us)", Percentile(flooded.lateUs, 99),
                          Percentile(quiet.lateUs, 99), "<= 2,000", 2000, false, false});
  const std::string hostile = "watch " + std::to_string(Watchers) + ", pipelining on port 5000";
  results.rows.push_back({hostile, "news timer lateness p99 (us)", Percentile(pipelined.lateUs, 99),
                          Percentile(quiet.lateUs, 99), "<= 2,000", 2000, false, false});
  if (pipelined.reconnects == 0)
    results.rows.push_back({hostile, "drops of a pipelining client", 0, 0, ">= 1", 1, false, true});
  const long errors = quiet.errors + flooded.errors + pipelined.errors;
  if (errors > 0)
    results.rows.push_back({label, "errors", double(errors), 0, "= 0", 0, false, false});
  char json[800];
  std::snprintf(json, sizeof json,
                "{\"workload\":\"watch\",\"server\":\"velmor --web\",\"lines\":%ld,"
                "\"line_p50_us\":%.1f,\"line_p99_us\":%.1f,\"gaps\":%zu,\"timer_late_p50_us\":%.1f,"
                "\"timer_late_p99_us\":%.1f,\"timer_late_max_us\":%.1f,\"quiet_line_p99_us\":%.1f,"
                "\"quiet_timer_late_p99_us\":%.1f,\"pipelining_timer_late_p99_us\":%.1f,"
                "\"pipelining_timer_late_max_us\":%.1f,\"pipelining_reconnects\":%ld,"
                "\"errors\":%ld,\"replies\":%ld}",
                flooded.lines, Percentile(flooded.lineUs, 50), Percentile(flooded.lineUs, 99),
                flooded.lateUs.size(), Percentile(flooded.lateUs, 50),
                Percentile(flooded.lateUs, 99), Percentile(flooded.lateUs, 100),
                Percentile(quiet.lineUs, 99), Percentile(quiet.lateUs, 99),
                Percentile(pipelined.lateUs, 99), Percentile(pipelined.lateUs, 100),
                pipelined.reconnects, errors, flooded.replies);
  results.jsonParts.push_back(json);
}

}  // namespace velmor::bench
