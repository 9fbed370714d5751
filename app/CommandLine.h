// The program's command line, read before anything starts: the options
// Velmor has, and Qt's own (-platform and the rest), which are left for Qt.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "web/BrowserGate.h"

namespace velmor {

struct CommandLine {
  enum class Action { Serve, ShowHelp, ShowVersion, Refuse };
  Action what = Action::Serve;
  bool noWindow = false;
  // --web [PORT]: the port of the browser page; its WebSocket is on the next.
  std::optional<std::uint16_t> webPort;
  static constexpr std::uint16_t DefaultWebPort = 5080;
  // --web-origin NAME, repeatable: more names browsers may use for this
  // machine, besides its own.
  QStringList webOrigins;
  // --web-grace SECONDS: how long a browser member whose connection ended
  // without leaving keeps its place; unset: the server's default.
  std::optional<int> webGraceSeconds;
  // --web-cert FILE --web-key FILE, or --web-tls (a certificate of the
  // program's own in its state directory): the page and its WebSocket over
  // TLS. Either implies --web.
  BrowserGate::Tls webTls;
  // The file that keeps the room across restarts, in the state directory;
  // empty with --no-history, which keeps nothing.
  QString historyFile;
  // What to print (usage, version line, or the complaint and usage).
  QString text;
};

// Exit status for a command line that cannot be served.
constexpr int UsageExitStatus = 2;

CommandLine ReadCommandLine(int argc, char* argv[]);

}  // namespace velmor
