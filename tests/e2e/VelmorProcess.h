// The real velmor program, started for a test in the test's own network
// namespace, and plain TCP clients that talk to it in code page 932.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velmor::testing {

// Moves this process into a network namespace of its own with loopback up,
// so the program can own port 5000 without clashing with anything. Returns
// an empty string on success, else why it was not possible.
std::string EnterPrivateNetwork();
// What EnterPrivateNetwork said when the test program started.
const std::string& PrivateNetworkError();

class VelmorProcess {
 public:
  // Where the program's standard error goes: a file that Stderr() reads; a
  // pipe of the smallest size that only ReadStderrPipe reads; or a pipe
  // whose reader was gone before the program started.
  enum class StandardError { File, SlowPipe, PipeWithoutReader };

  // Starts the program with a runtime folder of its own (so the one-instance
  // lock is the test's), or the given one; offscreen, unless extraEnv says
  // otherwise ("NAME=value" sets, "NAME=" removes), with the given arguments.
  explicit VelmorProcess(const std::string& runtimeDir = {},
                         const std::vector<std::string>& extraEnv = {},
                         const std::vector<std::string>& args = {},
                         StandardError standardError = StandardError::File);
  ~VelmorProcess();
  VelmorProcess(const VelmorProcess&) = delete;
  VelmorProcess& operator=(const VelmorProcess&) = delete;

  int Pid() const { return child_; }
  const std::string& RuntimeDir() const { return runtime_; }
  // Everything the program wrote to standard error so far.
  std::string Stderr() const;
  // The status texts written so far, in order.
  std::vector<std::string> StatusLines() const;
  // Waits until a status text equal to text has been written count times.
  bool WaitForStatus(const std::string& text, int count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  bool WaitForStderr(const std::string& fragment,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Ends it with SIGTERM (SIGKILL after a while); returns the exit status.
  int Stop();
  // Ends it at once with SIGKILL, as a crash or a power cut would, and
  // reaps it.
  void Kill();
  bool Running() const;
  // Reads the stderr pipe until fragment has been read; all that was read.
  std::string ReadStderrPipe(const std::string& fragment,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The stderr pipe's reader goes away.
  void CloseStderrPipe();

  // Figures from the process's own accounting in /proc.
  int OpenDescriptors() const;
  long ResidentKiB() const;
  long PeakResidentKiB() const;
  // User plus system CPU time so far, in seconds.
  double CpuSeconds() const;
  // Changes the process's soft limit on open descriptors while it runs.
  bool SetDescriptorLimit(long limit) const;

 private:
  int child_ = -1;
  std::string runtime_;
  std::string stderrPath_;
  bool ownRuntime_ = false;
  int stderrPipe_ = -1;
};

// A blocking TCP client with bounded waits.
class Client {
 public:
  // Connects to 127.0.0.1:port, retrying while the server is starting; a
  // receive buffer of receiveBuffer bytes when one is given.
  explicit Client(std::uint16_t port = 5000, int receiveBuffer = 0);
  ~Client();
  Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Client& operator=(Client&&) = delete;

  bool Connected() const { return fd_ >= 0; }
  void Send(const std::string& bytes) const;
  // Sends bytes as a real network delivers a long request: in segments of
  // the given size (Ethernet's 1,448 bytes), each its own write, gap apart.
  void SendInSegments(const std::string& bytes, std::size_t segment = 1448,
                      std::chrono::microseconds gap = std::chrono::microseconds(20)) const;
  // Reads until expectedBytes have arrived, the peer closed, or the time is up.
  std::string Receive(std::size_t expectedBytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Reads one state reply whose log holds logLines lines (at most 50).
  std::string ReceiveState(std::size_t logLines,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // What came first on the connection, without consuming it: bytes of a
  // reply, the end of the stream (refused or dropped), or nothing in time.
  enum class Answer { Reply, Closed, Nothing };
  Answer AwaitAnswer(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::string Exchange(const std::string& bytes, std::size_t expectedBytes) const {
    Send(bytes);
    return Receive(expectedBytes);
  }
  // True when the server closed the connection within the time.
  bool ClosedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close();
  int LocalPort() const;

 private:
  int fd_ = -1;
};

// Code page 932 bytes of UTF-8 text.
std::string Wire(const std::string& utf8);

}  // namespace velmor::testing
