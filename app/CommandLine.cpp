#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QStringList>

namespace velmor {

namespace {

// The options QGuiApplication and QApplication read themselves; accepted
// here and left in argv for them.
const char* const QtValueOptions[] = {"platform",
                                      "platformpluginpath",
                                      "platformtheme",
                                      "plugin",
                                      "qwindowgeometry",
                                      "geometry",
                                      "qwindowtitle",
                                      "title",
                                      "qwindowicon",
                                      "icon",
                                      "display",
                                      "style",
                                      "stylesheet",
                                      "session",
                                      "name",
                                      "qmljsdebugger"};
const char* const QtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

}  // namespace

CommandLine ReadCommandLine(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Velmor: the chat server for Pibbet clients on TCP port 5000 of a local network.\n"
      "Without options it opens the operator's window. The README that comes with\n"
      "Velmor (/usr/share/doc/velmor/README.md when installed) tells more."));
  // Qt's own options are written with one dash (-platform offscreen).
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Show this help and exit."));
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Show the version and exit."));
  const QCommandLineOption noWindow(
      QStringLiteral("no-window"),
      QStringLiteral("Serve without any window; status lines go to standard error."));
  parser.addOption(help);
  parser.addOption(version);
  parser.addOption(noWindow);
  for (const char* name : QtValueOptions) {
    QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(option);
  }
  for (const char* name : QtFlagOptions) {
    QCommandLineOption option(QString::fromLatin1(name));
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(option);
  }

  const QString usage =
      QStringLiteral("Usage: velmor [options]\n") +
      parser.helpText().section(QLatin1Char('\n'), 1) +
      QStringLiteral("Qt's own options, such as -platform offscreen, work too.\n");
  CommandLine line;
  if (!parser.parse(arguments)) {
    line.What = CommandLine::Action::Refuse;
    line.Text = QStringLiteral("velmor: ") + parser.errorText() + QLatin1Char('\n') + usage;
  } else if (!parser.positionalArguments().isEmpty()) {
    line.What = CommandLine::Action::Refuse;
    line.Text = QStringLiteral("velmor: unexpected argument '") +
                parser.positionalArguments().constFirst() + QStringLiteral("'\n") + usage;
  } else if (parser.isSet(help)) {
    line.What = CommandLine::Action::ShowHelp;
    line.Text = usage;
  } else if (parser.isSet(version)) {
    line.What = CommandLine::Action::ShowVersion;
    line.Text = QStringLiteral("velmor ") + QStringLiteral(VELMOR_VERSION) + QLatin1Char('\n');
  }
  line.NoWindow = parser.isSet(noWindow);
  return line;
}

}  // namespace velmor
