// What the end-to-end tests and the benchmark both need to run the real
// program: a network of their own, the program started as a child process,
// its figures from /proc, and loopback connections. Plain C++ and POSIX.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// How a child process starts. Its standard input and output are /dev/null.
struct ChildSetup {
  // The child's standard error: a descriptor of this process, which the
  // child gets as its own (this process still owns and closes it); -1 for
  // /dev/null.
  int standardError = -1;
  // The core the child runs on, from 0; -1 leaves it to the scheduler, as
  // does a machine of one core.
  int core = -1;
  // The child is killed when the thread that started it ends, however it
  // ends, so that no program under test outlives a crashed run.
  bool endsWithParent = false;
};

// Forks a child that runs body, which must not return (the child exits with
// 127 if it does). The pid, or -1.
pid_t StartChild(const ChildSetup& setup, const std::function<void()>& body);

// Starts program with the given arguments (after its own name) and this
// process's environment changed by the entries in order: "NAME=value" sets
// NAME, "NAME=" removes it. Arguments and environment are made before the
// fork, so the child runs nothing but system calls before exec. The pid, or
// -1; a program that cannot be executed exits with 127.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const ChildSetup& setup);

// Pins the calling thread to the core, where the machine has more than one.
void PinToCore(int core);

// A TCP connection to 127.0.0.1:port with Nagle off, and the given receive
// buffer if any; -1 when refused.
int ConnectLoopback(std::uint16_t port, bool nonBlocking, int receiveBuffer = 0);

// A new folder under the system's temporary folder; empty on failure.
std::string MakeTempDir(const std::string& prefix);

// SIGTERM, then SIGKILL once grace has passed; returns the wait status.
int StopProcess(pid_t pid, int graceMs);

}  // namespace velmor::harness
