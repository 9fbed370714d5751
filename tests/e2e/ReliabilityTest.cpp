// What one client sends or does must not cost the others anything: hostile
// bytes, churn, clients that never read, bursts beyond the slot limit, a
// lack of descriptors, key guessing and a browser's floods, each against the
// real program.
#include <QWebSocket>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"
#include "tests/support/Wait.h"

namespace velmor::testing {
namespace {

using namespace std::chrono_literals;

const std::string kAccepted = "Pibbetより接続を受け付けました";
const std::string kFull = "接続数が上限に達したため、接続を断りました";

std::string Join(const std::string& name) { return "【お知らせ！】" + name + "さんが参加しました"; }
std::string Leave(const std::string& name) {
  return "【お知らせ】" + name + "さんが退室されました";
}

// The state reply for the given members and log lines (oldest first).
std::string Reply(const std::vector<std::string>& members, const std::vector<std::string>& log) {
  std::string text;
  for (const auto& name : members) {
    if (!name.empty()) text += name + "\r\n";  // an empty name is not listed
  }
  text += "/*/";
  const std::size_t first = log.size() > 50 ? log.size() - 50 : 0;
  for (std::size_t i = log.size(); i > first; --i) text += log[i - 1] + "\r\n";
  return Wire(text);
}

class Reliability : public RunningServer {
 protected:
  void SetUp() override {
    // The tests hold many connections of their own at once.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    RunningServer::SetUp();
  }
  // A member joined under name; its reply is whole once the log holds
  // logLines lines (the join counted).
  std::unique_ptr<Client> Joined(const std::string& name, const std::string& key,
                                 std::size_t logLines) {
    auto client = std::make_unique<Client>();
    client->Send(Wire("CanEnter?" + name + "/*/~" + key));
    const std::string reply = client->ReceiveState(std::min<std::size_t>(logLines, 50));
    EXPECT_NE(reply.find(Wire(Join(name) + "\r\n")), std::string::npos)
        << "no whole reply to the join of " << name;
    return client;
  }
  // A new connection that the server took: refused ones are closed at once,
  // so whichever comes first, a reply to the join or the end of the stream,
  // tells which.
  std::unique_ptr<Client> Accepted(const std::string& join) {
    for (int tries = 0; tries < 200; ++tries) {
      auto client = std::make_unique<Client>();
      client->Send(Wire(join));
      if (client->AwaitAnswer() == Client::Answer::Reply) return client;
    }
    return nullptr;
  }
  // Fetches until the reply is the expected one: closes reach the server on
  // their own time.
  std::string FetchUntil(const Client& client, const std::string& key,
                         const std::string& expected) {
    std::string reply;
    for (int i = 0; i < 200 && reply != expected; ++i) {
      client.Send(Wire("/Reflesh//*/~" + key));
      reply = client.Receive(expected.size(), 2s);
      if (reply != expected) std::this_thread::sleep_for(5ms);
    }
    return reply;
  }
};

TEST_F(Reliability, HostileBytesNeverCostTheOtherMembersAByte) {
  auto witness = Joined("W", "w", 1);
  std::vector<std::string> log{Join("W")};
  std::mt19937 random(20261207);

  // Dropped at once: no separator anywhere (no byte 0x2F), whatever else.
  std::vector<std::string> dropped;
  for (int i = 0; i < 150; ++i) {
    std::string bytes(1 + random() % 3000, '\0');
    for (char& b : bytes) {
      do b = static_cast<char>(random() & 0xFF);
      while (b == '/');
    }
    dropped.push_back(bytes);
  }
  dropped.push_back("CanEnter?x\x81");                            // lone lead byte at the end
  dropped.push_back("\x81\x20\xfc\xfc\xa0\x80\xfd\xff\x85\x40");  // invalid code page 932
  dropped.push_back(std::string(1 << 20, 'A'));                   // 1 MiB without separator
  dropped.push_back(std::string("\0\0\0/*/~", 7));                // NUL characters: no command
  dropped.push_back(Wire("NormalTel\r\n/*/~wrong key"));          // key of a slot that never joined
  for (const auto& bytes : dropped) {
    Client hostile;
    hostile.Send(bytes);
    ASSERT_TRUE(hostile.ClosedByServer()) << "payload of " << bytes.size() << " bytes";
    ASSERT_EQ(FetchUntil(*witness, "w", Reply({"W"}, log)), Reply({"W"}, log));
  }

  // Carried out: line breaks and NULs inside names, the separator at every
  // position of a join.
  // The separator at every position of the name: what follows it is the key.
  const std::vector<std::string> pieces{"名", "前", "a", "\r", "\n", "b"};
  std::vector<std::pair<std::string, std::string>> joins{
      {"a\r\nb", "k"}, {std::string("n\0l", 3), "k"}, {"\r\n/*/\r\n", "k"}};
  for (std::size_t p = 0; p <= pieces.size(); ++p) {
    std::string name, key;
    for (std::size_t i = 0; i < pieces.size(); ++i) (i < p ? name : key) += pieces[i];
    joins.emplace_back(name, key);
  }
  for (const auto& [name, key] : joins) {
    Client member;
    member.Send(Wire("CanEnter?" + name + "/*/~" + key));
    log.push_back(Join(name));
    ASSERT_EQ(member.Receive(Reply({"W", name}, log).size()), Reply({"W", name}, log));
    member.Reset();
    log.push_back(Leave(name));
    ASSERT_EQ(FetchUntil(*witness, "w", Reply({"W"}, log)), Reply({"W"}, log));
  }
  // The separator before the command word ends: an unknown command.
  const std::string word = "CanEnter?名前abc";
  for (std::size_t p = 0; p < 9; ++p) {
    Client hostile;
    hostile.Send(Wire(word.substr(0, p) + "/*/~" + word.substr(p)));
    ASSERT_TRUE(hostile.ClosedByServer()) << "separator at " << p;
  }
  EXPECT_EQ(FetchUntil(*witness, "w", Reply({"W"}, log)), Reply({"W"}, log));
}

// A long request comes over a real network in segments, and the server may
// read when only the first has come: a request is whole once its separator
// has come, and a chat or fetch once its key is no longer the start of the
// member's. One that never completes is still dropped, after the bound.
TEST_F(Reliability, ARequestInSegmentsIsCarriedOutWhole) {
  const std::string key = "segmentkey";
  auto member = Joined("S", key, 1);
  std::vector<std::string> log{Join("S")};
  const auto kana = [](std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += "か";
    return text;
  };
  struct Row {
    const char* name;
    std::string line;
    std::size_t segment;
  };
  // The join's request is 9 + 4 + key bytes around the line, two bytes a kana.
  const std::size_t around = 9 + 4 + key.size();
  const Row rows[] = {
      {"800 kana", kana(800), 1448},
      {"3,000 kana", kana(3000), 1448},
      {"30,000 kana", kana(30000), 1448},
      {"the separator across two segments", kana(700) + "ab", 9 + 1400 + 2 + 2},
      {"the key's last byte alone", kana(1000) + "a", 2 * 1000 + 1 + around - 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    member->SendInSegments(Wire("NormalTel" + row.line + "/*/~" + key), row.segment);
    log.push_back("〔S〕" + row.line);
    const std::string expected = Reply({"S"}, log);
    ASSERT_EQ(member->Receive(expected.size(), 10s), expected);
  }
  // Never whole: no separator, or a key that stops short; each is dropped
  // once the bound is over, as a request that is not one.
  const std::string never[] = {"NormalTel" + kana(900), "NormalTel" + kana(900) + "/*/~segm",
                               "/Reflesh//*/~segment"};
  for (std::size_t i = 0; i < std::size(never); ++i) {
    const std::string name = "T" + std::to_string(i);
    auto stuck = Joined(name, key, log.size() + 1);
    log.push_back(Join(name));
    stuck->SendInSegments(Wire(never[i]));
    EXPECT_EQ(stuck->AwaitAnswer(10s), Client::Answer::Closed) << never[i].size() << " bytes";
  }
  const std::string expected = Reply({"S"}, log);
  EXPECT_EQ(FetchUntil(*member, key, expected), expected) << "the member is served throughout";
}

TEST_F(Reliability, ChurnOfTenThousandConnectionsLeavesNothingBehind) {
  constexpr int kCycles = 10000;
  const auto cycle = [](int i) {
    Client client;
    if (!client.Connected()) return;
    const int kind = i % 5;
    if (kind >= 2) {
      client.Send(Wire("CanEnter?c" + std::to_string(i) + "/*/~k"));
      // The reply has begun: the join was carried out.
      if (kind != 4) client.Receive(1, 5s);
    }
    if (kind == 4) {
      client.Send("/Reflesh//*");  // vanishes in the middle of a request
    }
    if (i % 2 == 0) {
      client.Close();
    } else {
      client.Reset();
    }
  };
  const int fdsBefore = server->OpenDescriptors();
  for (int i = 0; i < 200; ++i) cycle(i);  // warm-up: first allocations settle
  // Closes reach the server on their own time: wait until it holds no
  // connection again.
  const auto descriptorsWithin = [&](int bound) {
    for (int i = 0; i < 2000 && server->OpenDescriptors() > bound; ++i)
      std::this_thread::sleep_for(5ms);
    return server->OpenDescriptors();
  };
  // The window opens a font file or two when it first draws new characters.
  constexpr int kLazyFiles = 2;
  ASSERT_LE(descriptorsWithin(fdsBefore + kLazyFiles), fdsBefore + kLazyFiles);
  const long rssBefore = server->ResidentKiB();

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCycles; ++i) cycle(i);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Twenty connections that never send anything, then gone.
  {
    std::vector<Client> idle(20);
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < 20; i += 2) idle[i].Reset();
  }
  // Every slot is free again before the newcomers come: a slot is taken
  // lowest first, so a close still on its way would shuffle the member list.
  ASSERT_LE(descriptorsWithin(fdsBefore + kLazyFiles), fdsBefore + kLazyFiles)
      << "the churn left connections open";

  // Twenty newcomers get every slot and exact member lists.
  std::vector<std::unique_ptr<Client>> members;
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    names.push_back("member" + std::to_string(100 + i));
    std::unique_ptr<Client> client = Accepted("CanEnter?" + names.back() + "/*/~k");
    ASSERT_TRUE(client) << "newcomer " << i << " was never accepted";
    std::string expectedMembers;
    for (const auto& name : names) expectedMembers += name + "\r\n";
    const std::string head = Wire(expectedMembers + "/*/" + Join(names.back()) + "\r\n");
    ASSERT_EQ(client->Receive(head.size()).substr(0, head.size()), head) << "newcomer " << i;
    members.push_back(std::move(client));
  }
  const int fdsAfter = descriptorsWithin(fdsBefore + 20 + kLazyFiles);
  const long rssAfter = server->ResidentKiB();
  std::printf(
      "churn: %d cycles in %.2f s; descriptors %d -> %d (20 members connected); "
      "resident %ld -> %ld KiB\n",
      kCycles, seconds, fdsBefore, fdsAfter, rssBefore, rssAfter);
  EXPECT_LE(fdsAfter, fdsBefore + 20 + kLazyFiles)
      << "one descriptor per connected member, no more";
#ifndef VELMOR_SANITIZED
  EXPECT_LE(rssAfter, rssBefore + 4096) << "resident memory within 4 MiB of the start";
#else
  std::printf(
      "resident memory not bounded here: AddressSanitizer keeps freed memory in quarantine\n");
#endif
}

TEST_F(Reliability, ClientThatNeverReadsIsDroppedAndOthersAreNotSlowed) {
  auto reader = Joined("reader", "r", 1);
  auto sink = Joined("sink", "s", 2);
  // Fill the log with long lines so every reply is about 800 KB.
  const std::string text(8000, 'x');
  for (int i = 0; i < 50; ++i) {
    sink->Send(Wire("NormalTel" + text + "/*/~s"));
    ASSERT_FALSE(sink->ReceiveState(std::min(3 + i, 50)).empty());
  }
  // How long the reader's reply takes while everyone reads, as the measure
  // for how long it may take while the sink does not.
  std::string seen;  // the reader's last reply
  const auto timedFetch = [&] {
    const auto asked = std::chrono::steady_clock::now();
    reader->Send(Wire("/Reflesh//*/~r"));
    seen = reader->ReceiveState(50);
    EXPECT_TRUE(seen.starts_with(Wire("reader\r\n")));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  };
  timedFetch();  // the first reply of a kind is encoded whole
  double baseline = 0;
  for (int i = 0; i < 20; ++i) baseline = std::max(baseline, timedFetch());
  // Now it asks and asks and never reads.
  const int port = sink->LocalPort();
  const std::string dropped =
      "127.0.0.1:" + std::to_string(port) + "(127.0.0.1)でエラーにより、この接続を切ります";
  double slowest = 0;
  // Replies that took ten times the slowest while all read. A server held up
  // by the silent client makes several; one alone is the machine pausing
  // (this virtual machine stalls a process for 4 to 5 ms now and then).
  int heldUp = 0;
  // Each request of the sink is a chat line, which the reader sees once the
  // server has handled it; only then comes the next, so that two requests
  // never reach the server as one arrival.
  for (int i = 0; i < 200 && !server->WaitForStatus(dropped, 1, 0ms); ++i) {
    const std::string tag = "#" + std::to_string(i) + "#";
    sink->Send(Wire("NormalTel" + tag + text + "/*/~s"));
    for (int tries = 0; tries < 100 && seen.find(tag) == std::string::npos; ++tries) {
      const double took = timedFetch();
      slowest = std::max(slowest, took);
      if (took >= 10 * baseline) ++heldUp;
    }
    ASSERT_NE(seen.find(tag), std::string::npos) << "the sink's line " << i << " never came";
  }
  ASSERT_TRUE(server->WaitForStatus(dropped))
      << "more than 1 MiB waited and it was not dropped\n"
      << server->Stderr().substr(server->Stderr().size() > 3000 ? server->Stderr().size() - 3000
                                                                : 0);
  std::printf(
      "never-reading client dropped; slowest reply to the other member: %.1f ms "
      "(%.1f ms while all read); %d replies over ten times that\n",
      slowest * 1000, baseline * 1000, heldUp);
  EXPECT_LE(heldUp, 1) << "the silent client held the other member up";
  reader->Send(Wire("/Reflesh//*/~r"));
  EXPECT_TRUE(reader->ReceiveState(50).starts_with(Wire("reader\r\n/*/"))) << "sink is gone";
}

TEST_F(Reliability, SlowReaderGetsALargeStateWhole) {
  // As on a real link rather than loopback: the kernel takes at most 256 KiB
  // of a reply, the rest waits in the server. (This network namespace is the
  // test's own.)
  const auto setSendBuffers = [](const std::string& sizes) {
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << sizes;
  };
  std::string original;
  std::getline(std::ifstream("/proc/sys/net/ipv4/tcp_wmem"), original);
  setSendBuffers("4096 16384 262144");
  auto poster = Joined("poster", "p", 1);
  // 50 lines of 30,000 characters: a state of 1.5 MB.
  for (int i = 0; i < 50; ++i) {
    poster->Send(Wire("NormalTel" + std::string(30000, 'a' + i % 26) + "/*/~p"));
    ASSERT_FALSE(poster->ReceiveState(std::min(i + 2, 50), 30s).empty());
  }
  // It reads all the time, through a window of 4 KiB.
  Client reader(5000, 4096);
  for (int round = 0; round < 2; ++round) {
    reader.Send(Wire(round == 0 ? "CanEnter?reader/*/~r" : "/Reflesh//*/~r"));
    const std::string reply = reader.ReceiveState(50, 60s);
    EXPECT_GT(reply.size(), 1450000u) << "round " << round;
    EXPECT_TRUE(reply.starts_with(Wire("poster\r\nreader\r\n/*/"))) << "round " << round;
  }
  setSendBuffers(original);
}

TEST_F(Reliability, BurstBeyondTwentyIsRefusedAndTheTwentyLoseNothing) {
  std::vector<std::unique_ptr<Client>> members;
  std::vector<std::string> names, log;
  for (int i = 0; i < 20; ++i) {
    names.push_back("m" + std::to_string(i));
    log.push_back(Join(names.back()));
    members.push_back(Joined(names.back(), "k", log.size()));
  }
  int refused = 0;
  for (int batch = 0; batch < 4; ++batch) {
    std::vector<Client> burst(250);
    for (auto& client : burst) refused += client.ClosedByServer() ? 1 : 0;
  }
  EXPECT_EQ(refused, 1000);
  EXPECT_TRUE(server->WaitForStatus(kFull, 1000));
  for (auto& member : members) {
    EXPECT_EQ(member->Exchange(Wire("/Reflesh//*/~k"), Reply(names, log).size()),
              Reply(names, log));
  }
  members[7]->Close();
  log.push_back(Leave("m7"));
  std::unique_ptr<Client> late = Accepted("CanEnter?late/*/~z");
  ASSERT_TRUE(late);
  names[7] = "late";
  log.push_back(Join("late"));
  EXPECT_EQ(late->Receive(Reply(names, log).size()), Reply(names, log))
      << "the newcomer took slot 8";
}

TEST_F(Reliability, OutOfDescriptorsIsReportedOnceWithoutSpinningThenServedAgain) {
  const int baseline = server->OpenDescriptors();
  ASSERT_TRUE(server->SetDescriptorLimit(baseline + 3));
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 6; ++i) clients.push_back(std::make_unique<Client>());
  const std::string trouble = "待受ポート5000(0.0.0.0)でエラーにより、この接続を切ります";
  ASSERT_TRUE(server->WaitForStatus(trouble));
  const double cpuBefore = server->CpuSeconds();
  std::this_thread::sleep_for(2s);
  const double cpu = server->CpuSeconds() - cpuBefore;
  int reports = 0;
  for (const auto& line : server->StatusLines()) reports += line == trouble;
  std::printf("out of descriptors: %d report(s), %.2f s of CPU in 2 s of waiting\n", reports, cpu);
  EXPECT_EQ(reports, 1);
  EXPECT_LT(cpu, 0.2) << "the listener must rest, not spin";

  // Two accepted clients leave; their descriptors let the waiting ones in.
  clients[0]->Close();
  clients[1]->Close();
  for (int i = 2; i < 6; ++i) {
    EXPECT_EQ(clients[i]->Exchange(Wire("/Reflesh//*/~"), 3).substr(0, 3), "/*/") << "client " << i;
    if (i == 3) {
      clients[2]->Close();
      clients[3]->Close();
    }
  }
  ASSERT_TRUE(server->SetDescriptorLimit(1024));
}

TEST_F(Reliability, GuessedKeysNeverPostOrReadTheRoom) {
  std::vector<std::unique_ptr<Client>> members;
  std::vector<std::string> names;
  for (int i = 0; i < 10; ++i) {
    names.push_back("owner" + std::to_string(i));
    members.push_back(Joined(names.back(), "secret" + std::to_string(i), names.size()));
  }
  std::size_t logLines = names.size();
  // Ten guessers at a time join, then try a key that is not theirs; others
  // never join and try keys outright.
  int guesses = 0;
  for (int round = 0; round < 30; ++round) {
    std::vector<std::unique_ptr<Client>> guessers;
    for (int g = 0; g < 10; ++g) {
      auto guesser = std::make_unique<Client>();
      if (g % 2 == 0) {
        guesser->Send(Wire("CanEnter?g/*/~mine"));
        ++logLines;
        ASSERT_FALSE(guesser->ReceiveState(std::min<std::size_t>(logLines, 50)).empty());
      }
      guessers.push_back(std::move(guesser));
    }
    for (int g = 0; g < 10; ++g) {
      const std::string key = "secret" + std::to_string((round + g) % 10);
      guessers[g]->Send(Wire((g % 3 ? "NormalTelforged/*/~" : "/Reflesh//*/~") + key));
      ++guesses;
    }
    for (auto& guesser : guessers) {
      EXPECT_TRUE(guesser->ClosedByServer());
      EXPECT_TRUE(guesser->Receive(1, 1ms).empty());
    }
  }
  // Only the owners are members, and every line of the log is a join.
  const std::string state = members[0]->Exchange(Wire("/Reflesh//*/~secret0"), 1 << 16);
  std::string list;
  for (const auto& name : names) list += name + "\r\n";
  EXPECT_TRUE(state.starts_with(Wire(list + "/*/"))) << "the guessers left no member behind";
  EXPECT_EQ(state.find(Wire("forged")), std::string::npos)
      << guesses << " guesses posted something";
  EXPECT_EQ(guesses, 300);
}

// A browser's lines reach the room with no reply through the clients' shared
// encoder, so a client's next fetch finds none of the lines it was sent
// last; floods of fixed-width lines put the reply's log back where it was.
TEST_F(Reliability, AClientsFetchesStayExactThroughABrowsersFloodsOfFixedWidthLines) {
  server.reset();
  server = std::make_unique<VelmorProcess>(std::string(), std::vector<std::string>{},
                                           std::vector<std::string>{"--no-window", "--web"});
  ASSERT_TRUE(server->WaitForStderr("the page is at")) << server->Stderr();
  const auto client = Joined("C", "c", 1);
  QWebSocket browser(QStringLiteral("http://127.0.0.1:5080"));
  QString last;
  QObject::connect(&browser, &QWebSocket::textMessageReceived,
                   [&](const QString& text) { last = text; });
  browser.open(QUrl(QStringLiteral("ws://127.0.0.1:5081/")));
  ASSERT_TRUE(WaitUntil([&] { return browser.state() == QAbstractSocket::ConnectedState; }));
  browser.sendTextMessage(QStringLiteral("CanEnter?B/*/~b"));
  std::vector<std::string> log = {Join("C"), Join("B")};
  for (int flood = 0; flood < 3; ++flood) {
    for (int i = 0; i < 60; ++i) {
      const std::string text = "line " + std::to_string(flood) + "-" + std::to_string(10 + i);
      browser.sendTextMessage(QString::fromStdString("NormalTel" + text + "/*/~b"));
      log.push_back("〔B〕" + text);
    }
    // The flood is in the room once the browser has the reply to its last line.
    ASSERT_TRUE(WaitUntil([&] { return last.contains(QString::fromStdString(log.back())); }))
        << "flood " << flood;
    const std::string expected = Reply({"C", "B"}, log);
    for (int fetch = 0; fetch < 2; ++fetch) {
      EXPECT_EQ(client->Exchange(Wire("/Reflesh//*/~c"), expected.size()), expected)
          << "flood " << flood << ", fetch " << fetch;
    }
  }
}

}  // namespace
}  // namespace velmor::testing
