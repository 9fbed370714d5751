// The Pibbet protocol as the bench's clients speak it: requests sent whole,
// replies read until the log they carry is complete.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

int Connect() { return harness::ConnectLoopback(Port, true); }

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

bool SetUp(Room& room, int n, int lineLength) {
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

Sample Steady(Room& room, const std::function<std::string(int, long)>& request,
              std::size_t replySize, const std::string& exactReply, double seconds, pid_t server,
              long maxReplies, const std::function<void(long)>& onReply) {
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

}  // namespace velmor::bench
