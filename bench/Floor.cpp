#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "bench/Bench.h"

namespace velmor::bench {

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

}  // namespace velmor::bench
