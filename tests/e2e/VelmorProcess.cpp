#include "tests/e2e/VelmorProcess.h"

#include <QString>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness/ProcessHarness.h"
#include "wire/Cp932.h"

#ifndef VELMOR_BINARY
#error "VELMOR_BINARY must name the program under test"
#endif

namespace velmor::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::string& NamespaceError() {
  static std::string error = "not attempted";
  return error;
}

}  // namespace

std::string EnterPrivateNetwork() { return harness::EnterPrivateNetwork(); }

const std::string& PrivateNetworkError() { return NamespaceError(); }

void RecordPrivateNetwork(const std::string& error) { NamespaceError() = error; }

VelmorProcess::VelmorProcess(const std::string& runtimeDir,
                             const std::vector<std::string>& extraEnv,
                             const std::vector<std::string>& args, StandardError standardError) {
  ownRuntime_ = runtimeDir.empty();
  int pipeFds[2] = {-1, -1};
  if (standardError != StandardError::File && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
    ::fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
    stderrPipe_ = pipeFds[0];
    if (standardError == StandardError::PipeWithoutReader) CloseStderrPipe();
  }
  runtime_ = ownRuntime_ ? harness::MakeTempDir("velmor-e2e") : runtimeDir;
  stderrPath_ = runtime_ + "/stderr-" + std::to_string(Clock::now().time_since_epoch().count());
  harness::ChildSetup setup;
  setup.standardError =
      pipeFds[1] >= 0 ? pipeFds[1]
                      : ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  // Offscreen unless the test's own entries, applied after these, say otherwise.
  // The room's history in the runtime folder too: each test's own, kept
  // across the restarts of a test that names its runtime folder.
  std::vector<std::string> environment{"XDG_RUNTIME_DIR=" + runtime_,
                                       "XDG_STATE_HOME=" + runtime_ + "/state",
                                       "QT_QPA_PLATFORM=offscreen"};
  environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
  child_ = harness::StartProgram(VELMOR_BINARY, args, environment, setup);
  if (setup.standardError >= 0) ::close(setup.standardError);
}

void VelmorProcess::CloseStderrPipe() {
  if (stderrPipe_ >= 0) ::close(stderrPipe_);
  stderrPipe_ = -1;
}

std::string VelmorProcess::ReadStderrPipe(const std::string& fragment,
                                          std::chrono::milliseconds timeout) {
  std::string text;
  const auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while (stderrPipe_ >= 0 && text.find(fragment) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{stderrPipe_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::read(stderrPipe_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

VelmorProcess::~VelmorProcess() {
  Stop();
  CloseStderrPipe();
  if (ownRuntime_ && !runtime_.empty()) std::filesystem::remove_all(runtime_);
}

bool VelmorProcess::Running() const {
  return child_ > 0 && ::waitpid(child_, nullptr, WNOHANG) == 0;
}

int VelmorProcess::Stop() {
  if (child_ <= 0) return -1;
  const int status = harness::StopProcess(child_, 10000);
  child_ = -1;
  return status;
}

void VelmorProcess::Kill() {
  if (child_ <= 0) return;
  ::kill(child_, SIGKILL);
  ::waitpid(child_, nullptr, 0);
  child_ = -1;
}

int VelmorProcess::OpenDescriptors() const { return harness::Figures(child_).descriptors; }

long VelmorProcess::ResidentKiB() const { return harness::Figures(child_).residentKiB; }

long VelmorProcess::PeakResidentKiB() const { return harness::Figures(child_).peakResidentKiB; }

double VelmorProcess::CpuSeconds() const { return harness::Figures(child_).cpuSeconds; }

bool VelmorProcess::SetDescriptorLimit(long limit) const {
  rlimit current{};
  if (::prlimit(child_, RLIMIT_NOFILE, nullptr, &current) != 0) return false;
  current.rlim_cur = static_cast<rlim_t>(limit);
  return ::prlimit(child_, RLIMIT_NOFILE, &current, nullptr) == 0;
}

std::string VelmorProcess::Stderr() const {
  std::ifstream in(stderrPath_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> VelmorProcess::StatusLines() const {
  constexpr std::string_view prefix = "velmor: status: ";
  std::vector<std::string> lines;
  std::istringstream in(Stderr());
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

bool VelmorProcess::WaitForStatus(const std::string& text, int count,
                                  std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int seen = 0;
    for (const auto& line : StatusLines()) seen += line == text;
    if (seen >= count) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool VelmorProcess::WaitForStderr(const std::string& fragment,
                                  std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Stderr().find(fragment) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Client::Client(std::uint16_t port, int receiveBuffer) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    fd_ = harness::ConnectLoopback(port, false, receiveBuffer);
    if (fd_ >= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Client::Reset() {
  if (fd_ < 0) return;
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

void Client::Send(const std::string& bytes) const {
  std::size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void Client::SendInSegments(const std::string& bytes, std::size_t segment,
                            std::chrono::microseconds gap) const {
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  for (std::size_t at = 0; at < bytes.size(); at += segment) {
    if (at > 0) std::this_thread::sleep_for(gap);
    Send(bytes.substr(at, segment));
  }
}

std::string Client::Receive(std::size_t expectedBytes, std::chrono::milliseconds timeout) const {
  std::string data;
  const auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while (fd_ >= 0 && data.size() < expectedBytes) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

// The reply has no length or terminator of its own; it is whole when the
// log after the first "/*/" holds the lines the caller expects. (A name with
// "/*/" in it would confuse this; such tests read an exact byte count.)
std::string Client::ReceiveState(std::size_t logLines, std::chrono::milliseconds timeout) const {
  // Counted as the bytes come, so a state of megabytes read in many pieces
  // is scanned once.
  std::string data;
  std::size_t separator = std::string::npos;
  std::size_t scanned = 0;
  std::size_t lines = 0;
  const auto whole = [&] {
    if (separator == std::string::npos) {
      separator = data.find("/*/", scanned > 2 ? scanned - 2 : 0);
      if (separator == std::string::npos) {
        scanned = data.size();
        return false;
      }
      scanned = separator;
    }
    for (auto at = data.find("\r\n", scanned); at != std::string::npos;
         at = data.find("\r\n", at + 2)) {
      ++lines;
    }
    // A CR at the very end may begin the next line's CR LF.
    scanned = data.size() - (data.back() == '\r' ? 1 : 0);
    return lines >= logLines;
  };
  const auto deadline = Clock::now() + timeout;
  while (!whole()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const std::string more = Receive(1, left);
    if (more.empty()) break;
    data += more;
  }
  return data;
}

Client::Answer Client::AwaitAnswer(std::chrono::milliseconds timeout) const {
  char byte;
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || ::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return Answer::Nothing;
  const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK);
  return n > 0 ? Answer::Reply : Answer::Closed;
}

bool Client::ClosedByServer(std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  char buffer[4096];
  while (fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

int Client::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

std::string Wire(const std::string& utf8) {
  return Cp932::Instance().Encode(QString::fromUtf8(utf8).toStdU16String());
}

}  // namespace velmor::testing
