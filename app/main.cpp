// Velmor: the chat server for Pibbet clients on TCP port 5000.
#include <QApplication>

#include "app/Shutdown.h"
#include "app/Startup.h"
#include "ui/Form1.h"

int main(int argc, char* argv[]) {
  if (velmor::AskedForNoWindow(argc, argv)) return velmor::ServeWithoutWindow(argc, argv);
  velmor::FallBackToOffscreenWithoutDisplay(argc, argv);
  QApplication app(argc, argv);
  velmor::QuitOnTerminationSignals();
  velmor::SystemClock clock;
  velmor::SystemDesktop desktop;
  velmor::Form1 form(clock, desktop);
  form.Form_Load();
  form.show();
  return app.exec();
}
