// The web workload: 20 browser members over the JSON protocol in a full
// room, one of them posting lines at a steady 100 a second. Measured: each
// line's latency to every member (the poster included), the server's CPU
// time per line, the bytes each member receives per line, and, after a
// restart, the time until all 20 are back in the room (the room's history,
// kept across the restart, gives each its place back). Over TLS (the
// certificate of the server's own, kept across the restart too, so that the
// return counts twenty handshakes) the same, beside the plain run. And the
// crash: a server holding a full log and browser members' places killed,
// and the time until a client's fetch shows the same room again.
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
#include <optional>
#include <thread>

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

// The page port opens just after the chat port: tries again a while.
void Open(QWebSocket& socket, const QUrl& url) {
  for (int tries = 0; tries < 50; ++tries) {
    socket.open(url);
    if (Await(
            [&] {
              return socket.state() == QAbstractSocket::ConnectedState ||
                     socket.state() == QAbstractSocket::UnconnectedState;
            },
            2000) &&
        socket.state() == QAbstractSocket::ConnectedState)
      break;
    Await([] { return false; }, 20);
  }
}

// A state directory kept across a restart (Start's own goes with its run).
std::string KeptStateDirectory() {
  char pattern[] = "/tmp/velmor-bench-state-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Fail("cannot make a state directory");
  return pattern;
}

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "velmor-bench";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

}  // namespace

void RunWeb(const Options& options, Results& results, bool secure) {
  EnsureApplication();

  const QString origin =
      secure ? QStringLiteral("https://127.0.0.1:5080") : QStringLiteral("http://127.0.0.1:5080");
  const QUrl url(secure ? QStringLiteral("wss://127.0.0.1:5080/chat")
                        : QStringLiteral("ws://127.0.0.1:5080/chat"));
  const std::string tag = secure ? "web 20 tls" : "web 20";
  std::vector<std::string> environment;
  std::vector<std::string> arguments;
  const std::string state = KeptStateDirectory();
  environment.push_back("XDG_STATE_HOME=" + state);
  if (secure) arguments.push_back("--web-tls");
  Server process = Start(Kind::VelmorWeb, options, {}, environment, arguments);
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
    Open(*m.socket, url);
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
  process = Start(Kind::VelmorWeb, options, {}, environment, arguments);
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
  std::filesystem::remove_all(state);
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

namespace {

// Connects until the server listens and fetches the room as a client that
// has not joined, which adds no line while its connection stays open; the
// connection is handed back open. The reply, or nothing.
std::optional<std::string> FetchOnceServing(Connection& probe, Clock::time_point since) {
  ::close(probe.fd);
  probe.fd = -1;
  while (probe.fd < 0 && Clock::now() - since < 10s) {
    probe.fd = Connect();
    if (probe.fd < 0) std::this_thread::sleep_for(500us);
  }
  if (probe.fd < 0) return std::nullopt;
  return Ask(probe, "/Reflesh//*/~", LogLines);
}

// Milliseconds from a SIGKILL of the server to the room served whole again
// by a new process started at once (as a supervisor without delay would),
// for each of the given number of crashes; exits when the room served is
// not the one the server held.
std::vector<double> Crashes(Server& process, Kind kind, const Options& options,
                            const std::vector<std::string>& environment, const std::string& room,
                            int times) {
  std::vector<double> ms;
  Connection probe;
  for (int n = 0; n < times; ++n) {
    const auto killed = Clock::now();
    Crash(process);
    process = Start(kind, options, room, environment);
    const std::optional<std::string> served = FetchOnceServing(probe, killed);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - killed).count());
    if (served != room)
      Fail(std::string("after a crash ") + KindName(kind) + " served " +
           std::to_string(served ? served->size() : 0) + " bytes, not the room of " +
           std::to_string(room.size()));
  }
  ::close(probe.fd);
  return ms;
}

}  // namespace

void RunCrash(const Options& options, Results& results) {
  if (options.noHistory) {
    std::fprintf(stderr, "  crash: not run with --no-history, which keeps nothing\n");
    return;
  }
  EnsureApplication();
  constexpr int Browsers = 5;
  const QString origin = QStringLiteral("http://127.0.0.1:5080");
  const QUrl url(QStringLiteral("ws://127.0.0.1:5080/chat"));
  const std::string state = KeptStateDirectory();
  const std::vector<std::string> environment{"XDG_STATE_HOME=" + state};
  Server process = Start(Kind::VelmorWeb, options, {}, environment);
  if (!WaitForListener(process.started, 10s)) Fail("velmor --web did not listen on port 5000");

  // Browser members take places, a client fills the log and leaves, and a
  // browser's line is confirmed: then all of it is kept.
  std::vector<WebMember> members(Browsers);
  qint64 acked = -1;
  for (int i = 0; i < Browsers; ++i) {
    WebMember& m = members[i];
    m.socket = std::make_unique<QWebSocket>(origin);
    QObject::connect(m.socket.get(), &QWebSocket::connected, [&m, i] {
      Send(*m.socket,
           {{"type", "join"}, {"name", QStringLiteral("web%1").arg(i, 2, 10, QLatin1Char('0'))}},
           i);
    });
    QObject::connect(m.socket.get(), &QWebSocket::textMessageReceived,
                     [&m, &acked, i](const QString& text) {
                       const QJsonObject news = QJsonDocument::fromJson(text.toUtf8()).object();
                       if (news.value(QLatin1String("type")).toString() == QLatin1String("room"))
                         m.inRoom = true;
                       if (i == 0 && news.contains(QLatin1String("ack")))
                         acked = news.value(QLatin1String("ack")).toInteger();
                     });
    Open(*m.socket, url);
  }
  if (!Await(
          [&] {
            return std::all_of(members.begin(), members.end(), [](auto& m) { return m.inRoom; });
          },
          10000))
    Fail("the browser members did not all join");
  Connection probe;
  probe.fd = Connect();
  {
    Room room;
    if (!SetUp(room, 1)) Fail("the set-up of the crash run failed");
  }
  // The client is gone once the room no longer lists it.
  std::string held;
  for (int tries = 0; tries < 1000; ++tries) {
    held = MustAsk(probe, "/Reflesh//*/~", LogLines);
    if (held.find(Name(0) + "\r\n") == std::string::npos) break;
    std::this_thread::sleep_for(1ms);
  }
  Send(*members[0].socket, {{"type", "say"}, {"text", QStringLiteral("kept")}, {"id", 1}}, 0);
  if (!Await([&] { return acked >= 1; }, 10000)) Fail("the browser's line was never confirmed");
  held = MustAsk(probe, "/Reflesh//*/~", LogLines);
  if (held.find(Name(0) + "\r\n") != std::string::npos || !Complete(held, LogLines))
    Fail("the room before the crash is not the one the run made");

  const int times = std::max(options.repetitions, 5);
  std::vector<double> velmor = Crashes(process, Kind::VelmorWeb, options, environment, held, times);
  ::close(probe.fd);
  Stop(process);
  members.clear();
  std::filesystem::remove_all(state);
  // The floor, started the same way, answers with the same room at once.
  Server floorProcess = Start(Kind::Floor, options, held);
  if (!WaitForListener(floorProcess.started, 10s)) Fail("the floor did not listen on port 5000");
  std::vector<double> floor = Crashes(floorProcess, Kind::Floor, options, {}, held, times);
  Stop(floorProcess);

  const double slowest = *std::max_element(velmor.begin(), velmor.end());
  const double floorSlowest = *std::max_element(floor.begin(), floor.end());
  std::fprintf(stderr,
               "  crash: %d crashes of a room of 50 lines and %d browser places; whole again after "
               "median %.1f ms, max %.1f ms (floor %.1f ms, %.1f ms)\n",
               times, Browsers, Median(velmor), slowest, Median(floor), floorSlowest);
  const std::string tag = "crash, 50 lines, " + std::to_string(Browsers) + " browser places";
  results.rows.push_back({tag, "ms from a SIGKILL to the whole room served, median", Median(velmor),
                          Median(floor), "<= 300", 300, false, false});
  results.rows.push_back({tag, "ms from a SIGKILL to the whole room served, max", slowest,
                          floorSlowest, "<= 1,000", 1000, false, false});
  char json[256];
  std::snprintf(
      json, sizeof json,
      "{\"workload\":\"crash\",\"server\":\"velmor --web\",\"crashes\":%d,\"median_ms\":%."
      "1f,\"max_ms\":%.1f,\"floor_median_ms\":%.1f,\"floor_max_ms\":%.1f}",
      times, Median(velmor), slowest, Median(floor), floorSlowest);
  results.jsonParts.push_back(json);
}

}  // namespace velmor::bench
