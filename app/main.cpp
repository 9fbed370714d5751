// Velmor: the chat server for Pibbet clients on TCP port 5000.
#include <QCoreApplication>

#include "app/Shutdown.h"
#include "net/ChatServer.h"
#include "net/StatusEcho.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  velmor::QuitOnTerminationSignals();
  velmor::StatusEcho status;
  velmor::ChatServer server(status);
  server.Start();
  return app.exec();
}
