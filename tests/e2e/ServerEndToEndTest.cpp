// The real program on port 5000, driven by TCP clients as Pibbet would.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <memory>
#include <vector>

#include "tests/e2e/RunningServer.h"
#include "tests/e2e/VelmorProcess.h"

namespace velmor::testing {
namespace {

const std::string& kWaiting = WaitingStatus;
const std::string kAccepted = "Pibbetより接続を受け付けました";

class ServerEndToEnd : public RunningServer {
 protected:
  // A client that has joined under name with key, its reply whole once the
  // log holds logLines lines.
  Client Join(const std::string& name, const std::string& key, std::size_t logLines) {
    Client client;
    EXPECT_TRUE(client.Connected());
    client.Send(Wire("CanEnter?" + name + "/*/~" + key));
    const std::string reply = client.ReceiveState(logLines);
    EXPECT_NE(reply.find(Wire("【お知らせ！】" + name + "さんが参加しました\r\n")),
              std::string::npos)
        << "no reply to the join of " << name;
    return client;
  }
  std::string Fetch(const Client& client, const std::string& key, std::size_t logLines) {
    client.Send(Wire("/Reflesh//*/~" + key));
    return client.ReceiveState(logLines);
  }
  std::string FetchBytes(const Client& client, const std::string& key, std::size_t size) {
    return client.Exchange(Wire("/Reflesh//*/~" + key), size);
  }
};

TEST_F(ServerEndToEnd, WorkedExampleByteForByteAndRepliesOnlyToTheRequester) {
  Client jiro;
  const std::string joinJiro = Wire("Jiro\r\n/*/【お知らせ！】Jiroさんが参加しました\r\n");
  EXPECT_EQ(jiro.Exchange(Wire("CanEnter?Jiro/*/~j"), joinJiro.size()), joinJiro);
  const std::string hello =
      Wire("Jiro\r\n/*/〔Jiro〕Hello\r\n【お知らせ！】Jiroさんが参加しました\r\n");
  EXPECT_EQ(jiro.Exchange(Wire("NormalTelHello/*/~j"), hello.size()), hello);

  Client hanako;
  const std::string expected = Wire(
      "Jiro\r\nHanako\r\n/*/【お知らせ！】Hanakoさんが参加しました\r\n〔Jiro〕Hello\r\n"
      "【お知らせ！】Jiroさんが参加しました\r\n");
  EXPECT_EQ(hanako.Exchange(Wire("CanEnter?Hanako/*/~h"), expected.size()), expected);
  // Anything sent unasked would arrive ahead of the reply to this fetch.
  const std::string fetched = Wire(
      "Jiro\r\nHanako\r\n/*/【お知らせ！】Hanakoさんが参加しました\r\n〔Jiro〕Hello\r\n"
      "【お知らせ！】Jiroさんが参加しました\r\n");
  EXPECT_EQ(jiro.Exchange(Wire("/Reflesh//*/~j"), fetched.size()), fetched)
      << "nothing is sent unasked";
  EXPECT_TRUE(server->WaitForStatus(kAccepted, 2));
}

TEST_F(ServerEndToEnd, JapaneseAndExtensionCharactersTravelInCodePage932) {
  Client client;
  const std::string name = "髙橋①";
  const std::string expected =
      Wire(name + "\r\n/*/【お知らせ！】" + name + "さんが参加しました\r\n");
  EXPECT_EQ(client.Exchange(Wire("CanEnter?" + name + "/*/~鍵"), expected.size()), expected);
  EXPECT_NE(expected.find("\xfb\xfc"), std::string::npos) << "髙 as Windows writes it";
}

TEST_F(ServerEndToEnd, PeerCloseLogsEmptyLeaveLineAndItsSlotIsReused) {
  Client first;
  ASSERT_TRUE(server->WaitForStatus(kAccepted, 1));
  Client bob = Join("Bob", "b", 1);
  first.Close();
  const std::string leave = Wire("【お知らせ】さんが退室されました\r\n");
  const std::string afterLeave =
      Wire("Bob\r\n/*/") + leave + Wire("【お知らせ！】Bobさんが参加しました\r\n");
  // Polled: the close reaches the server on its own time.
  std::string reply;
  for (int i = 0; i < 100 && reply != afterLeave; ++i)
    reply = FetchBytes(bob, "b", afterLeave.size());
  EXPECT_EQ(reply, afterLeave);

  Client carol = Join("Carol", "c", 3);
  const std::string members = Wire("Carol\r\nBob\r\n/*/");
  EXPECT_EQ(Fetch(carol, "c", 3).substr(0, members.size()), members)
      << "Carol took the freed slot 1, ahead of Bob's slot 2";
}

TEST_F(ServerEndToEnd, TwentyClientsAtMostTheNextIsRefusedUntilOneLeaves) {
  std::vector<Client> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(Join("m" + std::to_string(i), "k", i + 1));
  Client refused;
  ASSERT_TRUE(refused.Connected());
  EXPECT_TRUE(refused.ClosedByServer());
  EXPECT_TRUE(server->WaitForStatus("接続数が上限に達したため、接続を断りました"));

  clients[3].Close();
  // The close reaches the server on its own time; until then newcomers are refused.
  // A refused connection is closed at once, an accepted one answers the join.
  std::unique_ptr<Client> late;
  for (int i = 0; i < 100 && !late; ++i) {
    late = std::make_unique<Client>();
    late->Send(Wire("CanEnter?late/*/~z"));
    if (late->AwaitAnswer() != Client::Answer::Reply) late.reset();
  }
  ASSERT_TRUE(late);
  ASSERT_FALSE(late->ReceiveState(22).empty());
  const std::string reply = Fetch(*late, "z", 22);
  EXPECT_NE(reply.find(Wire("m2\r\nlate\r\nm4\r\n")), std::string::npos) << "late took slot 4";
}

TEST_F(ServerEndToEnd, DropsNameTheirCauseOnTheStatusLine) {
  Client unknown;
  unknown.Send(Wire("canenter?x/*/~k"));
  EXPECT_TRUE(unknown.ClosedByServer());
  EXPECT_TRUE(server->WaitForStatus("無効接続要求[127.0.0.1]"));

  Client malformed;
  malformed.Send(Wire("CanEnter?x"));
  EXPECT_TRUE(malformed.ClosedByServer());
  EXPECT_TRUE(server->WaitForStatus("無効接続により一部閉じました"));

  Client guesser = Join("G", "right", 1);
  const int port = guesser.LocalPort();
  guesser.Send(Wire("NormalTelspoof/*/~wrong"));
  EXPECT_TRUE(guesser.ClosedByServer());
  EXPECT_TRUE(server->WaitForStatus("127.0.0.1:" + std::to_string(port) +
                                    "(127.0.0.1)で無効な接続により一部閉じました"));

  Client witness;
  const std::string state = Fetch(witness, "", 1);
  EXPECT_EQ(state.find(Wire("spoof")), std::string::npos) << "a wrong key posts nothing";
  EXPECT_TRUE(state.starts_with("/*/")) << "the dropped member is no longer listed";
}

TEST_F(ServerEndToEnd, SecondInstanceSaysSoAndDoesNotListen) {
  VelmorProcess second(server->RuntimeDir());
  EXPECT_TRUE(second.WaitForStderr("another instance"));
  EXPECT_TRUE(second.StatusLines().empty()) << second.Stderr();
  EXPECT_TRUE(second.Running());
  Client client = Join("still", "served", 1);
  EXPECT_TRUE(client.Connected());
}

TEST(HeadlessEndToEnd, WithoutADisplayTheWindowIsOffscreenAndClientsAreServed) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="});
  ASSERT_TRUE(server.WaitForStatus(kWaiting)) << server.Stderr();
  EXPECT_NE(server.Stderr().find("no display found"), std::string::npos);
  Client client;
  const std::string expected = Wire("/*/");
  EXPECT_EQ(client.Exchange(Wire("/Reflesh//*/~"), expected.size()), expected);
}

TEST(HeadlessEndToEnd, NoWindowServesClientsAndEndsCleanlyOnTerm) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess server({}, {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="}, {"--no-window"});
  ASSERT_TRUE(server.WaitForStatus(kWaiting)) << server.Stderr();
  EXPECT_EQ(server.Stderr().find("no display found"), std::string::npos) << "no window to draw";
  Client client;
  const std::string expected = Wire("太郎\r\n/*/【お知らせ！】太郎さんが参加しました\r\n");
  EXPECT_EQ(client.Exchange(Wire("CanEnter?太郎/*/~k"), expected.size()), expected);
  const int status = server.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server.Stderr();
}

TEST(HeadlessEndToEnd, NoWindowEndsWithFailureWhenThePortIsTaken) {
  if (!PrivateNetworkError().empty()) GTEST_SKIP() << PrivateNetworkError();
  VelmorProcess first({}, {}, {"--no-window"});
  ASSERT_TRUE(first.WaitForStatus(kWaiting)) << first.Stderr();
  VelmorProcess second({}, {}, {"--no-window"});  // its own lock, the same port
  ASSERT_TRUE(second.WaitForStderr("ポート5000で待機できません")) << second.Stderr();
  const int status = second.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << second.Stderr();
}

}  // namespace
}  // namespace velmor::testing
