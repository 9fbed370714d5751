#include "ui/frmAbout.h"

#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"
#include "ui/BuildInfo.h"
#include "ui/FormLayout.h"

namespace velmor {

namespace {
constexpr double ClientWidth = 5232, ClientHeight = 1416;
}

frmAbout::frmAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("frmAbout");
  setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  setWindowIcon(AppIcon());
  setWindowModality(Qt::ApplicationModal);

  const int dx = logicalDpiX();
  const int dy = logicalDpiY();
  const auto place = [dx, dy](QWidget* w, double left, double top, double width, double height) {
    w->setGeometry(twips::ToPixels(left, dx), twips::ToPixels(top, dy), twips::ToPixels(width, dx),
                   twips::ToPixels(height, dy));
  };
  picIcon = new QLabel(this);
  picIcon->setObjectName("picIcon");
  picIcon->setPixmap(AppIconPixmap());
  place(picIcon, 240, 240, 432, 432);
  lblTitle = new QLabel(QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ"), this);
  lblTitle->setObjectName("lblTitle");
  lblTitle->setTextFormat(Qt::PlainText);
  place(lblTitle, 1050, 240, 3885, 480);
  lblVersion = new QLabel(QStringLiteral("ﾊﾞｰｼﾞｮﾝ"), this);
  lblVersion->setObjectName("lblVersion");
  lblVersion->setTextFormat(Qt::PlainText);
  place(lblVersion, 1050, 780, 3885, 225);
  cmdOK = new QPushButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setDefault(true);
  cmdOK->setAutoDefault(true);
  place(cmdOK, 3600, 840, 1380, 345);
  connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

  setFixedSize(twips::ToPixels(ClientWidth, dx), twips::ToPixels(ClientHeight, dy));
  Form_Load();
}

void frmAbout::Form_Load() {
  const QString title = QString::fromStdU16String(build::ApplicationTitle);
  setWindowTitle(title + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
  lblVersion->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                          .arg(build::VersionMajor)
                          .arg(build::VersionMinor)
                          .arg(build::VersionRevision));
  lblTitle->setText(title);
}

void frmAbout::cmdOK_Click() { done(QDialog::Accepted); }

}  // namespace velmor
