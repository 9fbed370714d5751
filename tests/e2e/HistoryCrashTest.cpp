// The room kept across crashes: the real program under a flood of chat from
// Pibbet clients and pages, killed at a random moment a hundred times, and
// started again on the same history each time. Every line a page was told
// is kept must come back, no line twice, nobody's lines out of order or with
// a hole, and the pages back in their own places without a join or a leave.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness/ProcessHarness.h"
#include "tests/e2e/VelmorProcess.h"
#include "tests/support/Wait.h"
#include "wire/Cp932.h"

namespace velmor::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 100;
constexpr qsizetype kLogLines = 50;
// Lines a page sends ahead of their confirmation: enough for the pages'
// lines to stay in the log beside the Pibbet clients' flood.
constexpr qint64 kAhead = 16;
constexpr int kWaitMs = 10000;  // the most a step may take (a commit may wait for a busy disk)

QString JoinLine(const QString& name) {
  return QStringLiteral("【お知らせ！】") + name + QStringLiteral("さんが参加しました");
}

// A state reply taken apart, names and lines newest first; why says what
// is wrong with its form, if anything.
struct State {
  QStringList members, lines;
  std::string why;
};

State Parse(const std::string& bytes) {
  State state;
  const QString text = QString::fromStdU16String(Cp932::Instance().Decode(bytes));
  const auto split = [](const QString& part, QStringList& into) {
    if (part.isEmpty()) return true;
    if (!part.endsWith(QStringLiteral("\r\n"))) return false;
    into = part.chopped(2).split(QStringLiteral("\r\n"));
    return !into.contains(QString());
  };
  const qsizetype at = text.indexOf(QStringLiteral("/*/"));
  if (at < 0 || !split(text.left(at), state.members) || !split(text.mid(at + 3), state.lines)) {
    state.why = "not names CR LF, \"/*/\", lines CR LF: " + text.left(300).toStdString();
  } else if (state.lines.size() > kLogLines) {
    state.why = std::to_string(state.lines.size()) + " lines";
  }
  return state;
}

// A page as the browser's page behaves: it sends its lines ahead of their
// confirmation, keeps those not confirmed, and after a reconnection joins
// again with its key and sends them again, under the same ids.
struct Page {
  QString name, key;
  std::unique_ptr<QWebSocket> socket;
  qint64 said = 0, acked = 0;  // ids from 1: the newest line sent, the newest confirmed
  bool flooding = false;
  bool inRoom = false;  // the `room` since the last Connect came
  QStringList members, lines;
  qint64 roomAck = 0;

  void Connect() {
    inRoom = false;
    socket = std::make_unique<QWebSocket>(QStringLiteral("http://127.0.0.1:5080"));
    QObject::connect(socket.get(), &QWebSocket::connected, [this] {
      Send({{"type", "join"}, {"name", name}});
    });
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived,
                     [this](const QString& text) { OnMessage(text); });
    socket->open(QUrl(QStringLiteral("ws://127.0.0.1:5080/chat")));
  }
  void OnMessage(const QString& text) {
    const QJsonObject news = QJsonDocument::fromJson(text.toUtf8()).object();
    const auto strings = [&](const char* field) {
      QStringList list;
      for (const auto& value : news.value(QLatin1String(field)).toArray()) list << value.toString();
      return list;
    };
    const qint64 ack = news.value(QLatin1String("ack")).toInteger(0);
    if (news.value(QLatin1String("type")).toString() == QLatin1String("room")) {
      inRoom = true;
      members = strings("members");
      lines = strings("lines");
      roomAck = ack;
    }
    acked = std::max(acked, ack);
    TopUp();
  }
  void TopUp() {
    while (flooding && said - acked < kAhead) Say(++said);
  }
  void Say(qint64 id) {
    Send({{"type", "say"}, {"text", QStringLiteral("%1-%2").arg(name).arg(id)}, {"id", id}});
  }
  void Send(QJsonObject message) {
    message.insert(QLatin1String("v"), 1);
    message.insert(QLatin1String("key"), key);
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
  }
};

// A Pibbet client on a thread of its own: joins under a name of the round
// and posts its numbered lines one after the other, each once the reply to
// the one before has come and shown it as the newest, until the server is
// killed (closing before that would be a leave line). It pauses half a
// millisecond between lines: without the pause the two clients post some
// 15,000 lines a second, and a log of 50 then seldom holds any page's.
struct Flooder {
  int index = 0;
  qint64 next = 1;  // the number of the line it posts next
  long posted = 0;
  std::string error;
  std::thread thread;

  void Start(int round, const std::atomic<bool>& killing) {
    error.clear();
    thread = std::thread([this, round, &killing] {
      const std::string name = "p" + std::to_string(index) + "_" + std::to_string(round);
      std::string own = Wire(JoinLine(QString::fromStdString(name)).toStdString() + "\r\n");
      std::string request = Wire("CanEnter?" + name + "/*/~key");
      Client client;
      for (int i = 0; i < 1000000; ++i) {
        client.Send(request);
        const std::string reply = client.ReceiveState(kLogLines, 5s);
        const std::size_t at = reply.find("/*/");
        const long ends =
            std::count(reply.begin() + (at == std::string::npos ? 0 : at), reply.end(), '\n');
        if (at == std::string::npos || ends != kLogLines ||
            reply.compare(at + 3, own.size(), own) != 0) {
          if (!killing) error = name + ": no whole reply showing its line: " + reply.substr(0, 300);
          return;
        }
        if (i > 0) {
          ++next;
          ++posted;
        }
        const std::string text = "p" + std::to_string(index) + "-" + std::to_string(next);
        own = Wire("〔" + name + "〕" + text + "\r\n");
        request = Wire("NormalTel" + text + "/*/~key");
        std::this_thread::sleep_for(500us);
      }
    });
  }
};

// A browser member that only watches, straight off its socket on a thread
// of its own: once armed, it kills the server the moment news reaches it.
// It is told after the pages, in the same pass as their confirmations, so
// that is the moment a confirmation sent before its line was kept is lost.
struct Watcher {
  std::string key;
  std::thread thread;

  void Start(pid_t server, const std::atomic<bool>& stop, const std::atomic<bool>& armed,
             std::atomic<bool>& killing) {
    thread = std::thread([this, server, &stop, &armed, &killing] {
      Client socket(5080);
      socket.Send(
          "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:5080\r\nUpgrade: websocket\r\n"
          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
          "Sec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:5080\r\n\r\n");
      std::string answer;
      while (answer.find("\r\n\r\n") == std::string::npos) {
        const std::string more = socket.Receive(1);
        if (more.empty()) return;
        answer += more;
      }
      // A masked text frame, as a browser sends it (the join is shorter than 126 bytes).
      const std::string join = R"({"v":1,"type":"join","name":"w","key":")" + key + "\"}";
      std::string frame{'\x81', static_cast<char>(0x80 | join.size()), 1, 2, 3, 4};
      for (std::size_t i = 0; i < join.size(); ++i)
        frame += static_cast<char>(join[i] ^ (1 + i % 4));
      socket.Send(frame);
      for (int i = 0; i < 1000000 && !stop; ++i) {
        const Client::Answer news = socket.AwaitAnswer(5ms);
        if (news == Client::Answer::Closed) return;
        if (news == Client::Answer::Nothing) continue;
        if (armed) {
          killing = true;
          ::kill(server, SIGKILL);
          return;
        }
        socket.Receive(1, 5ms);
      }
    });
  }
};

// Another program holding the history file's write lock for a while, as a
// disk that stalls holds the server's writer up: nothing may be confirmed
// meanwhile. Null, with why, when the lock could not be had.
sqlite3* HoldHistory(const std::string& runtime, std::string& why) {
  sqlite3* db = nullptr;
  const std::string path = runtime + "/state/velmor/room.sqlite";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    // Its close must not checkpoint: the restart finds the journal as the kill left it.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // The server's writer takes the lock again at once under a flood:
    // sleeping between tries would miss each moment it is free.
    sqlite3_busy_handler(
        db, [](void*, int tries) { return tries < 200000 ? 1 : 0; }, nullptr);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) return db;
  }
  why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  return nullptr;
}

// What the log (newest first) must show after a restart: only lines the
// senders posted, none twice, each sender's lines in order without a hole,
// no leave line, no page joining again after its first lines, and every
// page's newest confirmed line kept, or pushed out by newer lines of its.
std::string LogProblems(const QStringList& lines, const std::vector<Page>& pages) {
  static const QRegularExpression said(QStringLiteral("^〔([^〕]+)〕(([pb]\\d)-(\\d+))$"));
  static const QRegularExpression join(QStringLiteral("^【お知らせ！】(.+)さんが参加しました$"));
  std::string problems;
  const auto problem = [&](const QString& what) { problems += what.toStdString() + "\n"; };
  std::map<QString, std::vector<qint64>> numbers;  // each sender's, oldest first
  QSet<QString> seen;
  for (qsizetype i = lines.size() - 1; i >= 0; --i) {
    const QString& line = lines[i];
    if (seen.contains(line)) problem(QStringLiteral("twice in the log: ") + line);
    seen.insert(line);
    const auto match = said.match(line);
    const QString joined = join.match(line).captured(1);
    if (match.hasMatch() && match.captured(1).startsWith(match.captured(3))) {
      std::vector<qint64>& before = numbers[match.captured(3)];
      const qint64 number = match.captured(4).toLongLong();
      if (!before.empty() && number != before.back() + 1)
        problem(QStringLiteral("after %1-%2: ").arg(match.captured(3)).arg(before.back()) + line);
      before.push_back(number);
    } else if (joined.isEmpty()) {
      problem(QStringLiteral("a line nobody posted: ") + line);
    } else if (numbers.contains(joined)) {
      problem(QStringLiteral("joined again after its lines: ") + line);
    }
  }
  for (const Page& page : pages) {
    const std::vector<qint64>& kept = numbers[page.name];
    if (page.acked == 0) continue;
    if (kept.empty() && lines.size() < kLogLines) {
      problem(QStringLiteral("%1: none of its lines, confirmed through %2, in a log of %3")
                  .arg(page.name)
                  .arg(page.acked)
                  .arg(lines.size()));
    } else if (!kept.empty() && kept.front() <= page.acked &&
               std::find(kept.begin(), kept.end(), page.acked) == kept.end()) {
      problem(QStringLiteral("%1: line %2 was confirmed and is lost; the log holds %3 to %4")
                  .arg(page.name)
                  .arg(page.acked)
                  .arg(kept.front())
                  .arg(kept.back()));
    }
  }
  return problems;
}

TEST(HistoryCrash, ConfirmedLinesOutliveAHundredKillsUnderAFlood) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  const char* given = std::getenv("HISTORY_CRASH_SEED");
  const unsigned seed =
      given != nullptr ? std::strtoul(given, nullptr, 10) : std::random_device{}();
  std::printf("seed %u (HISTORY_CRASH_SEED=%u kills at the same moments)\n", seed, seed);
  std::mt19937 random(seed);
  const std::string runtime = harness::MakeTempDir("velmor-crash");
  ASSERT_FALSE(runtime.empty());
  struct Removed {
    std::string dir;
    ~Removed() { std::filesystem::remove_all(dir); }
  } removed{runtime};

  std::vector<Page> pages(3);
  for (std::size_t k = 0; k < pages.size(); ++k) {
    pages[k].name = QStringLiteral("b%1").arg(k);
    pages[k].key = QStringLiteral("key%1-%2").arg(k).arg(seed);
  }
  const auto allPages = [&](auto condition) {
    return WaitUntil([&] { return std::all_of(pages.begin(), pages.end(), condition); }, kWaitMs);
  };
  Flooder flooders[2];
  flooders[1].index = 1;
  Watcher watcher{"w" + std::to_string(seed), {}};
  std::atomic<bool> stop = false, armed = false, killing = false;
  std::vector<double> restartMs;
  long ackedInAll = 0, mostAckedInARound = 0, pageLinesSent = 0, resent = 0, killsAtNews = 0,
       stalls = 0;
  std::unique_ptr<VelmorProcess> server;

  for (int round = 0; round <= kRounds && !HasFailure(); ++round) {
    const auto started = Clock::now();
    server = std::make_unique<VelmorProcess>(runtime, std::vector<std::string>{},
                                             std::vector<std::string>{"--no-window", "--web"});
    // A connection that never joins fetches the room as it was kept. It stays
    // until the kill: its close would be a leave line, as any connection's.
    Client checker;
    checker.Send(Wire("/Reflesh//*/~"));
    const State kept = Parse(checker.ReceiveState(round == 0 ? 0 : kLogLines, 5s));
    restartMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    ASSERT_EQ(kept.why, "") << "round " << round << "\n" << server->Stderr();
    if (round > 0) {
      // More than 50 lines were confirmed in the first round: the log is full.
      EXPECT_EQ(kept.lines.size(), kLogLines) << "round " << round;
      EXPECT_EQ(LogProblems(kept.lines, pages), "") << "round " << round << " restarted on\n"
                                                    << kept.lines.join(u'\n').toStdString();
    }
    std::vector<qint64> ackedBefore;
    for (Page& page : pages) {
      ackedBefore.push_back(page.acked);
      page.Connect();
    }
    ASSERT_TRUE(allPages([](const Page& page) { return page.inRoom; }))
        << "round " << round << ": not every page is back in the room\n"
        << server->Stderr();
    if (round == 0) {
      // The pages fill the log first, so that every reply holds 50 lines.
      for (Page& page : pages) {
        page.flooding = true;
        page.TopUp();
      }
      ASSERT_TRUE(allPages([](const Page& page) { return page.acked > 17; }));
    } else {
      for (std::size_t k = 0; k < pages.size(); ++k) {
        Page& page = pages[k];
        EXPECT_EQ(page.members.count(page.name), 1) << "round " << round;
        EXPECT_EQ(page.members.join(u'|').toStdString(), kept.members.join(u'|').toStdString())
            << "round " << round;
        EXPECT_EQ(page.lines.join(u'\n').toStdString(), kept.lines.join(u'\n').toStdString())
            << "round " << round << ": " << page.name.toStdString();
        EXPECT_GE(page.roomAck, ackedBefore[k])
            << "round " << round << ": " << page.name.toStdString() << " was told line "
            << ackedBefore[k] << " was kept";
        // The lines not confirmed, sent again; those carried out before
        // the crash are only confirmed.
        for (qint64 id = ackedBefore[k] + 1; id <= page.said; ++id, ++resent) page.Say(id);
      }
      ASSERT_TRUE(allPages([](const Page& page) { return page.acked >= page.said; }))
          << "round " << round << ": lines sent again were not confirmed";
      checker.Send(Wire("/Reflesh//*/~"));
      const State after = Parse(checker.ReceiveState(kLogLines, 5s));
      ASSERT_EQ(after.why, "") << "round " << round;
      // The kept log stays as it was, after the lines sent again and not
      // kept before, each once (and each page's newest is its last sent).
      const qsizetype added = after.lines.indexOf(kept.lines.first());
      ASSERT_GE(added, 0) << "round " << round;
      EXPECT_EQ(after.lines.mid(added).join(u'\n').toStdString(),
                kept.lines.first(kLogLines - added).join(u'\n').toStdString())
          << "round " << round;
      EXPECT_EQ(LogProblems(after.lines, pages), "") << "round " << round;
      // Each Pibbet client goes on after its newest line kept.
      for (Flooder& flooder : flooders) {
        const QString sender = QStringLiteral("〕p%1-").arg(flooder.index);
        ++flooder.next;  // its last line may have been posted, and pushed out
        for (const QString& line : kept.lines) {
          if (!line.contains(sender)) continue;
          flooder.next = line.mid(line.indexOf(sender) + sender.size()).toLongLong() + 1;
          break;
        }
      }
    }
    if (round == kRounds || HasFailure()) break;

    // The flood, and the kill: at a random moment, or at the first news
    // after one; in some rounds while the history file is held.
    std::vector<qint64> ackedAtStart, saidAtStart;
    for (Page& page : pages) {
      ackedAtStart.push_back(page.acked);
      saidAtStart.push_back(page.said);
      page.flooding = true;
      page.TopUp();
    }
    stop = armed = killing = false;
    for (Flooder& flooder : flooders) flooder.Start(round, killing);
    watcher.Start(server->Pid(), stop, armed, killing);
    WaitUntil([] { return false; }, std::uniform_int_distribution(20, 300)(random));
    sqlite3* held = nullptr;
    if (random() % 3 == 0) {
      std::string why;
      held = HoldHistory(runtime, why);
      EXPECT_NE(held, nullptr) << "round " << round << ": " << why;
      stalls += held != nullptr;
      WaitUntil([] { return false; }, std::uniform_int_distribution(10, 100)(random));
    }
    if (random() % 2 == 0) {
      armed = true;
      killsAtNews += WaitUntil([&] { return killing.load(); }, 1000);
    }
    // The watcher is done before the server is reaped, so that it never
    // signals a process id that may be another's by then.
    stop = true;
    watcher.thread.join();
    killing = true;
    server->Kill();
    sqlite3_close(held);  // its transaction undone
    for (Flooder& flooder : flooders) {
      flooder.thread.join();
      EXPECT_EQ(flooder.error, "") << "round " << round;
    }
    for (Page& page : pages) page.flooding = false;
    EXPECT_TRUE(allPages([](const Page& page) {
      return page.socket->state() == QAbstractSocket::UnconnectedState;
    })) << "round "
        << round << ": a page did not see the server go";
    long acked = 0;
    for (std::size_t k = 0; k < pages.size(); ++k) {
      acked += pages[k].acked - ackedAtStart[k];
      pageLinesSent += pages[k].said - saidAtStart[k];
    }
    ackedInAll += acked;
    mostAckedInARound = std::max(mostAckedInARound, acked);
  }
  if (server && server->Pid() > 0) {
    const int status = server->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server->Stderr();
  }
  // The first start found no history: the figures are of the restarts.
  restartMs.erase(restartMs.begin());
  std::sort(restartMs.begin(), restartMs.end());
  ASSERT_FALSE(restartMs.empty());
  const long pibbetLines = flooders[0].posted + flooders[1].posted;
  std::printf(
      "%zu kills (%ld at a news, %ld with the history file held); %ld lines confirmed in all, "
      "at most %ld in a round; %ld lines posted (%ld by Pibbet clients, %ld by pages), %ld sent "
      "again; from a restart to the first state reply %.1f / %.1f / %.1f ms (min/median/max)\n",
      restartMs.size(), killsAtNews, stalls, ackedInAll, mostAckedInARound,
      pibbetLines + pageLinesSent, pibbetLines, pageLinesSent, resent, restartMs.front(),
      restartMs[restartMs.size() / 2], restartMs.back());
}

}  // namespace
}  // namespace velmor::testing
