#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

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
    harness::PinToCore(1);
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
    Server process = Start(Kind::VelmorWeb, options, {});
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
