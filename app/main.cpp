// Velmor: the chat server for Pibbet clients on a local network.
#include <QApplication>

#include <csignal>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/ServerHost.h"
#include "app/Shutdown.h"
#include "app/Startup.h"
#include "members/BrowserMember.h"
#include "stderr/StderrQueue.h"
#include "ui/OperatorWindow.h"

int main(int argc, char* argv[]) {
  // No write can end the program: a reader of standard error or a peer that
  // went away is an error where the write is made (as in Redis and nginx).
  std::signal(SIGPIPE, SIG_IGN);
  const velmor::CommandLine line = velmor::ReadCommandLine(argc, argv);
  switch (line.what) {
    case velmor::CommandLine::Action::ShowHelp:
    case velmor::CommandLine::Action::ShowVersion:
      std::fputs(line.text.toLocal8Bit().constData(), stdout);
      return 0;
    case velmor::CommandLine::Action::Refuse:
      std::fputs(line.text.toLocal8Bit().constData(), stderr);
      return velmor::UsageExitStatus;
    case velmor::CommandLine::Action::Serve:
      break;
  }
  if (line.webGraceSeconds) velmor::BrowserMember::SetResumeGraceMs(*line.webGraceSeconds * 1000);
  // Qt's own messages never hold the server up either.
  velmor::StderrQueue::TakeQtMessages();
  if (line.noWindow) return velmor::ServeWithoutWindow(argc, argv, line);
  velmor::FallBackToOffscreenWithoutDisplay(argc, argv);
  QApplication app(argc, argv);
  velmor::QuitOnTerminationSignals();
  // The server on a thread of its own: drawing the window never holds a
  // client up.
  velmor::ServerHost host(velmor::ServerHost::Threading::OwnThread);
  // The window's thread yields to the server's whenever both want the CPU.
  velmor::LowerThisThreadsPriority();
  const bool serving = host.AcquireInstance();
  velmor::SystemClock clock;
  velmor::SystemDesktop desktop;
  velmor::OperatorWindow window(clock, desktop, host.Server());
  if (serving) host.Start(line.webPort, line.webOrigins, line.webTls, line.historyFile);
  window.StartClock(serving ? velmor::OperatorWindow::Instance::Serving
                            : velmor::OperatorWindow::Instance::Another);
  window.show();
  return app.exec();
}
