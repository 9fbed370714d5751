// The operator's window, offscreen: layout, caption clock, input line, views.
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "server/ChatServer.h"
#include "tests/support/FakePorts.h"
#include "tests/support/Wait.h"
#include "tests/ui/UiFakes.h"
#include "ui/CaptionClock.h"
#include "ui/OperatorWindow.h"
#include "wire/Cp932.h"

namespace velmor::testing {
namespace {

TEST(WindowLayoutRule, InitialClientAreaGivesTheWorkedFigures) {
  const WindowLayout l = WindowLayout::For(4380, 4596);
  EXPECT_FLOAT_EQ(l.promptLeft, 87.6f);
  EXPECT_FLOAT_EQ(l.promptTop, 275.76f);
  EXPECT_FLOAT_EQ(l.inputLeft, 1138.8f);
  EXPECT_FLOAT_EQ(l.inputTop, 229.8f);
  EXPECT_FLOAT_EQ(l.inputWidth, 3197.4f);
  EXPECT_FLOAT_EQ(l.logLeft, 87.6f);
  EXPECT_FLOAT_EQ(l.logTop, 919.2f);
  EXPECT_FLOAT_EQ(l.logWidth, 3066.0f);
  EXPECT_FLOAT_EQ(l.logHeight, 3217.2f);
  EXPECT_FLOAT_EQ(l.membersLeft, 3153.6f);
  EXPECT_FLOAT_EQ(l.membersTop, 919.2f);
  EXPECT_FLOAT_EQ(l.membersWidth, 1138.8f);
  EXPECT_FLOAT_EQ(l.membersHeight, 3217.2f);
}

TEST(WindowLayoutRule, ValuesComeInTheirOrderAndAreZeroForAnEmptyArea) {
  const auto values = WindowLayout::For(10000, 20000).Values();
  const std::array<float, 13> expected{1200, 200,   1000, 2600, 7300, 4000, 200,
                                       7000, 14000, 4000, 7200, 2600, 14000};
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_FLOAT_EQ(values[i], expected[i]) << i;
  for (float v : WindowLayout::For(0, 0).Values()) EXPECT_EQ(v, 0.0f);
}

TEST(CaptionClock, FormatsTheThreeInstants) {
  EXPECT_EQ(CaptionClockText(QDateTime(QDate(2004, 3, 3), QTime(14, 5, 9))),
            QStringLiteral("Velmor[04/03/03/(水) PM 02 : 05 : 09]"));
  EXPECT_EQ(CaptionClockText(QDateTime(QDate(2001, 1, 1), QTime(0, 5, 9))),
            QStringLiteral("Velmor[01/01/01/(月) AM 12 : 05 : 09]"));
  EXPECT_EQ(CaptionClockText(QDateTime(QDate(2026, 12, 6), QTime(12, 30, 0))),
            QStringLiteral("Velmor[26/12/06/(日) PM 12 : 30 : 00]"));
  EXPECT_EQ(CaptionClockText(QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59))),
            QStringLiteral("Velmor[26/12/05/(土) PM 11 : 59 : 59]"));
}

class OperatorWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
    server = std::make_unique<ChatServer>(status);
    form = std::make_unique<OperatorWindow>(clock, desktop, *server);
  }
  void LoadAndShow() {
    server->Start(0);
    form->StartClock(OperatorWindow::Instance::Serving);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  template <typename T>
  T* Control(const char* name) {
    T* control = form->findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QString StatusText() { return Control<QStatusBar>("SB")->currentMessage(); }

  QTemporaryDir runtimeDir;
  FakeClock clock;
  FakeDesktop desktop;
  FakeStatus status;
  std::unique_ptr<ChatServer> server;
  std::unique_ptr<OperatorWindow> form;
};

TEST_F(OperatorWindowTest, LoadListensSetsStatusAndCaptionAndLaysOutTheInitialSize) {
  LoadAndShow();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Velmor[04/03/03/(水) PM 02 : 05 : 09]"));
  EXPECT_EQ(StatusText(), QStringLiteral("待機中・・・"));
  EXPECT_NE(server->ListeningPort(), 0);
  EXPECT_EQ(form->Layout().Values(), WindowLayout::For(4380, 4596).Values());
  EXPECT_EQ(form->centralWidget()->size(), QSize(292, 306));
  EXPECT_EQ(Control<QLabel>("Label2")->text(), QStringLiteral("Velmor送信文："));
  EXPECT_EQ(Control<QLabel>("Label2")->size(), QSize(66, 12));
  EXPECT_EQ(Control<QPlainTextEdit>("Text3")->geometry(), QRect(6, 61, 204, 214));
  EXPECT_EQ(Control<QPlainTextEdit>("Text4")->geometry(), QRect(210, 61, 76, 214));
  EXPECT_EQ(Control<QStatusBar>("SB")->geometry(), QRect(0, 306 - 17, 292, 17));
  EXPECT_EQ(Control<QLineEdit>("Text2")->height(), 18);
  EXPECT_EQ(Control<QTimer>("Timer1")->interval(), 60000);
  EXPECT_TRUE(Control<QTimer>("Timer1")->isActive());
}

TEST_F(OperatorWindowTest, ResizeMinimiseAndRestoreRecomputeTheLayout) {
  LoadAndShow();
  const int menu = form->height() - form->centralWidget()->height();
  form->resize(600, 400 + menu);
  ASSERT_TRUE(WaitUntil([&] { return form->centralWidget()->width() == 600; }));
  EXPECT_EQ(form->Layout().Values(), WindowLayout::For(9000, 6000).Values());
  EXPECT_EQ(Control<QPlainTextEdit>("Text4")->geometry(), QRect(432, 80, 156, 280));
  EXPECT_EQ(Control<QStatusBar>("SB")->geometry(), QRect(0, 400 - 17, 600, 17));

  form->showMinimized();
  form->Relayout();
  for (float v : form->Layout().Values()) EXPECT_EQ(v, 0.0f);
  form->showNormal();
  form->Relayout();
  EXPECT_EQ(form->Layout().Values(), WindowLayout::For(9000, 6000).Values());
}

TEST_F(OperatorWindowTest, SecondInstanceKeepsPlainCaptionUntilTheFirstTick) {
  LoadAndShow();
  FakeClock otherClock;
  otherClock.time = QDateTime(QDate(2001, 1, 1), QTime(0, 5, 9));
  FakeStatus otherStatus;
  ChatServer otherServer(otherStatus);
  OperatorWindow second(otherClock, desktop, otherServer);
  second.StartClock(OperatorWindow::Instance::Another);
  EXPECT_EQ(second.windowTitle(), QStringLiteral("Velmor"));
  EXPECT_TRUE(second.findChild<QStatusBar*>("SB")->currentMessage().isEmpty());
  second.OnClockTick();
  EXPECT_EQ(second.windowTitle(), QStringLiteral("Velmor[01/01/01/(月) AM 12 : 05 : 09]"));
}

TEST_F(OperatorWindowTest, EnterPostsTheOperatorLineUnchangedAndEmptiesTheInput) {
  LoadAndShow();
  auto* input = Control<QLineEdit>("Text2");
  auto* log = Control<QPlainTextEdit>("Text3");
  EXPECT_TRUE(input->hasFocus()) << "the input line holds the focus when the window opens";

  QTest::keyClicks(input, "abc");
  QTest::keyClick(input, Qt::Key_Return);
  ASSERT_TRUE(WaitUntil([&] { return !log->toPlainText().isEmpty(); }));
  EXPECT_EQ(log->toPlainText(), QStringLiteral("《Velmor様曰：abc》\n"));
  EXPECT_TRUE(input->text().isEmpty());

  QTest::keyClicks(input, "   ");
  QTest::keyClick(input, Qt::Key_Enter, Qt::KeypadModifier);
  ASSERT_TRUE(WaitUntil(
      [&] { return log->toPlainText().startsWith(QStringLiteral("《Velmor様曰：   》\n")); }));
  const QString twoLines = log->toPlainText();
  EXPECT_EQ(twoLines.count(QChar(u'\n')), 2);

  QTest::keyClick(input, Qt::Key_Return);
  QTest::keyClicks(input, "x");
  // Enter on an empty line does nothing, other keys only type: the line the
  // operator posts next is the third.
  QTest::keyClick(input, Qt::Key_Return);
  ASSERT_TRUE(WaitUntil([&] { return log->toPlainText() != twoLines; }));
  EXPECT_EQ(log->toPlainText(), QStringLiteral("《Velmor様曰：x》\n") + twoLines);
}

TEST_F(OperatorWindowTest, ViewsFollowJoinAndLeaveAndShowMarkupLiterally) {
  LoadAndShow();
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, server->ListeningPort());
  ASSERT_TRUE(client.waitForConnected(3000));
  client.write(QByteArray::fromStdString(Cp932::Instance().Encode(u"CanEnter?<b>x</b>/*/~k")));
  auto* members = Control<QPlainTextEdit>("Text4");
  auto* log = Control<QPlainTextEdit>("Text3");
  ASSERT_TRUE(WaitUntil([&] { return !members->toPlainText().isEmpty(); }));
  EXPECT_EQ(members->toPlainText(), QStringLiteral("<b>x</b>\n"));
  EXPECT_EQ(log->toPlainText(), QStringLiteral("【お知らせ！】<b>x</b>さんが参加しました\n"));
  EXPECT_EQ(StatusText(), QStringLiteral("Pibbetより接続を受け付けました"));
  EXPECT_EQ(Control<QStatusBar>("SB")->toolTip(), StatusText()) << "whole in the tooltip too";

  client.disconnectFromHost();
  ASSERT_TRUE(WaitUntil([&] { return members->toPlainText().isEmpty(); }));
  EXPECT_TRUE(
      log->toPlainText().startsWith(QStringLiteral("【お知らせ】<b>x</b>さんが退室されました\n")));
}

TEST_F(OperatorWindowTest, OperatorLinesReachAClientWholeAndInWindowsBytes) {
  LoadAndShow();
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, server->ListeningPort());
  ASSERT_TRUE(client.waitForConnected(3000));
  const Cp932& codec = Cp932::Instance();
  const auto exchange = [&](const std::u16string& request, const std::string& expected) {
    client.write(QByteArray::fromStdString(codec.Encode(request)));
    QByteArray reply;
    WaitUntil([&] {
      reply += client.readAll();
      return reply.size() >= static_cast<qsizetype>(expected.size());
    });
    return reply.toStdString();
  };
  const std::u16string joined = u"【お知らせ！】Aさんが参加しました\r\n";
  ASSERT_EQ(exchange(u"CanEnter?A/*/~k", codec.Encode(u"A\r\n/*/" + joined)),
            codec.Encode(u"A\r\n/*/" + joined));

  auto* input = Control<QLineEdit>("Text2");
  // As an input method commits Japanese text.
  QInputMethodEvent commit;
  commit.setCommitString(QStringLiteral("髙﨑ⅰ¥‾—"));
  QCoreApplication::sendEvent(input, &commit);
  QTest::keyClick(input, Qt::Key_Return);
  // A long paste, past the 32,767 characters where a line edit cuts by default.
  std::u16string longLine;
  for (int i = 0; i < 100000; ++i)
    longLine.push_back(i % 2 ? u'字' : static_cast<char16_t>(u'a' + i % 26));
  input->insert(QString::fromStdU16String(longLine));
  QTest::keyClick(input, Qt::Key_Return);

  const std::string expected = codec.Encode(u"A\r\n/*/" + Room::OperatorLine(longLine) + u"\r\n") +
                               codec.Encode(u"《Velmor様曰：") +
                               "\xfb\xfc\xfa\xb1\xfa\x40\x5c\x7e\x81\x5c" +
                               codec.Encode(u"》\r\n" + joined);
  EXPECT_EQ(exchange(u"/Reflesh//*/~k", expected), expected);
}

TEST_F(OperatorWindowTest, ViewsAreReadOnlyButSelectableInFocusOrder) {
  LoadAndShow();
  auto* input = Control<QLineEdit>("Text2");
  auto* log = Control<QPlainTextEdit>("Text3");
  auto* members = Control<QPlainTextEdit>("Text4");
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_TRUE(members->isReadOnly());
  EXPECT_TRUE(log->textInteractionFlags() & Qt::TextSelectableByKeyboard);
  ASSERT_TRUE(input->hasFocus());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), log);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), members);
  EXPECT_EQ(form->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
}

TEST_F(OperatorWindowTest, BurstOfChangesEndsShowingTheLastState) {
  LoadAndShow();
  for (int i = 0; i < 200; ++i) server->PostOperatorLine(QStringLiteral("line %1").arg(i));
  server->PostOperatorLine(QStringLiteral("last"));
  auto* log = Control<QPlainTextEdit>("Text3");
  ASSERT_TRUE(WaitUntil(
      [&] { return log->toPlainText().startsWith(QStringLiteral("《Velmor様曰：last》\n")); },
      50 + 200));
}

}  // namespace
}  // namespace velmor::testing
