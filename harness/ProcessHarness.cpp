#include "harness/ProcessHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

namespace velmor::harness {

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

// Inside a new user namespace this process is nobody until its user is mapped.
std::string BecomeRootOfOwnUserNamespace() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    return std::string("unshare(CLONE_NEWUSER | CLONE_NEWNET): ") + std::strerror(errno);
  }
  WriteFile("/proc/self/setgroups", "deny");
  if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
      !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
    return "cannot map this user in its own user namespace";
  }
  return {};
}

}  // namespace

std::string EnterPrivateNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) {
    const std::string asRoot = std::strerror(errno);
    const std::string asUser = BecomeRootOfOwnUserNamespace();
    if (!asUser.empty()) {
      return "cannot make a network namespace (unshare: " + asRoot + "; " + asUser +
             "); run as root, or allow unprivileged user namespaces";
    }
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  const int error = errno;
  if (fd >= 0) ::close(fd);
  return up ? std::string()
            : std::string("cannot bring loopback up in the new namespace: ") + std::strerror(error);
}

ProcessFigures Figures(pid_t pid) {
  ProcessFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream stat(proc + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  // The fields after the command name, which ends with the last ')'.
  if (const auto close = text.rfind(')'); close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stol(field);
    }
    figures.cpuSeconds = double(ticks) / double(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) figures.residentKiB = std::stol(line.substr(6));
    if (line.starts_with("VmHWM:")) figures.peakResidentKiB = std::stol(line.substr(6));
  }
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++figures.descriptors;
  }
  return figures;
}

namespace {

// This process's environment with the changes applied in order.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  for (const std::string& change : changes) {
    const auto equals = change.find('=');
    if (equals == std::string::npos) continue;
    const std::string_view name(change.data(), equals + 1);  // "NAME="
    std::erase_if(entries, [name](const std::string& entry) { return entry.starts_with(name); });
    if (equals + 1 < change.size()) entries.push_back(change);
  }
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

namespace {

// Only system calls: a forked child may call it.
void RunOnCore(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  ::sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

void PinToCore(int core) {
  if (std::thread::hardware_concurrency() >= 2) RunOnCore(core);
}

pid_t StartChild(const ChildSetup& setup, const std::function<void()>& body) {
  const pid_t parent = ::getpid();
  const bool pin = setup.core >= 0 && std::thread::hardware_concurrency() >= 2;
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (setup.endsWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have ended before the signal was asked for.
    if (::getppid() != parent) ::_exit(127);
  }
  if (pin) RunOnCore(setup.core);
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  if (setup.standardError == STDERR_FILENO) {
    ::fcntl(STDERR_FILENO, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
  } else {
    ::dup2(setup.standardError >= 0 ? setup.standardError : null, STDERR_FILENO);
  }
  if (null > STDERR_FILENO) ::close(null);
  body();
  ::_exit(127);
}

pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const ChildSetup& setup) {
  std::vector<std::string> argumentTexts{program};
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentTexts = ChangedEnvironment(environment);
  const std::vector<char*> argv = Pointers(argumentTexts);
  const std::vector<char*> envp = Pointers(environmentTexts);
  return StartChild(setup, [&] { ::execve(program.c_str(), argv.data(), envp.data()); });
}

int ConnectLoopback(std::uint16_t port, bool nonBlocking, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Set before connecting, so that the window offered is this small.
  if (receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (nonBlocking) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

int StopProcess(pid_t pid, int graceMs) {
  if (pid <= 0) return -1;
  ::kill(pid, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status;
}

}  // namespace velmor::harness
