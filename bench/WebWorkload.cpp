// The web workload: 20 browser members over the JSON protocol in a full
// room, one of them posting lines at a steady 100 a second. Measured: each
// line's latency to every member (the poster included), the server's CPU
// time per line, the bytes each member receives per line, and, after a
// restart, the time until all 20 are back in the room. Over TLS (the
// certificate of the server's own, kept across the restart, so that the
// return counts twenty handshakes) the same, beside the plain run.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <QSslSocket>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

namespace {

constexpr int Members = MaxMembers;
constexpr int LinesPerSecond = 100;
// About 40 characters, the poster's name in front: "〔web00〕line 0001 ...".
QString LineText(int n) {
  return QStringLiteral("line %1 ").arg(n, 4, 10, QLatin1Char('0')) + QString(30, u'x');
}

struct WebMember {
  std::unique_ptr<QWebSocket> socket;
  bool inRoom = false;
  long long bytes = 0;
};

void Send(QWebSocket& socket, QJsonObject message, int i) {
  message.insert(QStringLiteral("v"), 1);
  message.insert(QStringLiteral("key"), QStringLiteral("key%1").arg(i));
  socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

// Turns the event loop until done() or the time is up.
bool Await(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

}  // namespace

void RunWeb(const Options& options, Results& results, bool secure) {
  static int argc = 1;
  static char name[] = "velmor-bench";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);

  const QString origin =
      secure ? QStringLiteral("https://127.0.0.1:5080") : QStringLiteral("http://127.0.0.1:5080");
  const QUrl url(secure ? QStringLiteral("wss://127.0.0.1:5080/chat")
                        : QStringLiteral("ws://127.0.0.1:5080/chat"));
  const std::string tag = secure ? "web 20 tls" : "web 20";
  std::vector<std::string> environment;
  std::vector<std::string> arguments;
  std::string state;
  if (secure) {
    char pattern[] = "/tmp/velmor-bench-state-XXXXXX";
    state = ::mkdtemp(pattern);
    environment.push_back("XDG_STATE_HOME=" + state);
    arguments.push_back("--web-tls");
  }
  Server process = Start(Kind::VelmorWeb, options.program, {}, environment, arguments);
  if (!WaitForListener(process.started, 10s)) Fail("velmor --web did not listen on port 5000");
  std::vector<WebMember> members(Members);
  QElapsedTimer clock;
  clock.start();
  std::map<int, qint64> sentAt;  // line number -> ns since clock start
  std::vector<double> latencyUs;
  bool measuring = false;
  const QString posterMark = QStringLiteral("〔web00〕line ");
  for (int i = 0; i < Members; ++i) {
    WebMember& m = members[i];
    m.socket = std::make_unique<QWebSocket>(origin);
    // Which certificate it is does not matter to the figures.
    QObject::connect(m.socket.get(), &QWebSocket::sslErrors, m.socket.get(),
                     [socket = m.socket.get()] { socket->ignoreSslErrors(); });
    QObject::connect(m.socket.get(), &QWebSocket::connected, [&m, i] {
      Send(*m.socket,
           {{"type", "join"}, {"name", QStringLiteral("web%1").arg(i, 2, 10, QLatin1Char('0'))}},
           i);
    });
    QObject::connect(m.socket.get(), &QWebSocket::textMessageReceived, [&, i](const QString& text) {
      const qint64 now = clock.nsecsElapsed();
      WebMember& self = members[i];
      const QJsonObject news = QJsonDocument::fromJson(text.toUtf8()).object();
      if (news.value(QLatin1String("type")).toString() == QLatin1String("room")) {
        self.inRoom = true;
        return;
      }
      if (!measuring) return;
      self.bytes += text.toUtf8().size();
      for (const auto& value : news.value(QLatin1String("lines")).toArray()) {
        const QString line = value.toString();
        if (!line.startsWith(posterMark)) continue;
        const auto at = sentAt.find(line.mid(posterMark.size(), 4).toInt());
        if (at != sentAt.end()) latencyUs.push_back(double(now - at->second) / 1000.0);
      }
    });
    // The page port opens just after the chat port.
    for (int tries = 0; tries < 50; ++tries) {
      m.socket->open(url);
      if (Await(
              [&] {
                return m.socket->state() == QAbstractSocket::ConnectedState ||
                       m.socket->state() == QAbstractSocket::UnconnectedState;
              },
              2000) &&
          m.socket->state() == QAbstractSocket::ConnectedState)
        break;
      Await([] { return false; }, 20);
    }
  }
  if (!Await(
          [&] {
            return std::all_of(members.begin(), members.end(), [](auto& m) { return m.inRoom; });
          },
          10000))
    Fail("the browser members did not all join");
  // A full log first, so that the room is as large as it gets.
  for (int n = 0; n < LogLines; ++n)
    Send(*members[0].socket, {{"type", "say"}, {"text", QStringLiteral("fill")}}, 0);
  Await([] { return false; }, 300);

  // Enough lines that the server's CPU time, counted in clock ticks, is
  // known to a few percent.
  const int lines = std::max(1000, int(options.seconds * LinesPerSecond));
  measuring = true;
  const double cpuBefore = Figures(process.pid).cpuSeconds;
  QTimer pacer;
  pacer.setTimerType(Qt::PreciseTimer);
  int next = 0;
  QObject::connect(&pacer, &QTimer::timeout, [&] {
    if (next >= lines) return pacer.stop();
    sentAt[next] = clock.nsecsElapsed();
    Send(*members[0].socket, {{"type", "say"}, {"text", LineText(next)}, {"id", next}}, 0);
    ++next;
  });
  pacer.start(1000 / LinesPerSecond);
  const bool all = Await([&] { return latencyUs.size() >= std::size_t(lines) * Members; },
                         lines * 1000 / LinesPerSecond + 5000);
  measuring = false;
  const double cpuPerLineUs = (Figures(process.pid).cpuSeconds - cpuBefore) * 1e6 / lines;
  long long bytes = 0;
  for (auto& m : members) bytes += m.bytes;
  if (!all) Fail("not every line reached every browser member");

  // A restart (an upgrade, a crash): every page loses its connection, and
  // all of them come back at once as soon as the server listens again,
  // opening anew every 10 ms until they are in, and join.
  Stop(process);
  if (!Await(
          [&] {
            return std::all_of(members.begin(), members.end(), [](auto& m) {
              return m.socket->state() == QAbstractSocket::UnconnectedState;
            });
          },
          5000))
    Fail("the browser members were not disconnected by the stop");
  for (auto& m : members) m.inRoom = false;
  process = Start(Kind::VelmorWeb, options.program, {}, environment, arguments);
  QTimer retry;
  QObject::connect(&retry, &QTimer::timeout, [&] {
    for (auto& m : members) {
      if (m.socket->state() == QAbstractSocket::UnconnectedState) m.socket->open(url);
    }
  });
  retry.start(10);
  const bool back = Await(
      [&] { return std::all_of(members.begin(), members.end(), [](auto& m) { return m.inRoom; }); },
      10000);
  const double returnMs =
      std::chrono::duration<double, std::milli>(Clock::now() - process.started).count();
  retry.stop();
  members.clear();
  Stop(process);
  if (!state.empty()) std::filesystem::remove_all(state);
  if (!back) Fail("the browser members did not all come back after the restart");

  std::sort(latencyUs.begin(), latencyUs.end());
  const double p50 = latencyUs[latencyUs.size() / 2];
  const double p99 = latencyUs[std::min(latencyUs.size() - 1, latencyUs.size() * 99 / 100)];
  const double perLine = double(bytes) / double(lines) / Members;
  const double lineBytes =
      double(QStringLiteral("〔web00〕").toUtf8().size() + LineText(0).toUtf8().size());
  std::fprintf(stderr,
               "  %s: %d lines at %d a second to %d members; line to member p50 %.0f us, p99 "
               "%.0f us, max %.0f us; server CPU %.1f us per line; %.0f bytes per line per "
               "member (line %.0f bytes)\n",
               tag.c_str(), lines, LinesPerSecond, Members, p50, p99, latencyUs.back(),
               cpuPerLineUs, perLine, lineBytes);
  std::fprintf(stderr, "  %s return: all 20 back in the room %.0f ms after the restart\n",
               tag.c_str(), returnMs);
  if (!secure) {
    results.rows.push_back(
        {tag, "line to member p99 (us)", p99, 0, "<= 2,000", 2000, false, false});
    results.rows.push_back({tag + " return", "ms from a restart to all 20 in the room", returnMs, 0,
                            "<= 1,000", 1000, false, false});
    results.rows.push_back({tag, "bytes per line per member", perLine, 0, "<= line + 200",
                            lineBytes + 200, false, false});
    results.webPlainP99 = p99;
    results.webPlainCpu = cpuPerLineUs;
    return;
  }
  // Beside the plain run just before it: the price of TLS.
  results.rows.push_back({tag, "line to member p99 (us), x plain", p99, results.webPlainP99,
                          "<= 1.5 x plain", 1.5, true, false});
  results.rows.push_back({tag, "server CPU per line (us), x plain", cpuPerLineUs,
                          results.webPlainCpu, "<= 1.5 x plain", 1.5, true, false});
  results.rows.push_back({tag + " return", "ms from a restart to all 20 in the room", returnMs, 0,
                          "<= 1,000", 1000, false, false});
}

}  // namespace velmor::bench
