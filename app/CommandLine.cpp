#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QStringList>

#include "members/BrowserMember.h"
#include "server/ChatServer.h"
#include "web/SelfSigned.h"

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

  // "--web" takes its port only when one follows, which QCommandLineParser
  // cannot say; it is read here and taken out.
  std::optional<std::uint16_t> webPort;
  QString badWebPort;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& arg = arguments[i];
    if (arg != QLatin1String("--web") && !arg.startsWith(QLatin1String("--web="))) continue;
    QString value = arg.section(QLatin1Char('='), 1);
    bool explicitValue = arg.contains(QLatin1Char('='));
    if (!explicitValue && i + 1 < arguments.size() && !arguments[i + 1].isEmpty() &&
        arguments[i + 1].front().isDigit()) {
      value = arguments[i + 1];
      arguments.removeAt(i + 1);
      explicitValue = true;
    }
    arguments.removeAt(i--);
    if (!explicitValue) {
      webPort = CommandLine::DefaultWebPort;
      continue;
    }
    bool number = false;
    const uint port = value.toUInt(&number);
    // The WebSocket takes the next port, which must exist too.
    if (!number || port == 0 || port >= 65535) {
      badWebPort = value;
    } else {
      webPort = static_cast<std::uint16_t>(port);
    }
  }

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral(
          "Velmor: the chat server for Pibbet clients on TCP port %1 of a local network.\n"
          "Without options it opens the operator's window. The README that comes with\n"
          "Velmor (/usr/share/doc/velmor/README.md when installed) tells more.")
          .arg(ChatServer::DefaultPort));
  // Qt's own options are written with one dash (-platform offscreen).
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Show this help and exit."));
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Show the version and exit."));
  const QCommandLineOption noWindow(
      QStringLiteral("no-window"),
      QStringLiteral("Serve without any window; status lines go to standard error."));
  const QCommandLineOption web(
      QStringLiteral("web"),
      QStringLiteral("Also serve the room to web browsers: the page and its WebSocket on "
                     "port 5080, or on PORT when one follows (the WebSocket on the next "
                     "port too)."));
  parser.addOption(help);
  parser.addOption(version);
  parser.addOption(noWindow);
  const QCommandLineOption webOrigin(
      QStringLiteral("web-origin"),
      QStringLiteral("Accept browsers that reach this machine by NAME too (besides its "
                     "host name, NAME.local and addresses); may be given more than once."),
      QStringLiteral("NAME"));
  const QCommandLineOption webGrace(
      QStringLiteral("web-grace"),
      QStringLiteral("Keep the place of a browser member whose connection "
                     "dropped for SECONDS (default %1); 0: it leaves at once.")
          .arg(BrowserMember::DefaultResumeGraceMs / 1000),
      QStringLiteral("SECONDS"));
  const QCommandLineOption webCertificate(
      QStringLiteral("web-cert"),
      QStringLiteral("Serve the page and its WebSocket over HTTPS and WSS with the certificate "
                     "in FILE (PEM, with its chain); needs --web-key. Implies --web; SIGHUP "
                     "reads the files again. Under systemd a bare name is a credential the unit "
                     "loads (LoadCredential=)."),
      QStringLiteral("FILE"));
  const QCommandLineOption webKey(
      QStringLiteral("web-key"),
      QStringLiteral("The certificate's private key (PEM, RSA or EC, readable by its owner "
                     "alone)."),
      QStringLiteral("FILE"));
  const QCommandLineOption webOwnTls(
      QStringLiteral("web-tls"),
      QStringLiteral("Serve browsers over HTTPS and WSS with a self-signed certificate made "
                     "at the first start and kept in the state directory; its SHA-256 "
                     "fingerprint is shown at start. Implies --web."));
  const QCommandLineOption noHistory(
      QStringLiteral("no-history"),
      QStringLiteral("Start with an empty room and keep nothing of it; without it the log and "
                     "the browser members' places are kept across restarts in room.sqlite in "
                     "the state directory."));
  parser.addOption(noHistory);
  parser.addOption(web);
  parser.addOption(webOrigin);
  parser.addOption(webGrace);
  parser.addOption(webCertificate);
  parser.addOption(webKey);
  parser.addOption(webOwnTls);
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

  // --web takes its port as an optional argument of its own (see above),
  // which Qt's parser has no form for: its line names it in the column Qt
  // leaves for option arguments.
  QString options = parser.helpText().section(QLatin1Char('\n'), 1);
  const QString bareWeb = QStringLiteral("  --web ");
  const QString webWithPort = QStringLiteral("  --web [<PORT>]");
  const qsizetype webLine = options.indexOf(bareWeb);
  if (webLine >= 0 && options.mid(webLine + bareWeb.size(), webWithPort.size() - bareWeb.size())
                          .trimmed()
                          .isEmpty()) {
    options.replace(webLine, webWithPort.size(), webWithPort);
  }
  const QString usage =
      QStringLiteral("Usage: velmor [options]\n") + options +
      QStringLiteral("Qt's own options, such as -platform offscreen, work too.\n");
  CommandLine line;
  line.webPort = webPort;
  if (!badWebPort.isNull()) {
    line.what = CommandLine::Action::Refuse;
    line.text = QStringLiteral("velmor: '") + badWebPort +
                QStringLiteral("' is no port for --web (1 to 65534)\n") + usage;
  } else if (!parser.parse(arguments)) {
    line.what = CommandLine::Action::Refuse;
    line.text = QStringLiteral("velmor: ") + parser.errorText() + QLatin1Char('\n') + usage;
  } else if (!parser.positionalArguments().isEmpty()) {
    line.what = CommandLine::Action::Refuse;
    line.text = QStringLiteral("velmor: unexpected argument '") +
                parser.positionalArguments().constFirst() + QStringLiteral("'\n") + usage;
  } else if (parser.isSet(help)) {
    line.what = CommandLine::Action::ShowHelp;
    line.text = usage;
  } else if (parser.isSet(version)) {
    line.what = CommandLine::Action::ShowVersion;
    line.text = QStringLiteral("velmor ") + QStringLiteral(VELMOR_VERSION) + QLatin1Char('\n');
  }
  if (line.what == CommandLine::Action::Serve) {
    const bool files = parser.isSet(webCertificate) || parser.isSet(webKey);
    if (files && (!parser.isSet(webCertificate) || !parser.isSet(webKey))) {
      line.what = CommandLine::Action::Refuse;
      line.text = QStringLiteral("velmor: --web-cert and --web-key go together\n") + usage;
    } else if (files && parser.isSet(webOwnTls)) {
      line.what = CommandLine::Action::Refuse;
      line.text =
          QStringLiteral("velmor: --web-tls makes its own certificate; give it or --web-cert\n") +
          usage;
    } else if (files) {
      // Under systemd, a name of a credential the unit loads (LoadCredential=)
      // is a file in the credentials' folder.
      const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
      const auto file = [&credentials](const QString& name) {
        return !credentials.isEmpty() && !name.contains(QLatin1Char('/'))
                   ? credentials + QLatin1Char('/') + name
                   : name;
      };
      line.webTls.certificateFile = file(parser.value(webCertificate));
      line.webTls.keyFile = file(parser.value(webKey));
    } else if (parser.isSet(webOwnTls)) {
      line.webTls.ownDirectory = tls::StateDirectory();
    }
    if (line.webTls.Wanted() && !line.webPort) line.webPort = CommandLine::DefaultWebPort;
  }
  line.noWindow = parser.isSet(noWindow);
  if (!parser.isSet(noHistory))
    line.historyFile = tls::StateDirectory() + QStringLiteral("/room.sqlite");
  line.webOrigins = parser.values(webOrigin);
  if (line.what == CommandLine::Action::Serve && parser.isSet(webGrace)) {
    bool number = false;
    const int seconds = parser.value(webGrace).toInt(&number);
    // At most a day: the timer counts in milliseconds.
    if (!number || seconds < 0 || seconds > 86400) {
      line.what = CommandLine::Action::Refuse;
      line.text = QStringLiteral("velmor: '") + parser.value(webGrace) +
                  QStringLiteral("' is no number of seconds for --web-grace (0 to 86400)\n") +
                  usage;
    } else {
      line.webGraceSeconds = seconds;
    }
  }
  return line;
}

}  // namespace velmor
