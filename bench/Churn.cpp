// The churn: clients that connect, join, fetch and close, over and over.
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

namespace {

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

void RunChurn(const Options& options, Results& results) {
  const int clients = 4;
  std::vector<Sample> velmorSamples, floorSamples;
  std::string floorReply;
  std::vector<std::string> leftovers;
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (Kind server : {Kind::Velmor, Kind::Floor}) {
      Server process = Start(server, options, floorReply);
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

}  // namespace velmor::bench
