// What the end-to-end tests and the benchmark both need to run the real
// program: a network of their own, the program's figures from /proc, and
// loopback connections. Plain C++ and POSIX.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace velmor::harness {

// Moves this process into a network namespace of its own with loopback up,
// so that the program under test owns port 5000 without clashing with
// anything. Where the process may not make one (not root), it first enters a
// user namespace of its own, mapping the current user to root inside, which
// unprivileged users may do on most kernels. Must be called before any
// thread starts. Returns an empty string on success, else why it failed.
std::string EnterPrivateNetwork();

struct ProcessFigures {
  double cpuSeconds = 0;  // user plus system
  long residentKiB = 0;
  long peakResidentKiB = 0;  // the most it was resident at any moment
  int descriptors = 0;
};
ProcessFigures Figures(pid_t pid);

// A TCP connection to 127.0.0.1:port with Nagle off, and the given receive
// buffer if any; -1 when refused.
int ConnectLoopback(std::uint16_t port, bool nonBlocking, int receiveBuffer = 0);

// A new folder under the system's temporary folder; empty on failure.
std::string MakeTempDir(const std::string& prefix);

// SIGTERM, then SIGKILL once grace has passed; returns the wait status.
int StopProcess(pid_t pid, int graceMs);

}  // namespace velmor::harness
