// Menu commands and the About dialog, through the fake desktop.
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "server/ChatServer.h"
#include "tests/support/FakePorts.h"
#include "tests/ui/SystemDesktopForTest.h"
#include "tests/ui/UiFakes.h"
#include "ui/AboutDialog.h"
#include "ui/BuildInfo.h"
#include "ui/OperatorWindow.h"

namespace velmor::testing {
namespace {

class MenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
    server = std::make_unique<ChatServer>(status);
    form = std::make_unique<OperatorWindow>(clock, desktop, *server);
    server->Start(0);
    form->StartClock(OperatorWindow::Instance::Serving);
  }
  QTemporaryDir runtimeDir;
  FakeClock clock;
  FakeDesktop desktop;
  FakeStatus status;
  std::unique_ptr<ChatServer> server;
  std::unique_ptr<OperatorWindow> form;
};

TEST_F(MenuTest, MenuBarHoldsTheThreeMenusAndFourPlainItems) {
  const auto menus = form->menuBar()->actions();
  ASSERT_EQ(menus.size(), 3);
  EXPECT_EQ(menus[0]->text(), QStringLiteral("ファイル"));
  EXPECT_EQ(menus[1]->text(), QStringLiteral("設定"));
  EXPECT_EQ(menus[2]->text(), QStringLiteral("ヘルプ"));
  EXPECT_EQ(menus[0]->menu()->objectName(), "f1");
  EXPECT_EQ(menus[1]->menu()->objectName(), "set1");
  EXPECT_EQ(menus[2]->menu()->objectName(), "h1");

  const auto help = menus[2]->menu()->actions();
  ASSERT_EQ(help.size(), 2);
  EXPECT_EQ(help[0]->objectName(), "h11");
  EXPECT_EQ(help[0]->data().toInt(), 0);
  EXPECT_EQ(help[0]->text(), QStringLiteral("バージョン"));
  EXPECT_EQ(help[1]->objectName(), "h11");
  EXPECT_EQ(help[1]->data().toInt(), 1);
  EXPECT_EQ(help[1]->text(), QStringLiteral("ヘルプ"));
  EXPECT_EQ(menus[0]->menu()->actions().at(0)->text(), QStringLiteral("終了"));
  EXPECT_EQ(menus[1]->menu()->actions().at(0)->text(), QStringLiteral("IPアドレス"));
  for (QAction* menu : menus) {
    EXPECT_FALSE(menu->text().contains('&'));
    for (QAction* item : menu->menu()->actions()) {
      EXPECT_TRUE(item->isEnabled());
      EXPECT_FALSE(item->isSeparator());
      EXPECT_FALSE(item->isCheckable());
      EXPECT_TRUE(item->shortcut().isEmpty());
      EXPECT_FALSE(item->text().contains('&'));
    }
  }
}

TEST_F(MenuTest, ShowIpAddressNamesTheAddressForPibbet) {
  desktop.address = QStringLiteral("192.0.2.10");
  form->findChild<QAction*>("set11")->trigger();
  ASSERT_EQ(desktop.messages.size(), 1u);
  const MessageRequest& box = desktop.messages[0];
  EXPECT_EQ(box.text, QStringLiteral("VelmorのIPアドレス、192.0.2.10をPibbetにお知らせください"));
  EXPECT_EQ(box.title, QStringLiteral("Pibbet"));
  EXPECT_EQ(box.choice, MessageRequest::Buttons::OkOnly);
  EXPECT_TRUE(box.helpFile.isEmpty());
}

TEST_F(MenuTest, ShowIpAddressWithoutAddressOffersHelpFromPibbetChm) {
  form->OnShowAddress();
  ASSERT_EQ(desktop.messages.size(), 1u);
  const MessageRequest& box = desktop.messages[0];
  EXPECT_EQ(box.text, QStringLiteral("VelmorのIPアドレスを取得できません"));
  EXPECT_EQ(box.title, QStringLiteral("Pibbetエラーメッセージ"));
  EXPECT_EQ(box.choice, MessageRequest::Buttons::OkHelp);
  EXPECT_EQ(box.helpFile, QStringLiteral("/opt/velmor/bin/Pibbet.chm"))
      << "beside the program, not in whatever folder it was started from";
}

TEST_F(MenuTest, SecondInstanceShowsTheAddressAllTheSame) {
  FakeStatus otherStatus;
  ChatServer otherServer(otherStatus);
  OperatorWindow second(clock, desktop, otherServer);
  second.StartClock(OperatorWindow::Instance::Another);
  desktop.address = QStringLiteral("192.0.2.10");
  second.OnShowAddress();
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].title, QStringLiteral("Pibbet"));
}

TEST_F(MenuTest, HelpOpensNorrowChmInTheProgramFolderAndNothingElse) {
  form->menuBar()->actions().at(2)->menu()->actions().at(1)->trigger();
  ASSERT_EQ(desktop.opened.size(), 1u);
  EXPECT_EQ(desktop.opened[0], QStringLiteral("/opt/velmor/bin/Norrow.chm"));
  EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(MenuTest, ExitClosesTheWindow) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->findChild<QAction*>("f11")->trigger();
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MenuTest, VersionTwiceBuildsTheDialogTwice) {
  std::vector<QPointer<QWidget>> seen;
  std::vector<QString> titles;
  for (int i = 0; i < 2; ++i) {
    OnNextModal([&](QWidget* modal) {
      seen.emplace_back(modal);
      titles.push_back(modal->windowTitle());
      modal->findChild<QPushButton*>("cmdOK")->click();
    });
    form->OnAbout();
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].isNull()) << "the first dialog is gone once closed";
  EXPECT_TRUE(seen[1].isNull());
  EXPECT_EQ(titles[0], QStringLiteral("Velmorのﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(titles[1], titles[0]);
}

TEST(AboutDialog, LoadFillsTitleAndVersionFromTheBuild) {
  AboutDialog about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("Velmorのﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(about.findChild<QLabel*>("lblTitle")->text(), QStringLiteral("Velmor"));
  EXPECT_EQ(about.findChild<QLabel*>("lblVersion")->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                                                                .arg(build::VersionMajor)
                                                                .arg(build::VersionMinor)
                                                                .arg(build::VersionRevision));
  EXPECT_EQ(about.findChild<QPushButton*>("cmdOK")->text(), QStringLiteral("OK"));
  EXPECT_EQ(about.findChild<QLabel*>("picIcon")->pixmap().size(), QSize(32, 32));
}

TEST(AboutDialog, FixedSizeWithoutMinimiseOrMaximiseAtTheGivenGeometry) {
  AboutDialog about;
  EXPECT_EQ(about.minimumSize(), QSize(349, 94));
  EXPECT_EQ(about.maximumSize(), QSize(349, 94));
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(about.findChild<QLabel*>("picIcon")->geometry(), QRect(16, 16, 29, 29));
  EXPECT_EQ(about.findChild<QLabel*>("lblTitle")->geometry(), QRect(70, 16, 259, 32));
  EXPECT_EQ(about.findChild<QLabel*>("lblVersion")->geometry(), QRect(70, 52, 259, 15));
  EXPECT_EQ(about.findChild<QPushButton*>("cmdOK")->geometry(), QRect(240, 56, 92, 23));
  EXPECT_TRUE(about.findChild<QPushButton*>("cmdOK")->isDefault());
}

TEST(AboutDialog, ShowsTheBrowsersCertificateFingerprintWhenThereIsOne) {
  const QString fingerprint = QStringLiteral(
      "B9:2E:89:1C:C4:A6:11:AD:25:C5:24:4D:71:5A:CF:50:F7:F1:6F:4C:4D:E7:A3:2F:29:B7:51:91:3E:AA:"
      "F9:BC");
  AboutDialog about(nullptr, fingerprint);
  const QLabel* shown = about.findChild<QLabel*>("lblFingerprint");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(
      shown->text().section(QLatin1Char('\n'), 1).replace(QLatin1Char('\n'), QLatin1Char(':')),
      fingerprint)
      << "whole, over lines of their own";
  EXPECT_GE(shown->geometry().top(), about.findChild<QPushButton*>("cmdOK")->geometry().bottom());
  EXPECT_LE(shown->geometry().bottom(), about.height()) << "inside the dialog";
  EXPECT_LE(shown->sizeHint().width(), shown->width()) << "no line cut off";
  EXPECT_LE(shown->sizeHint().height(), shown->height()) << "no line cut off";
  EXPECT_EQ(AboutDialog().findChild<QLabel*>("lblFingerprint"), nullptr) << "none without TLS";
}

class AboutKeys : public ::testing::TestWithParam<int> {};

TEST_P(AboutKeys, EnterEscAndCloseAllCloseTheDialog) {
  bool closed = false;
  bool acted = false;
  OnNextModal([&](QWidget* modal) {
    acted = true;
    if (GetParam() == 2) {
      modal->close();
    } else {
      QTest::keyClick(modal, GetParam() == 0 ? Qt::Key_Return : Qt::Key_Escape);
    }
  });
  AboutDialog about;
  about.exec();
  closed = !about.isVisible();
  EXPECT_TRUE(acted) << "the dialog closed before the key reached it";
  EXPECT_TRUE(closed);
}

INSTANTIATE_TEST_SUITE_P(Keys, AboutKeys, ::testing::Values(0, 1, 2));

TEST(SystemMessageBox, HelpOpensTheHelpFileAndLeavesTheBoxOpenUntilOk) {
  RecordingSystemDesktop desktop;
  MessageRequest request;
  request.text = QStringLiteral("<b>VelmorのIPアドレスを取得できません</b>");
  request.title = QStringLiteral("Pibbetエラーメッセージ");
  request.choice = MessageRequest::Buttons::OkHelp;
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  request.helpFile = folder.filePath("Pibbet.chm");
  QFile help(request.helpFile);
  ASSERT_TRUE(help.open(QIODevice::WriteOnly));
  help.close();
  bool stillOpenAfterHelp = false;
  QString shownText;
  OnNextModal([&](QWidget* box) {
    shownText = box->findChild<QLabel*>("MessageText")->text();
    box->findChild<QPushButton*>("HelpButton")->click();
    stillOpenAfterHelp = box->isVisible();
    for (QPushButton* button : box->findChildren<QPushButton*>()) {
      if (button->text().contains("OK")) button->click();
    }
  });
  desktop.ShowMessage(request, nullptr);
  EXPECT_TRUE(stillOpenAfterHelp);
  EXPECT_EQ(desktop.opened, std::vector<QString>{request.helpFile});
  EXPECT_EQ(shownText, request.text) << "shown as plain text";
}

TEST(SystemDesktopOpen, HelpFilesThatAreMissingOrRelativeAreNeverHandedToTheDesktop) {
  RecordingSystemDesktop desktop;
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString chm = folder.filePath("Norrow.chm");
  desktop.OpenDocument(chm);
  desktop.OpenDocument(QStringLiteral("Norrow.chm"));
  EXPECT_TRUE(desktop.opened.empty()) << "a missing help file shows nothing at all";

  QFile file(chm);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  desktop.OpenDocument(chm);
  EXPECT_EQ(desktop.opened, std::vector<QString>{chm});
}

}  // namespace
}  // namespace velmor::testing
