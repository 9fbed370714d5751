#include "app/Startup.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ServerHost.h"
#include "app/Shutdown.h"
#include "loop/EpollEventLoop.h"

namespace velmor {

namespace {
bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}
}  // namespace

void FallBackToOffscreenWithoutDisplay(int argc, char* argv[]) {
  if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) return;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
        std::strncmp(argv[i], "-platform=", 10) == 0) {
      return;
    }
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::fputs(
      "velmor: no display found; the window is drawn offscreen and clients are served as usual\n",
      stderr);
}

// The server alone, for a machine that only serves; the status line goes to
// standard error as always. The main thread runs the server's own event
// loop, as the server's thread does beside a window.
int ServeWithoutWindow(int argc, char* argv[], const CommandLine& line) {
  QCoreApplication::setEventDispatcher(new EpollEventLoop);
  QCoreApplication app(argc, argv);
  QuitOnTerminationSignals();
  ServerHost host(ServerHost::Threading::CallingThread);
  if (!host.AcquireInstance()) return 1;
  if (host.Start(line.webPort, line.webOrigins, line.webTls, line.historyFile) !=
      ChatServer::StartResult::Listening) {
    return 1;
  }
  return app.exec();
}

}  // namespace velmor
