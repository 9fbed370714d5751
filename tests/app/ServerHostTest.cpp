// The server as the program runs it: one instance per user, and on a thread
// of its own when there is a window.
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/ServerHost.h"
#include "tests/support/Wait.h"
#include "wire/Cp932.h"

namespace velmor::testing {
namespace {

TEST(ServerHost, SecondInstanceDoesNotGetTheLock) {
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  ServerHost first(ServerHost::Threading::CallingThread);
  ASSERT_TRUE(first.AcquireInstance());
  ServerHost second(ServerHost::Threading::CallingThread);
  EXPECT_FALSE(second.AcquireInstance());
  EXPECT_EQ(second.Server().ListeningPort(), 0) << "nothing was started";
}

// On its own thread the server answers clients while this thread is busy,
// publishes what the window shows, and handles the operator's line.
TEST(ServerHost, OnItsOwnThreadServesWhileTheWindowThreadIsBusy) {
  ServerHost host(ServerHost::Threading::OwnThread);
  QSignalSpy news(&host.Server(), &ChatServer::ViewsChanged);
  // Port 5000 may be held on this machine; the test needs only some port.
  QMetaObject::invokeMethod(
      &host.Server(), [&] { host.Server().Start(0); }, Qt::BlockingQueuedConnection);
  ASSERT_NE(host.Server().ListeningPort(), 0);

  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, host.Server().ListeningPort());
  ASSERT_TRUE(client.waitForConnected(5000));
  client.write(QByteArray::fromStdString(Cp932::Instance().Encode(u"CanEnter?A/*/~k")));
  // Blocking this thread: the reply still comes.
  ASSERT_TRUE(client.waitForReadyRead(5000));
  EXPECT_TRUE(client.readAll().startsWith("A\r\n/*/"));

  host.Server().PostOperatorLine(QStringLiteral("abc"));  // from the window's thread
  // As the window takes them: whatever was published last shows the line.
  QString log;
  ASSERT_TRUE(WaitUntil([&] {
    if (const RoomViews views = host.Server().TakeViews(); views.log) log = *views.log;
    return log.startsWith(QStringLiteral("《Velmor様曰：abc》\r\n"));
  }));
  EXPECT_GE(news.count(), 1);
}

}  // namespace
}  // namespace velmor::testing
