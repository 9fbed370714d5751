#include "ui/AboutDialog.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"
#include "ui/BuildInfo.h"
#include "ui/WindowLayout.h"

namespace velmor {

namespace {
constexpr double ClientWidth = 5232, ClientHeight = 1416;
}

AboutDialog::AboutDialog(QWidget* owner, const QString& webFingerprint)
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
  icon_ = new QLabel(this);
  icon_->setObjectName("picIcon");
  icon_->setPixmap(AppIconPixmap());
  place(icon_, 240, 240, 432, 432);
  title_ = new QLabel(QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ"), this);
  title_->setObjectName("lblTitle");
  title_->setTextFormat(Qt::PlainText);
  place(title_, 1050, 240, 3885, 480);
  version_ = new QLabel(QStringLiteral("ﾊﾞｰｼﾞｮﾝ"), this);
  version_->setObjectName("lblVersion");
  version_->setTextFormat(Qt::PlainText);
  place(version_, 1050, 780, 3885, 225);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName("cmdOK");
  ok_->setDefault(true);
  ok_->setAutoDefault(true);
  place(ok_, 3600, 840, 1380, 345);
  connect(ok_, &QPushButton::clicked, this, &AboutDialog::OnOk);

  double height = ClientHeight;
  if (!webFingerprint.isEmpty()) {
    // Eight pairs a line, in a font whose digits line up.
    QStringList lines{QStringLiteral("ブラウザ用証明書 SHA-256")};
    const QStringList pairs = webFingerprint.split(QLatin1Char(':'));
    for (qsizetype i = 0; i < pairs.size(); i += 8) lines << pairs.mid(i, 8).join(QLatin1Char(':'));
    fingerprint_ = new QLabel(lines.join(QLatin1Char('\n')), this);
    fingerprint_->setObjectName("lblFingerprint");
    fingerprint_->setTextFormat(Qt::PlainText);
    fingerprint_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    fingerprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    place(fingerprint_, 240, ClientHeight, ClientWidth - 480, 1350);
    height += 1470;
  }
  setFixedSize(twips::ToPixels(ClientWidth, dx), twips::ToPixels(height, dy));
  ShowTitleAndVersion();
}

void AboutDialog::ShowTitleAndVersion() {
  const QString title = QString::fromStdU16String(build::ApplicationTitle);
  setWindowTitle(title + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
  version_->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                        .arg(build::VersionMajor)
                        .arg(build::VersionMinor)
                        .arg(build::VersionRevision));
  title_->setText(title);
}

void AboutDialog::OnOk() { done(QDialog::Accepted); }

}  // namespace velmor
