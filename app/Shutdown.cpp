#include "app/Shutdown.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace velmor {

namespace {

int SignalPipe[2] = {-1, -1};

volatile std::sig_atomic_t ShuttingDown = 0;

// The first signal asks the event loop to end; a second one, while the
// program is still ending, ends it at once by the signal's default action.
void OnSignal(int signal) {
  if (ShuttingDown) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  ShuttingDown = 1;
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
  errno = savedErrno;
}

int HangupPipe[2] = {-1, -1};

void OnHangup(int) {
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(HangupPipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

void RecertifyOnHangup(std::function<void()> recertify) {
  if (HangupPipe[0] >= 0 || ::pipe2(HangupPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(HangupPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [recertify = std::move(recertify)] {
    char bytes[64];
    while (::read(HangupPipe[0], bytes, sizeof bytes) > 0) {
    }
    recertify();
  });
  struct sigaction action = {};
  action.sa_handler = OnHangup;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &action, nullptr);
}

void QuitOnTerminationSignals() {
  if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] { QCoreApplication::quit(); });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace velmor
